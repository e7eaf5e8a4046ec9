// The bridge chip's two spaces.
#include "sim/adapter/bridge_chip.h"

namespace kxsim {
namespace {

constexpr ULONG kLinkSelect = 0x50;
constexpr ULONG kDeviceControl = 0x8C;
constexpr ULONG kStatus = 0x90;
constexpr ULONG kReattach = 0x200;
constexpr ULONG kExtendedBit = 1u << 12;

struct FunctionHeader {
  ULONG base;
  ULONG identifier;
  ULONG classRevision;
};
// Vendor 0x4B58 is the model's own.
constexpr FunctionHeader kFunctions[] = {
    {0x0000, 0x33814B58, 0x06040003},  // port towards the internal bus: PCI-to-PCI bridge
    {0x2000, 0x33824B58, 0x06040003},  // upstream side
    {0x3000, 0x33834B58, 0x0C03FE03},  // the bridge's own USB device function
};

}  // namespace

BridgeChip::BridgeChip(const VirtualAdapterOptions& options, ConfigMemory* configMemory,
                       DataPath* dataPath)
    : options_(options), configMemory_(configMemory), dataPath_(dataPath) {
  for (const FunctionHeader& function : kFunctions) {
    config_.Preset(function.base, function.identifier);
    config_.Preset(function.base + 0x08, function.classRevision);
  }
  registers_.Preset(kLinkSelect, 0xF0);
}

ULONG BridgeChip::ConfigRead(ULONG reg) {
  if (ConfigMemory::Owns(reg)) return configMemory_->Read(reg);
  return config_.Read(reg);
}

ULONG BridgeChip::ConfigPeek(ULONG reg) const {
  if (ConfigMemory::Owns(reg)) return configMemory_->Peek(reg);
  return config_.Read(reg);
}

void BridgeChip::ConfigWrite(ULONG reg, ULONG value) {
  if (ConfigMemory::Owns(reg)) {
    configMemory_->Write(reg, value);
    return;
  }
  for (const FunctionHeader& function : kFunctions) {
    if (reg == function.base || reg == function.base + 0x08) return;
  }
  config_.Write(reg, value);
}

ULONG BridgeChip::Status() const {
  return (options_.Extended() ? kExtendedBit : 0) | PortSpeedBit(options_.usbSpeed);
}

ULONG BridgeChip::RegRead(ULONG reg) const {
  if (reg == kStatus) return Status();
  if (IndexedBank::Owns(reg)) return indexed_.Read(reg);
  if (DataPath::Owns(reg)) return dataPath_->Read(reg);
  return registers_.Read(reg);
}

bool BridgeChip::RegWrite(ULONG reg, ULONG value) {
  if (reg == kStatus) return false;
  if (IndexedBank::Owns(reg)) {
    indexed_.Write(reg, value);
    return false;
  }
  if (DataPath::Owns(reg)) {
    dataPath_->Write(reg, value);
    return false;
  }
  if (reg != kDeviceControl) {
    registers_.Write(reg, value);
    return false;
  }
  registers_.Write(reg, value & ~kReattach);
  return (value & kReattach) != 0 && ProgrammedIdentity() != identity_;
}

void BridgeChip::PowerOn(ULONG identity) {
  identity_ = identity;
  config_.PowerOn();
  registers_.PowerOn();
  registers_.Write(kIdentity, identity);
  indexed_.PowerOn();
}

}  // namespace kxsim
