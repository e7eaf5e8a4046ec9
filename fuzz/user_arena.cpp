#include "user_arena.h"

#include <algorithm>
#include <cstring>

namespace kxfuzz {

// kSize is whole pages, so the inaccessible page every user buffer has after it starts right at
// the block's end: a touch past the end without a probe is a crash, not a silent read of whatever
// follows.
UserArena::UserArena() : block_(std::make_unique<hostk::UserBuffer>(kSize)) {}

UserSpan UserArena::Decode(FuzzedDataProvider& data) {
  UserSpan span;
  size_t offset = 0;
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:  // null: no length, a small one, or any
      span.length = data.PickValueInArray<ULONG>({0u, 4u, 32u, data.ConsumeIntegral<ULONG>()});
      return span;
    case 1:  // inside
      offset = data.ConsumeIntegralInRange<size_t>(0, kSize);
      span.length = data.ConsumeIntegralInRange<ULONG>(0, (ULONG)(kSize - offset));
      break;
    case 2:  // from near the end to past it
      offset = kSize - data.ConsumeIntegralInRange<size_t>(0, 256);
      span.length = (ULONG)(kSize - offset) + data.ConsumeIntegralInRange<ULONG>(1, 8192);
      break;
    default:  // the start, with any length
      span.length = data.ConsumeIntegral<ULONG>();
      break;
  }
  span.address = block_->Data() + offset;
  size_t inside = std::min<size_t>(span.length, kSize - offset);
  std::vector<uint8_t> bytes = data.ConsumeBytes<uint8_t>(inside);
  if (!bytes.empty()) std::memcpy(span.address, bytes.data(), bytes.size());
  std::memset(span.address + bytes.size(), 0, inside - bytes.size());
  return span;
}

NTSTATUS ProbeLikeIoManager(ULONG code, const UserSpan& input, const UserSpan& output) {
  ULONG method = code & 3;
  if (method == METHOD_NEITHER) return STATUS_SUCCESS;
  if (input.length != 0 && !hostk::UserRangeCheck(input.address, input.length, false)) {
    return STATUS_ACCESS_VIOLATION;
  }
  // Buffered output is written back, an out-direct buffer written by the device; an in-direct
  // buffer is only read.
  bool write = method != METHOD_IN_DIRECT;
  if (output.length != 0 && !hostk::UserRangeCheck(output.address, output.length, write)) {
    return STATUS_ACCESS_VIOLATION;
  }
  return STATUS_SUCCESS;
}

}  // namespace kxfuzz
