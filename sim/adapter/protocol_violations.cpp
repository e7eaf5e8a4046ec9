// Violation counters and their names.
#include "sim/adapter/protocol_violations.h"

namespace kxsim {

const char* ViolationName(Violation violation) {
  switch (violation) {
    case Violation::BadMagic: return "BadMagic";
    case Violation::BadBlockLength: return "BadBlockLength";
    case Violation::UnknownCommand: return "UnknownCommand";
    case Violation::NonZeroFill: return "NonZeroFill";
    case Violation::BadMode: return "BadMode";
    case Violation::PayloadMissing: return "PayloadMissing";
    case Violation::PayloadSizeMismatch: return "PayloadSizeMismatch";
    case Violation::BadFrameFields: return "BadFrameFields";
    case Violation::RectOutsideDisplay: return "RectOutsideDisplay";
    case Violation::Misaligned: return "Misaligned";
    case Violation::FrameBeforeMode: return "FrameBeforeMode";
    case Violation::FrameAfterStop: return "FrameAfterStop";
    case Violation::StreamFraming: return "StreamFraming";
    case Violation::JpegSizeMismatch: return "JpegSizeMismatch";
    case Violation::DecodeError: return "DecodeError";
    case Violation::DecodeWarning: return "DecodeWarning";
    case Violation::kCount: break;
  }
  return "?";
}

void ProtocolViolations::Record(Violation violation, const std::string& detail) {
  counts_[(size_t)violation]++;
  if (details_.size() < kMaxDetails) {
    details_.push_back(std::string(ViolationName(violation)) + ": " + detail);
  }
}

ULONG ProtocolViolations::Total() const {
  ULONG total = 0;
  for (ULONG count : counts_) total += count;
  return total;
}

void ProtocolViolations::Clear() {
  counts_ = {};
  details_.clear();
}

}  // namespace kxsim
