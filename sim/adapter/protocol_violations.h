// What the far side found wrong in what the host sent on data channel 1: one counter per kind,
// and a line of detail for each (the first kMaxDetails kept), so a failing test says what broke.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "host/ntdef.h"

namespace kxsim {

enum class Violation {
  BadMagic,             // a block that does not open with "KXgt"
  BadBlockLength,       // a transfer where a block was due that is not 1024 bytes
  UnknownCommand,       // a host block whose command is not 1, 2 or 3
  NonZeroFill,          // a byte no field of the command covers is not 0
  BadMode,              // command 1 with a zero width or height, or one above 8192
  PayloadMissing,       // a block came where a command 3's payload was due
  PayloadSizeMismatch,  // the payload transfers did not add up to PayloadLength rounded to 1024
  BadFrameFields,       // encoding not 0x80, PayloadLength 0 or not repeated, image size not the
                        // rectangle's, FrameOffset not the rectangle's position, empty rectangle
  RectOutsideDisplay,   // the rectangle does not lie inside the display's mode
  Misaligned,           // X or Y, or an edge inside the display, off the 16-pixel grid
  FrameBeforeMode,      // command 3 for a display that never had a mode
  FrameAfterStop,       // command 3 for a display stopped since its last mode
  StreamFraming,        // the payload does not open with SOI, or PayloadLength does not end at EOI
  JpegSizeMismatch,     // the decoded image is not RectWidth x RectHeight
  DecodeError,          // the stream could not be decoded
  DecodeWarning,        // libjpeg warned while decoding (corrupt data, premature end, ...)
  kCount
};

const char* ViolationName(Violation violation);

class ProtocolViolations {
 public:
  static constexpr size_t kMaxDetails = 64;

  void Record(Violation violation, const std::string& detail);
  ULONG Count(Violation violation) const { return counts_[(size_t)violation]; }
  ULONG Total() const;
  // "PayloadMissing: display 3: a block came instead of the payload of 2048 bytes"
  const std::vector<std::string>& Details() const { return details_; }
  void Clear();

 private:
  std::array<ULONG, (size_t)Violation::kCount> counts_ = {};
  std::vector<std::string> details_;
};

}  // namespace kxsim
