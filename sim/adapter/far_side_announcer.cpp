// Far-side announcements on channel 1 in.
#include "sim/adapter/far_side_announcer.h"

#include "sim/adapter/command_block.h"

namespace kxsim {

void FarSideAnnouncer::AnnounceDisplay(const std::vector<uint8_t>& report) {
  Send(BuildAttachBlock((ULONG)report.size()));
  if (!report.empty()) Send(report);
}

void FarSideAnnouncer::AnnounceRemoval(ULONG displayId) { Send(BuildDetachBlock(displayId)); }

void FarSideAnnouncer::Send(std::vector<uint8_t> message) {
  sent_++;
  endpoint_->Queue(std::move(message));
}

}  // namespace kxsim
