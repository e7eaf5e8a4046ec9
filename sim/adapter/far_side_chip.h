// The far-side chip: the display end of the adapter, a function on the internal bus with its own
// USB port towards the far side. Its configuration header has three memory base address
// registers, 32-bit and non-prefetchable:
//   BAR0 (0x10)  1 MiB   the chip's registers (the "far-side window")
//   BAR2 (0x18)  2 MiB   frame memory, which the DMA engines' windows point into
//   BAR3 (0x1C)  4 MiB   scratch memory
// BAR1 (0x14) is not implemented and reads 0. A BAR keeps the bits above its size, so writing all
// ones and reading back gives the size; the chip decodes a BAR only while command bit 1 is set.
// On the basic generation the bridge's firmware maps BAR0 at 0x00100000 and enables decoding
// before the driver sees the adapter; on the extended generation everything starts at 0.
//
// Registers (BAR0): 0x90 is the port status, read-only: bit 6 full speed, bit 7 high speed,
// bit 8 SuperSpeed, 0 while the far-side link is down. 0x30/0x34 are the index/data pair. The
// registers start-up programs (0x38, 0x3C, 0x84, 0x8C, 0x320-0x380, 0x500-0x5E0, 0x6C0, 0x718)
// keep what is written; they mean nothing further to the model. The DMA blocks and FIFO flush
// registers in the window belong to the bridge (see data_path.h).
#pragma once

#include <map>
#include <optional>

#include "sim/adapter/adapter_options.h"
#include "sim/adapter/pci_function.h"

namespace kxsim {

struct FarSideAddress {
  int bar = 0;       // 0, 2 or 3
  ULONG offset = 0;  // within the BAR
};

class FarSideChip : public PciFunction {
 public:
  explicit FarSideChip(const VirtualAdapterOptions& options);

  ULONG ConfigRead(ULONG offset) const override;
  void ConfigWrite(ULONG offset, ULONG value) override;
  void PowerOn() override;

  // Which BAR claims a memory address, if any.
  std::optional<FarSideAddress> Decode(ULONG address) const;

  ULONG RegisterRead(ULONG offset) const;
  void RegisterWrite(ULONG offset, ULONG value);
  ULONG MemoryRead(int bar, ULONG offset) const;
  void MemoryWrite(int bar, ULONG offset, ULONG value);

  ULONG IndexedEntry(ULONG index) const { return indexed_.Entry(index); }

 private:
  ULONG PortStatus() const;

  const VirtualAdapterOptions options_;
  RegisterFile registers_;
  IndexedBank indexed_;
  std::map<ULONG, ULONG> memory_[2];  // BAR2 and BAR3, by word offset
};

}  // namespace kxsim
