// Channel 1 out: command blocks, payloads, and the checks of the transmission format.
#include "sim/adapter/command_block_receiver.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace kxsim {
namespace {

constexpr unsigned kGrid = 16;

size_t RoundedPayload(ULONG length) {
  return ((size_t)length + kCommandBlockSize - 1) / kCommandBlockSize * kCommandBlockSize;
}

bool IsFramed(const std::vector<uint8_t>& bytes, ULONG length) {
  if (length < 4 || bytes.size() < length) return false;
  return bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[length - 2] == 0xFF &&
         bytes[length - 1] == 0xD9;
}

}  // namespace

CommandBlockReceiver::CommandBlockReceiver(FarDisplays* displays, ProtocolViolations* violations,
                                           bool decodeFrames)
    : displays_(displays), violations_(violations), decodeFrames_(decodeFrames) {}

void CommandBlockReceiver::Violate(Violation violation, LONG displayId, const char* format, ...) {
  char text[160];
  int used = snprintf(text, sizeof text, "display %d: ", (int)displayId);
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text + used, sizeof text - used, format, arguments);
  va_end(arguments);
  violations_->Record(violation, text);
}

void CommandBlockReceiver::Receive(const uint8_t* data, size_t size) {
  if (pending_) {
    bool isBlock = size == kCommandBlockSize && HasBlockMagic(data, size);
    if (!isBlock) {
      ReceivePayload(data, size);
      return;
    }
    if (pending_->bytes.empty()) {
      Violate(Violation::PayloadMissing, pending_->displayId,
              "a block came instead of the payload of %zu bytes", pending_->expected);
      pending_.reset();
    } else {
      Violate(Violation::PayloadSizeMismatch, pending_->displayId,
              "a block came after %zu of the payload's %zu bytes", pending_->bytes.size(),
              pending_->expected);
      FinishPayload();
    }
  }
  if (size != kCommandBlockSize) {
    Violate(Violation::BadBlockLength, 0, "a transfer of %zu bytes where a block was due", size);
    return;
  }
  ReceiveBlock(data);
}

void CommandBlockReceiver::ReceivePayload(const uint8_t* data, size_t size) {
  PendingFrame& frame = *pending_;
  size_t room = frame.expected - frame.bytes.size();
  if (size > room) {
    Violate(Violation::PayloadSizeMismatch, frame.displayId,
            "the payload runs %zu bytes past its %zu", size - room, frame.expected);
  }
  frame.bytes.insert(frame.bytes.end(), data, data + std::min(size, room));
  if (frame.bytes.size() == frame.expected) FinishPayload();
}

void CommandBlockReceiver::ReceiveBlock(const uint8_t* data) {
  blocks_++;
  CommandBlock block = ParseCommandBlock(data);
  if (!block.magicOk) {
    Violate(Violation::BadMagic, block.displayId, "block %u opens with %02X %02X %02X %02X",
            (unsigned)blocks_, data[0], data[1], data[2], data[3]);
    return;
  }
  switch (block.command) {
    case kCommandMode: Mode(block); break;
    case kCommandStop: Stop(block); break;
    case kCommandFrame: Frame(block); break;
    default:
      Violate(Violation::UnknownCommand, block.displayId, "command %u", block.command);
      break;
  }
}

void CommandBlockReceiver::Mode(const CommandBlock& block) {
  if (!block.fillClean) Violate(Violation::NonZeroFill, block.displayId, "in a mode block");
  if (!displays_->SetMode(block.displayId, block.mode)) {
    Violate(Violation::BadMode, block.displayId, "mode %ux%u", block.mode.width,
            block.mode.height);
  }
}

void CommandBlockReceiver::Stop(const CommandBlock& block) {
  if (!block.fillClean) Violate(Violation::NonZeroFill, block.displayId, "in a stop block");
  displays_->Stop(block.displayId);
}

void CommandBlockReceiver::Frame(const CommandBlock& block) {
  bool draw = CheckFrame(block);
  ULONG length = block.frame.payloadLength;
  if (length == 0) return;  // nothing can follow
  PendingFrame frame;
  frame.displayId = block.displayId;
  frame.frame = block.frame;
  frame.draw = draw;
  frame.expected = RoundedPayload(length);
  pending_ = std::move(frame);
}

