// The pool as tests see it: live allocations by tag, leak reports and fault injection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/ex.h"

namespace hostk {

// The tag whose four bytes in memory read `name` ("200M" -> the ULONG 0x4D303032).
constexpr ULONG PoolTag(const char (&name)[5]) {
  return (ULONG)(unsigned char)name[0] | ((ULONG)(unsigned char)name[1] << 8) |
         ((ULONG)(unsigned char)name[2] << 16) | ((ULONG)(unsigned char)name[3] << 24);
}
std::string PoolTagName(ULONG tag);  // the four characters, non-printable ones as '?'

struct PoolBlock {
  ULONG tag;
  POOL_TYPE type;
  SIZE_T size;
  uint64_t sequence;  // allocation order since start
};

std::vector<PoolBlock> PoolLiveBlocks();
size_t PoolLiveCount();
size_t PoolLiveCount(ULONG tag);
// "TAG: N blocks, B bytes (types)" lines, sorted by tag; empty when nothing is live.
std::string PoolLeakReport();
// True when [address, address + length) lies inside one live block; `type` (optional) receives
// the block's pool type.
bool PoolContainsRange(const void* address, size_t length, POOL_TYPE* type = nullptr);
// The live block that starts at `body` (what ExFreePool would free), or false.
bool PoolBlockAt(const void* body, PoolBlock* block);
// The live block that holds all of [address, address + length), with where its body starts.
bool PoolBlockContaining(const void* address, size_t length, const void** body, PoolBlock* block);
// Forgets every live block without freeing it (a test that deliberately leaks calls this).
void PoolForgetLiveBlocks();

// Fault injection. Allocations that fail return NULL as on the platform and are not tracked. All of
// them can be combined. Every allocation attempt draws exactly one number from the random source,
// whatever the other faults decide, so the same seed fails the same attempts of the same sequence.
// The n-th allocation from now fails (1 = the next one); several may be pending at once.
void PoolFailNth(uint64_t n);
// The n-th allocation with `tag` from now fails (1 = the next one of that tag).
void PoolFailNthWithTag(ULONG tag, uint64_t n);
void PoolFailTag(ULONG tag, bool on = true);  // every allocation with this tag fails
void PoolFailRandom(double probability, uint64_t seed);  // seeded, replayable
// Every allocation of more than `bytes` fails (0: no limit), as the platform's pool refuses what it
// cannot hold; for long runs that must not take the host's memory for a driver's huge request.
void PoolFailLarger(SIZE_T bytes);
void PoolClearFaults();
uint64_t PoolFailedCount();  // allocations failed by injection since start

// Between tests: forgets live blocks, clears fault injection and empties the quarantine of freed
// blocks. Forgotten blocks stay allocated until the next call, so late users do not touch freed
// memory.
void PoolResetForNextTest();

}  // namespace hostk
