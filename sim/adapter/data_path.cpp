// DMA engines, data IN endpoints and FIFO flushes.
#include "sim/adapter/data_path.h"

namespace kxsim {
namespace {

constexpr ULONG kFlushBit = 0x200;

// The engine that feeds IN endpoint 0x80 + channel, or 0 when it sends at once.
int EngineFor(const VirtualAdapterOptions& options, int channel) {
  if (options.Extended()) return options.legacy && channel == 2 ? 0 : channel;
  return !options.legacy && channel == 1 ? 1 : 0;
}

}  // namespace

DataPath::DataPath(const VirtualAdapterOptions& options) {
  for (int channel = 1; channel <= DmaEngines::kEngines; channel++) {
    In(channel).SetEngine(&dma_, EngineFor(options, channel));
  }
}

std::optional<FifoFlush> DataPath::FlushRegister(ULONG offset) {
  for (int channel = 1; channel <= DmaEngines::kEngines; channel++) {
    if (offset == 0x30C + 0x20 * (ULONG)channel) return FifoFlush{channel, false};
    if (offset == 0x3CC + 0x20 * (ULONG)channel) return FifoFlush{channel, true};
  }
  return std::nullopt;
}

ULONG DataPath::Read(ULONG offset) const {
  return DmaEngines::Owns(offset) ? dma_.Read(offset) : 0;
}

void DataPath::Write(ULONG offset, ULONG value) {
  if (DmaEngines::Owns(offset)) {
    int started = dma_.Write(offset, value);
    // The engine feeds whichever endpoint waits on it; a transfer queued before the programming
    // arrived is answered now.
    for (InEndpoint& endpoint : in_) {
      if (started != 0 && endpoint.Engine() == started) endpoint.Pump();
    }
    return;
  }
  std::optional<FifoFlush> flush = FlushRegister(offset);
  if (!flush || (value & kFlushBit) == 0) return;
  flushes_[flush->channel - 1][flush->in ? 1 : 0]++;
  if (flush->in) {
    In(flush->channel).Flush();
  } else if (outFlushed_) {
    outFlushed_(flush->channel);
  }
}

void DataPath::PowerOn() {
  dma_.PowerOn();
  for (InEndpoint& endpoint : in_) endpoint.Clear();
  for (auto& counts : flushes_) counts[0] = counts[1] = 0;
}

}  // namespace kxsim
