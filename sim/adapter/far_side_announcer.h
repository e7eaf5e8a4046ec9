// Data channel 1 in: what the far side tells the host. A display that appears is announced by a
// command 16 block carrying the size of its display report, then the report itself as a message
// of its own (the host reads it with a second transfer of that size); a display that goes is
// announced by a command 17 block carrying its identifier. A test or scenario decides when.
//
// The messages go to the IN endpoint that carries channel 1 in on the adapter's generation: 0x82
// on the legacy basic generation, 0x81 otherwise; where a DMA engine feeds that endpoint, the
// host receives them only as it programs the engine.
#pragma once

#include <vector>

#include "sim/adapter/in_endpoint.h"

namespace kxsim {

class FarSideAnnouncer {
 public:
  void Attach(InEndpoint* endpoint) { endpoint_ = endpoint; }

  void AnnounceDisplay(const std::vector<uint8_t>& report);
  void AnnounceRemoval(ULONG displayId);
  // Any message, as the far side would send it (a block with a wrong magic, say).
  void Send(std::vector<uint8_t> message);

  ULONG Sent() const { return sent_; }

 private:
  InEndpoint* endpoint_ = nullptr;
  ULONG sent_ = 0;
};

}  // namespace kxsim
