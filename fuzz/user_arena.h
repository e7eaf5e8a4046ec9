// The fuzzed process's user memory: one registered block, with the inaccessible page every user
// buffer has after it, and the buffers an input describes inside it, reaching past its end, or
// null. The I/O manager's own probe of buffered and direct buffers is played here for requests
// the harness builds itself, so that only the driver ever meets an address that is not user memory.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "host/hostk/user_memory.h"
#include "host/ntddk.h"

namespace kxfuzz {

struct UserSpan {
  UCHAR* address = nullptr;
  ULONG length = 0;
};

class UserArena {
 public:
  static constexpr size_t kSize = 16384;

  UserArena();
  UserArena(const UserArena&) = delete;
  UserArena& operator=(const UserArena&) = delete;

  // A buffer decoded from the input: null (with a length of any size), inside the block, or
  // starting inside it and reaching past its end. The bytes inside the block are filled from the
  // input.
  UserSpan Decode(FuzzedDataProvider& data);
  // Where an address decoded from this arena lies in its block.
  size_t OffsetOf(const UCHAR* address) const { return (size_t)(address - block_->Data()); }

 private:
  std::unique_ptr<hostk::UserBuffer> block_;
};

// STATUS_ACCESS_VIOLATION when the I/O manager would refuse a device-control request from user
// mode before its driver sees it (a buffered or direct buffer that is not user memory with the
// access the method needs); STATUS_SUCCESS otherwise. METHOD_NEITHER buffers go to the driver as
// they are.
NTSTATUS ProbeLikeIoManager(ULONG code, const UserSpan& input, const UserSpan& output);

}  // namespace kxfuzz
