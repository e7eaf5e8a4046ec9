// Fault injection for the pool: fail the n-th allocation, the n-th allocation of a tag, every
// allocation of a tag, a seeded random share of allocations, or every allocation larger than a
// limit.
#include "pool_faults.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "host/hostk/pool.h"

namespace hostk {
namespace {

struct FaultState {
  std::mutex lock;
  uint64_t attempts = 0;
  std::set<uint64_t> failingAttempts;  // attempt numbers that fail, counted like `attempts`
  std::unordered_set<ULONG> failingTags;
  // Per armed tag, how many of its allocations are still to pass before each fault: only tags
  // a test armed are counted.
  std::map<ULONG, std::vector<uint64_t>> tagCountdowns;
  bool randomOn = false;
  double probability = 0;
  std::mt19937_64 random;
  SIZE_T sizeLimit = 0;  // 0: none
  uint64_t failed = 0;
};

// Never destroyed: threads still allocating while the process exits must find it intact.
FaultState& Faults() {
  static FaultState* state = new FaultState;
  return *state;
}

// A uniform draw in [0, 1) from the top 53 bits. mt19937_64's output is fixed by the C++ standard
// and this conversion is ours, so a seed means the same pattern with every standard library.
double Draw(std::mt19937_64& random) {
  return static_cast<double>(random() >> 11) * 0x1.0p-53;
}

}  // namespace

bool PoolInjectedFailure(ULONG tag, SIZE_T size) {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  bool fail = false;
  if (faults.failingAttempts.erase(++faults.attempts) != 0) fail = true;
  if (faults.failingTags.count(tag) != 0) fail = true;
  auto armed = faults.tagCountdowns.find(tag);
  if (armed != faults.tagCountdowns.end()) {
    std::vector<uint64_t>& countdowns = armed->second;
    for (uint64_t& left : countdowns) fail |= --left == 0;
    countdowns.erase(std::remove(countdowns.begin(), countdowns.end(), 0), countdowns.end());
    if (countdowns.empty()) faults.tagCountdowns.erase(armed);
  }
  // Drawn even when another fault already decided, so the random pattern depends only on the seed
  // and the number of attempts.
  if (faults.randomOn && Draw(faults.random) < faults.probability) fail = true;
  if (faults.sizeLimit != 0 && size > faults.sizeLimit) fail = true;
  if (fail) ++faults.failed;
  return fail;
}

void PoolFailNth(uint64_t n) {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  if (n > 0) faults.failingAttempts.insert(faults.attempts + n);
}

void PoolFailNthWithTag(ULONG tag, uint64_t n) {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  if (n > 0) faults.tagCountdowns[tag].push_back(n);
}

void PoolFailTag(ULONG tag, bool on) {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  if (on) {
    faults.failingTags.insert(tag);
  } else {
    faults.failingTags.erase(tag);
  }
}

void PoolFailRandom(double probability, uint64_t seed) {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  faults.randomOn = probability > 0;
  faults.probability = probability;
  faults.random.seed(seed);
}

void PoolClearFaults() {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  faults.failingAttempts.clear();
  faults.failingTags.clear();
  faults.tagCountdowns.clear();
  faults.randomOn = false;
  faults.probability = 0;
  faults.sizeLimit = 0;
}

void PoolFailLarger(SIZE_T bytes) {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  faults.sizeLimit = bytes;
}

uint64_t PoolFailedCount() {
  FaultState& faults = Faults();
  std::lock_guard<std::mutex> guard(faults.lock);
  return faults.failed;
}

}  // namespace hostk
