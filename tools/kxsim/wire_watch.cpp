#include "wire_watch.h"

#include "sim/adapter/command_block.h"

namespace kxsim {
namespace {

constexpr UCHAR kChannel1Out = 0x01;

}  // namespace

std::vector<SentRect> WireWatch::Take() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<SentRect> taken;
  taken.swap(sent_);
  return taken;
}

// A block is one transfer of exactly 1024 bytes opening with the magic; a payload cannot pass for
// one, as a JPEG stream opens with FF D8. The driver's buffer is readable only during this call.
void WireWatch::Transfer(const std::shared_ptr<UsbTransfer>& transfer) {
  if (transfer->Endpoint() == kChannel1Out && transfer->Length() == kCommandBlockSize &&
      HasBlockMagic(transfer->Buffer(), kCommandBlockSize)) {
    CommandBlock block = ParseCommandBlock(transfer->Buffer());
    if (block.command == kCommandFrame) {
      const FrameFields& frame = block.frame;
      PixelRect rect{frame.x, frame.y, frame.x + frame.rectWidth, frame.y + frame.rectHeight};
      std::lock_guard<std::mutex> guard(lock_);
      sent_.push_back(SentRect{block.displayId, rect});
    }
  }
  device_->Transfer(transfer);
}

}  // namespace kxsim
