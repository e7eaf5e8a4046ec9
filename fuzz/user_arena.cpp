#include "user_arena.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace kxfuzz {

UserArena::UserArena() : block_(std::make_unique<hostk::UserBuffer>(kSize)) {
  // kSize is whole pages, so the page after the block is the first one the block's mapping does
  // not own; when the host has nothing there, an unreadable page makes any touch past the end
  // without a probe a crash instead of a silent read of whatever follows.
  void* after = block_->Data() + kSize;
  void* guard = mmap(after, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                     -1, 0);
  if (guard == after) guard_ = guard;
  else if (guard != MAP_FAILED) munmap(guard, 4096);
}

UserArena::~UserArena() {
  if (guard_ != nullptr) munmap(guard_, 4096);
}

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
