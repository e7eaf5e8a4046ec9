// The DMA engines' register blocks and their byte allowance.
#include "sim/adapter/dma_engines.h"

#include <algorithm>

namespace kxsim {
namespace {

constexpr ULONG kControl = 0x00;
constexpr ULONG kStartStop = 0x04;
constexpr ULONG kCount = 0x10;
constexpr ULONG kWindow = 0x14;
constexpr ULONG kStart = 1;
constexpr ULONG kStop = 2;

ULONG BlockOffset(ULONG offset) { return (offset - 0x180) % 0x20; }

}  // namespace

ULONG DmaEngines::Read(ULONG offset) const {
  const DmaEngineState& engine = engines_[EngineOf(offset) - 1];
  switch (BlockOffset(offset)) {
    case kControl: return engine.control;
    case kStartStop: return engine.running ? kStart : 0;
    case kCount: return engine.count;
    case kWindow: return engine.window;
    default: return other_.Read(offset);
  }
}

int DmaEngines::Write(ULONG offset, ULONG value) {
  int number = EngineOf(offset);
  DmaEngineState& engine = engines_[number - 1];
  switch (BlockOffset(offset)) {
    case kControl:
      engine.control = value;
      if (value == 0) {
        engine.running = false;
        engine.count = 0;
        engine.remaining = 0;
      }
      return 0;
    case kStartStop:
      if (value == kStart) {
        engine.starts++;
        engine.remaining = engine.count;
        engine.running = engine.count > 0;
        return engine.running ? number : 0;
      }
      if (value == kStop) {
        engine.running = false;
        engine.remaining = 0;
      }
      return 0;
    case kCount: engine.count = value; return 0;
    case kWindow: engine.window = value; return 0;
    default: other_.Write(offset, value); return 0;
  }
}

void DmaEngines::PowerOn() {
  for (DmaEngineState& engine : engines_) engine = DmaEngineState();
  other_.PowerOn();
}

ULONG DmaEngines::Allowance(int engine) const {
  const DmaEngineState& state = engines_[engine - 1];
  return state.running ? state.remaining : 0;
}

void DmaEngines::Consume(int engine, ULONG bytes) {
  DmaEngineState& state = engines_[engine - 1];
  state.remaining -= std::min(bytes, state.remaining);
  if (state.remaining == 0) state.running = false;
}

DmaEngineState DmaEngines::State(int engine) const { return engines_[engine - 1]; }

}  // namespace kxsim
