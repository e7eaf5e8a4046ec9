// What holds a system buffer that a device is given: a pool block or an MDL's system view of user
// pages. A device model takes the owner when a request brings the buffer and asks again before it
// touches the memory; an owner that has gone in between (the block freed, the view unmapped) means
// the driver gave the memory back while the device still had it, which the verifier stops before
// the device reads or writes memory that may already be someone else's.
#pragma once

#include <cstdint>
#include <string>

#include "host/ntddk.h"

namespace hostk {

struct BufferOwner {
  enum class Kind { Untracked, Pool, MdlView } kind = Kind::Untracked;
  const void* holder = nullptr;  // the pool block's body or the MDL
  uint64_t serial = 0;           // the block's allocation sequence or the MDL's serial
  ULONG tag = 0;                 // a pool block's tag
};

// The owner of [address, address + length); Untracked for memory the host kernel does not hand
// out (a stack, static data, a test's own buffers).
BufferOwner OwnerOfSystemBuffer(const void* address, size_t length);

// Empty while `owner` still holds the range; otherwise what became of it, for a report.
std::string OwnerLoss(const BufferOwner& owner, const void* address, size_t length);

}  // namespace hostk
