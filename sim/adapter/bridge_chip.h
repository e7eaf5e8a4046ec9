// The bridge chip behind endpoints 0x0D/0x8D: its configuration space and its register space.
//
// Configuration space: the serial configuration memory's registers (0x260, 0x264, 0x26C, see
// config_memory.h) and three standard headers for the bridge's functions at 0x0000 (the port
// towards the internal bus), 0x2000 (the upstream side) and 0x3000 (the bridge's own endpoint),
// whose identifiers (+0x00) and class (+0x08) are read-only; everything else keeps what is written.
//
// Register space:
//   0x30/0x34  index/data pair
//   0x50       link select (the driver writes 0xB0, 0xB8 or 0xF0); 0xF0, all links off, at power-on
//   0x84       USB identity: product identifier in the high half, vendor in the low half. It reads
//              the identity the bridge enumerated with until the driver writes a new one.
//   0x8C       device control. Bit 9 is a strobe that does not stick: written while 0x84 holds an
//              identity other than the current one, it makes the bridge leave the bus and come back
//              with that identity; written otherwise (after a power-up, say) it only signals resume
//              and changes nothing. The other bits keep what is written.
//   0x90       chip status, read-only: bit 12 set on the extended generation; bit 6, 7 or 8 for
//              the speed of the host-side port (full, high, SuperSpeed), coded as the far side
//              codes its own port.
//   0x180-0x1FF and the endpoint FIFO flush registers: the data path (data_path.h)
//   everything else (endpoint layout 0x500-0x5E0, endpoint blocks 0x320-0x380, 0x38, 0x3C,
//   0x718, 0x9F0 ...) keeps what is written; those registers mean nothing further to the model.
#pragma once

#include "sim/adapter/config_memory.h"
#include "sim/adapter/data_path.h"
#include "sim/adapter/register_file.h"

namespace kxsim {

class BridgeChip {
 public:
  BridgeChip(const VirtualAdapterOptions& options, ConfigMemory* configMemory,
             DataPath* dataPath);

  ULONG ConfigRead(ULONG reg);
  // What a configuration read would answer, without its effects.
  ULONG ConfigPeek(ULONG reg) const;
  void ConfigWrite(ULONG reg, ULONG value);
  ULONG RegRead(ULONG reg) const;
  // True when the write makes the bridge leave the bus (see register 0x8C).
  bool RegWrite(ULONG reg, ULONG value);

  // Registers back to power-on, enumerated as `identity` (product << 16 | vendor).
  void PowerOn(ULONG identity);
  ULONG Identity() const { return identity_; }
  // What register 0x84 holds: the identity the bridge comes back with after it leaves the bus.
  ULONG ProgrammedIdentity() const { return registers_.Read(kIdentity); }
  ULONG IndexedEntry(ULONG index) const { return indexed_.Entry(index); }

  static constexpr ULONG kIdentity = 0x84;

 private:
  ULONG Status() const;

  const VirtualAdapterOptions options_;
  ConfigMemory* const configMemory_;
  DataPath* const dataPath_;
  RegisterFile config_;
  RegisterFile registers_;
  IndexedBank indexed_;
  ULONG identity_ = 0;
};

}  // namespace kxsim
