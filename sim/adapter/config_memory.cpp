// The serial configuration memory and its three bridge registers.
#include "sim/adapter/config_memory.h"

namespace kxsim {
namespace {

constexpr ULONG kWords = 0x4000;
constexpr ULONG kErased = 0xFFFFFFFF;
constexpr ULONG kInProgress = 1u << 18;
constexpr ULONG kStale = 1u << 19;
constexpr ULONG kBusy = 1u << 24;
// Fields the bridge keeps as written: address, command and the serial settings.
constexpr ULONG kLatchedFields = 0x1FFF | 0xE000 | (3u << 16) | (1u << 20) | (1u << 21) |
                                 (7u << 25) | (1u << 31);

enum Command : ULONG {
  kWriteWord = 2,
  kReadWord = 3,
  kReadStatus = 5,
  kWriteEnable = 6,
};

}  // namespace

ConfigMemory::ConfigMemory(const VirtualAdapterOptions& options)
    : options_(options.configMemory) {
  words_[0] = options.firstStageImage ? kFirstStageWord0 : kFinishedImageWord0;
  words_[1] = (ULONG)options.vendorWord << 16;
  words_[2] = options.productWord;
  words_[200] = options.word200;
  words_[201] = options.word201;
  for (const auto& [index, value] : options_.words) words_[index % kWords] = value;
  PowerOn();
}

void ConfigMemory::PowerOn() {
  latched_ = 0;
  data_ = 0;
  thirdAddressByte_ = options_.thirdAddressByte;
  stale_ = options_.staleFlag;
  statusBusy_ = false;
  writeEnabled_ = false;
  busyReads_ = 0;
  inProgressReads_ = 0;
}

ULONG ConfigMemory::Read(ULONG reg) {
  ULONG value = Peek(reg);
  if (reg == kControl && inProgressReads_ > 0) inProgressReads_--;
  return value;
}

ULONG ConfigMemory::Peek(ULONG reg) const {
  if (reg == kControl) return ControlValue();
  if (reg == kData) return data_;
  return thirdAddressByte_;
}

void ConfigMemory::Write(ULONG reg, ULONG value) {
  if (reg == kControl) {
    WriteControl(value);
  } else if (reg == kData) {
    data_ = value;
  } else {
    thirdAddressByte_ = value;
  }
}

ULONG ConfigMemory::ControlValue() const {
  ULONG value = latched_ | (ULONG)(options_.addressWidthCode & 3) << 22;
  if (stale_) value |= kStale;
  if (statusBusy_) value |= kBusy;
  if (inProgressReads_ > 0) value |= kInProgress;
  return value;
}

void ConfigMemory::WriteControl(ULONG value) {
  if (value & kStale) {
    // Writing the flag back acknowledges it; the bridge starts nothing with that write.
    stale_ = false;
    return;
  }
  if (inProgressReads_ > 0) {
    counters_.commandsWhileInProgress++;
    return;
  }
  latched_ = value & kLatchedFields;
  ULONG command = (value >> 13) & 7;
  ULONG address = (value & 0x1FFF) | ((value >> 20) & 1) << 13;
  if (stuckCommand_ != 0 && command == stuckCommand_ &&
      (stuckWord_ == kAnyWord || address == stuckWord_)) {
    stuckCommand_ = 0;
    inProgressReads_ = stuckReads_;
    return;
  }
  Execute(command, address);
  inProgressReads_ = options_.commandPolls;
}

ULONG ConfigMemory::Page() const {
  return options_.addressWidthCode == 3 ? (thirdAddressByte_ & 0xFF) : 0;
}

void ConfigMemory::Execute(ULONG command, ULONG address) {
  if (command == kReadStatus) {
    counters_.statusReads++;
    statusBusy_ = busyReads_ > 0;
    if (busyReads_ > 0) busyReads_--;
    return;
  }
  if (busyReads_ > 0) {
    if (command == kReadWord || command == kWriteWord || command == kWriteEnable) {
      counters_.commandsWhileBusy++;
    }
    return;
  }
  ULONG key = Page() << 14 | address;
  switch (command) {
    case kReadWord: {
      counters_.wordReads++;
      auto it = words_.find(key);
      data_ = it == words_.end() ? kErased : it->second;
      break;
    }
    case kWriteEnable:
      counters_.writeEnables++;
      writeEnabled_ = true;
      break;
    case kWriteWord:
      if (!writeEnabled_) {
        counters_.writesWithoutEnable++;
        break;
      }
      counters_.wordWrites++;
      words_[key] = data_;
      writeEnabled_ = false;
      busyReads_ = options_.writeBusyPolls;
      break;
    default: break;  // no operation
  }
}

ULONG ConfigMemory::Word(ULONG index) const {
  auto it = words_.find(index % kWords);
  return it == words_.end() ? kErased : it->second;
}

void ConfigMemory::SetWord(ULONG index, ULONG value) { words_[index % kWords] = value; }

void ConfigMemory::HoldBusy(ULONG statusReads) { busyReads_ = statusReads; }

void ConfigMemory::HoldInProgress(ULONG controlReads) { inProgressReads_ = controlReads; }

void ConfigMemory::StickCommand(ULONG command, ULONG controlReads) {
  stuckCommand_ = command;
  stuckReads_ = controlReads;
  stuckWord_ = kAnyWord;
}

void ConfigMemory::StickWordRead(ULONG index, ULONG controlReads) {
  StickCommand(kReadWord, controlReads);
  stuckWord_ = index;
}

}  // namespace kxsim
