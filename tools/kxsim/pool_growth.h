// The soak's view of the pool: the live blocks by tag, sampled while the adapter is idle, and
// the rule that tells a leak from a cache that grew once.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nt.h"

namespace kxsim {

struct TagLevel {
  size_t blocks = 0;
  uint64_t bytes = 0;
};

// The live pool by tag.
using PoolLevel = std::map<ULONG, TagLevel>;

PoolLevel SamplePool();

// Growth that goes on, as "TAG: blocks, bytes (first sample: blocks, bytes), rose in N of M
// intervals" for each tag it concerns; "" when there is none. A leak on a path the soak takes
// grows the pool interval after interval, while a kept cache grows in a step or two (a thread's
// encoder is made, or made larger, the first time that thread takes part in a wide enough
// rectangle, which depends on which thread wakes when). A tag is reported when it ended above its
// first sample and rose in more than half of the intervals.
std::string SustainedGrowth(const std::vector<PoolLevel>& samples);

}  // namespace kxsim
