// The bridge's four DMA engines, one per data channel, which move the far side's data to the IN
// endpoints. Engine n has its register block at 0x180 + 0x20 x (n - 1), reachable at that bare
// offset in the bridge's register space and at the same offset above the far-side window on the
// internal bus (the bridge decodes that part of the window itself):
//   +0x00 control: 0 resets the engine (stops it, clears its count); other values are kept
//         (start-up writes 0xC3, the enable bits)
//   +0x04 start/stop: 1 starts a transfer of the programmed count, 2 stops it; reads 1 while the
//         engine runs
//   +0x10 byte count of the next transfer
//   +0x14 window: the internal-bus address the engine reads from (kept as written)
//   other offsets of the block are kept as written.
// A running engine lets its endpoint send up to the remaining count; it stops when the count is
// used up. Starting it again re-arms it with the programmed count rather than adding to it.
#pragma once

#include "sim/adapter/register_file.h"

namespace kxsim {

struct DmaEngineState {
  ULONG control = 0;
  ULONG count = 0;      // as programmed
  ULONG window = 0;
  ULONG remaining = 0;  // bytes the running engine may still move
  bool running = false;
  ULONG starts = 0;     // start commands taken
};

class DmaEngines {
 public:
  static constexpr int kEngines = 4;
  static bool Owns(ULONG offset) { return offset >= 0x180 && offset < 0x200; }
  // The engine (1-4) whose block holds `offset`.
  static int EngineOf(ULONG offset) { return (int)((offset - 0x180) / 0x20) + 1; }

  ULONG Read(ULONG offset) const;
  // Returns the engine that was started by this write, or 0.
  int Write(ULONG offset, ULONG value);
  void PowerOn();

  ULONG Allowance(int engine) const;
  void Consume(int engine, ULONG bytes);
  DmaEngineState State(int engine) const;

 private:
  DmaEngineState engines_[kEngines];
  RegisterFile other_;
};

}  // namespace kxsim
