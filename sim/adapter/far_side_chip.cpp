// The far-side chip: configuration header with its BARs, registers, memory.
#include "sim/adapter/far_side_chip.h"

namespace kxsim {
namespace {

constexpr ULONG kFarSideIdentifier = 0x33804B58;  // device 0x3380 of the model's vendor 0x4B58
constexpr ULONG kDisplayClass = 0x03800002;       // display controller (other), revision 2
constexpr ULONG kBasicWindow = 0x00100000;
constexpr ULONG kPortStatus = 0x90;

struct BarLayout {
  ULONG offset;  // in the configuration header
  ULONG size;
};
constexpr BarLayout kBars[] = {{0x10, 0x100000}, {0x14, 0}, {0x18, 0x200000}, {0x1C, 0x400000}};

const BarLayout* BarAt(ULONG offset) {
  for (const BarLayout& bar : kBars) {
    if (bar.offset == offset) return &bar;
  }
  return nullptr;
}

}  // namespace

FarSideChip::FarSideChip(const VirtualAdapterOptions& options)
    : PciFunction(kFarSideIdentifier, kDisplayClass, 0x00), options_(options) {
  if (!options.Extended()) {
    config_.Preset(0x04, 0x0006);
    config_.Preset(0x10, kBasicWindow);
  }
}

ULONG FarSideChip::ConfigRead(ULONG offset) const {
  if (offset == 0x14) return 0;
  return PciFunction::ConfigRead(offset);
}

void FarSideChip::ConfigWrite(ULONG offset, ULONG value) {
  const BarLayout* bar = BarAt(offset);
  if (bar == nullptr) {
    PciFunction::ConfigWrite(offset, value);
    return;
  }
  // Bits below the size read as 0; the low four (memory, 32-bit, not prefetchable) are 0 too.
  config_.Write(offset, bar->size == 0 ? 0 : value & ~(bar->size - 1));
}

void FarSideChip::PowerOn() {
  PciFunction::PowerOn();
  registers_.PowerOn();
  indexed_.PowerOn();
  memory_[0].clear();
  memory_[1].clear();
}

std::optional<FarSideAddress> FarSideChip::Decode(ULONG address) const {
  if (!MemoryEnabled()) return std::nullopt;
  for (int index = 0; index < 4; index++) {
    const BarLayout& bar = kBars[index];
    if (bar.size == 0) continue;
    ULONG base = config_.Read(bar.offset) & ~(bar.size - 1);
    if (address - base < bar.size) return FarSideAddress{index, address - base};
  }
  return std::nullopt;
}

ULONG FarSideChip::PortStatus() const {
  return options_.farPortSpeed ? PortSpeedBit(*options_.farPortSpeed) : 0;
}

ULONG FarSideChip::RegisterRead(ULONG offset) const {
  if (offset == kPortStatus) return PortStatus();
  if (IndexedBank::Owns(offset)) return indexed_.Read(offset);
  return registers_.Read(offset);
}

void FarSideChip::RegisterWrite(ULONG offset, ULONG value) {
  if (offset == kPortStatus) return;
  if (IndexedBank::Owns(offset)) {
    indexed_.Write(offset, value);
  } else {
    registers_.Write(offset, value);
  }
}

ULONG FarSideChip::MemoryRead(int bar, ULONG offset) const {
  const auto& memory = memory_[bar == 2 ? 0 : 1];
  auto it = memory.find(offset & ~3u);
  return it == memory.end() ? 0 : it->second;
}

void FarSideChip::MemoryWrite(int bar, ULONG offset, ULONG value) {
  memory_[bar == 2 ? 0 : 1][offset & ~3u] = value;
}

}  // namespace kxsim