bool CommandBlockReceiver::CheckFrame(const CommandBlock& block) {
  LONG id = block.displayId;
  if (!block.fillClean) Violate(Violation::NonZeroFill, id, "in a frame-data block");
  bool fieldsOk = CheckFields(id, block.frame);
  const FarDisplayState* display = displays_->Find(id);
  if (display == nullptr || !display->active) {
    bool stopped = display != nullptr && display->stopped;
    Violate(stopped ? Violation::FrameAfterStop : Violation::FrameBeforeMode, id,
            "frame data at (%u, %u)", block.frame.x, block.frame.y);
    return false;
  }
  return CheckGeometry(id, block.frame, display->mode) && fieldsOk;
}

bool CommandBlockReceiver::CheckFields(LONG id, const FrameFields& frame) {
  bool drawable = true;
  if (frame.encoding != kEncodingJpeg) {
    Violate(Violation::BadFrameFields, id, "encoding 0x%02X", frame.encoding);
    drawable = false;
  }
  if (frame.payloadLength == 0 || frame.payloadLength != frame.payloadLength2) {
    Violate(Violation::BadFrameFields, id, "payload lengths %u and %u",
            (unsigned)frame.payloadLength, (unsigned)frame.payloadLength2);
  }
  if (frame.imageWidth != frame.rectWidth || frame.imageHeight != frame.rectHeight) {
    Violate(Violation::BadFrameFields, id, "image %ux%u for a rectangle %ux%u", frame.imageWidth,
            frame.imageHeight, frame.rectWidth, frame.rectHeight);
  }
  if (frame.rectWidth == 0 || frame.rectHeight == 0) {
    Violate(Violation::BadFrameFields, id, "empty rectangle");
    drawable = false;
  }
  return drawable;
}

bool CommandBlockReceiver::CheckGeometry(LONG id, const FrameFields& frame,
                                         const ModeFields& mode) {
  unsigned right = (unsigned)frame.x + frame.rectWidth;
  unsigned bottom = (unsigned)frame.y + frame.rectHeight;
  if (right > mode.width || bottom > mode.height) {
    Violate(Violation::RectOutsideDisplay, id, "(%u, %u) %ux%u on %ux%u", frame.x, frame.y,
            frame.rectWidth, frame.rectHeight, mode.width, mode.height);
    return false;
  }
  bool inner = (right != mode.width && frame.rectWidth % kGrid != 0) ||
               (bottom != mode.height && frame.rectHeight % kGrid != 0);
  if (frame.x % kGrid != 0 || frame.y % kGrid != 0 || inner) {
    Violate(Violation::Misaligned, id, "(%u, %u) %ux%u", frame.x, frame.y, frame.rectWidth,
            frame.rectHeight);
  }
  ULONG offset = (ULONG)(mode.bitsPerPixel / 8) * (frame.x + (ULONG)mode.width * frame.y);
  if (frame.frameOffset != offset) {
    Violate(Violation::BadFrameFields, id, "frame offset %u, not %u", (unsigned)frame.frameOffset,
            (unsigned)offset);
  }
  return true;
}

void CommandBlockReceiver::FinishPayload() {
  PendingFrame frame = std::move(*pending_);
  pending_.reset();
  ULONG length = frame.frame.payloadLength;
  if (frame.bytes.size() < length) return;  // cut short: counted by the caller
  if (!IsFramed(frame.bytes, length)) {
    Violate(Violation::StreamFraming, frame.displayId, "%u bytes do not run from SOI to EOI",
            (unsigned)length);
  }
  if (!frame.draw) return;
  if (!decodeFrames_) {
    displays_->Count(frame.displayId, frame.frame.rectWidth, frame.frame.rectHeight,
                     frame.bytes.data(), length);
    return;
  }
  DecodedImage image = DecodeJpeg(frame.bytes.data(), length);
  if (!image.ok) {
    Violate(Violation::DecodeError, frame.displayId, "%s", image.message.c_str());
    return;
  }
  if (image.warnings > 0) {
    Violate(Violation::DecodeWarning, frame.displayId, "%s", image.message.c_str());
  }
  if (image.width != frame.frame.rectWidth || image.height != frame.frame.rectHeight) {
    Violate(Violation::JpegSizeMismatch, frame.displayId, "image %ux%u for a rectangle %ux%u",
            image.width, image.height, frame.frame.rectWidth, frame.frame.rectHeight);
    return;
  }
  displays_->Draw(frame.displayId, frame.frame.x, frame.frame.y, image, frame.bytes.data(),
                  length);
}

}  // namespace kxsim
