// The standard configuration header of an internal-bus function.
#include "sim/adapter/pci_function.h"

namespace kxsim {

PciFunction::PciFunction(ULONG identifier, ULONG classRevision, UCHAR headerType)
    : identifier_(identifier), classRevision_(classRevision), headerType_(headerType) {}

ULONG PciFunction::ConfigRead(ULONG offset) const {
  switch (offset) {
    case 0x00: return identifier_;
    case 0x08: return classRevision_;
    case 0x0C: return (config_.Read(0x0C) & 0xFF00FFFF) | (ULONG)headerType_ << 16;
    default: return config_.Read(offset);
  }
}

void PciFunction::ConfigWrite(ULONG offset, ULONG value) {
  switch (offset) {
    case 0x00:
    case 0x08: return;
    case 0x04: config_.Write(offset, value & 0xFFFF); return;
    default: config_.Write(offset, value); return;
  }
}

void PciFunction::PowerOn() { config_.PowerOn(); }

}  // namespace kxsim
