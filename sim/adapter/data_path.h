// The bridge's data channels: the DMA engines, the data IN endpoints 0x81-0x84 they feed, and the
// endpoint FIFO flush registers. The engines' blocks (0x180-0x1FF) and the flush registers are
// reachable both at their bare offsets in the bridge's register space and above the far-side
// window on the internal bus; both paths end here.
//
// Flush registers: the endpoint register block of OUT endpoint n is at 0x300 + 0x20 x n and that
// of IN endpoint 0x80 + n at 0x3C0 + 0x20 x n; its +0x0C register flushes the endpoint's FIFO
// when written with bit 9 (0x200). The bit does not stick.
//
// Which IN endpoints wait for their DMA engine depends on the generation (the driver programs an
// engine before each read it makes on such an endpoint):
//   extended:          0x81-0x84 on engines 1-4
//   extended, legacy:  0x81 on engine 1, 0x83 on engine 3, 0x84 on engine 4 (0x82 without)
//   basic:             0x81 on engine 1; the others send at once
//   basic, legacy:     none: every endpoint sends at once
// On the basic generation the other engines still take their programming; nothing waits on them.
#pragma once

#include <functional>
#include <optional>

#include "sim/adapter/adapter_options.h"
#include "sim/adapter/in_endpoint.h"

namespace kxsim {

struct FifoFlush {
  int channel = 0;  // 1-4
  bool in = false;
};

class DataPath {
 public:
  explicit DataPath(const VirtualAdapterOptions& options);

  // The FIFO flush register at `offset`, if it is one.
  static std::optional<FifoFlush> FlushRegister(ULONG offset);
  static bool Owns(ULONG offset) { return DmaEngines::Owns(offset) || FlushRegister(offset); }

  ULONG Read(ULONG offset) const;
  void Write(ULONG offset, ULONG value);
  void PowerOn();

  // Called when an OUT endpoint's FIFO is flushed (channel 1-4).
  void SetOutFlushHandler(std::function<void(int channel)> handler) {
    outFlushed_ = std::move(handler);
  }

  InEndpoint& In(int channel) { return in_[channel - 1]; }
  const InEndpoint& In(int channel) const { return in_[channel - 1]; }
  const DmaEngines& Dma() const { return dma_; }
  ULONG Flushes(int channel, bool in) const { return flushes_[channel - 1][in ? 1 : 0]; }

 private:
  DmaEngines dma_;
  InEndpoint in_[DmaEngines::kEngines];
  ULONG flushes_[DmaEngines::kEngines][2] = {};
  std::function<void(int channel)> outFlushed_;
};

}  // namespace kxsim
