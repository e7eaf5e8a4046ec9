// Data channel 1 out as the far side reads it: 1024-byte command blocks (mode, stop, frame data),
// each frame-data block followed by its JPEG payload, which is decoded into the display's frame
// buffer. Everything that breaks the transmission format is counted (protocol_violations.h).
//
// Framing: a block is one transfer of exactly 1024 bytes. The payload of a command 3 is the next
// transfer, or the next transfers when the host cut it into pieces, and is PayloadLength rounded
// up to 1024 bytes long. A transfer that opens with "KXgt" and is 1024 bytes long while a payload
// is due is taken for a block (a JPEG stream opens with FF D8, so the two cannot be confused): the
// payload is missing, or ended early. Bytes past the rounded length in a payload's last transfer
// are dropped. A FIFO flush of the endpoint drops a payload in progress.
//
// What is drawn: a rectangle of an active display that lies inside its mode, whose stream decodes
// to RectWidth x RectHeight; faults in the other fields (offset, alignment, fill) are counted and
// the rectangle is still drawn at (X, Y), as the far side takes its position from those.
#pragma once

#include <optional>

#include "sim/adapter/far_displays.h"
#include "sim/adapter/protocol_violations.h"

namespace kxsim {

class CommandBlockReceiver {
 public:
  CommandBlockReceiver(FarDisplays* displays, ProtocolViolations* violations,
                       bool decodeFrames = true);

  // One OUT transfer on channel 1.
  void Receive(const uint8_t* data, size_t size);
  void Flush() { pending_.reset(); }

  ULONG Blocks() const { return blocks_; }
  bool PayloadPending() const { return pending_.has_value(); }

 private:
  struct PendingFrame {
    LONG displayId = 0;
    FrameFields frame;
    bool draw = false;
    size_t expected = 0;
    std::vector<uint8_t> bytes;
  };

  void ReceivePayload(const uint8_t* data, size_t size);
  void ReceiveBlock(const uint8_t* block);
  void Mode(const CommandBlock& block);
  void Stop(const CommandBlock& block);
  void Frame(const CommandBlock& block);
  // Counts what is wrong with a frame-data block; true when its rectangle can be drawn.
  bool CheckFrame(const CommandBlock& block);
  // Fields that make sense without the display; false when the rectangle cannot be drawn.
  bool CheckFields(LONG id, const FrameFields& frame);
  bool CheckGeometry(LONG id, const FrameFields& frame, const ModeFields& mode);
  void FinishPayload();
  void Violate(Violation violation, LONG displayId, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  FarDisplays* const displays_;
  ProtocolViolations* const violations_;
  const bool decodeFrames_;
  std::optional<PendingFrame> pending_;
  ULONG blocks_ = 0;
};

}  // namespace kxsim
