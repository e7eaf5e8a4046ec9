// The host kernel's scheduling noise (hostk/chaos.h).
#include "host/hostk/chaos.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <sched.h>

namespace hostk {
namespace {

constexpr unsigned kUnread = ~0u;
constexpr long kLongestSleepNs = 100000;

std::atomic<unsigned> gOneIn{kUnread};

unsigned ReadSetting() {
  const char* text = std::getenv("KX_HOST_CHAOS");
  if (text == nullptr) return 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  return end != text && *end == '\0' && value < kUnread ? (unsigned)value : 0;
}

// Each thread draws from a generator of its own, seeded from its stack address and the clock, so
// threads do not move in step.
uint64_t NextRandom() {
  thread_local uint64_t state = 0;
  if (state == 0) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    state = (uint64_t)(uintptr_t)&now * 0x9E3779B97F4A7C15ull ^ (uint64_t)now.tv_nsec;
    state |= 1;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

// The setting in force: 0 when off, else N of "one in N".
unsigned ChaosOneIn() {
  unsigned oneIn = gOneIn.load(std::memory_order_relaxed);
  if (oneIn == kUnread) {
    oneIn = ReadSetting();
    gOneIn.store(oneIn, std::memory_order_relaxed);
  }
  return oneIn;
}

}  // namespace

void ChaosPoint() {
  unsigned oneIn = ChaosOneIn();
  if (oneIn == 0) return;
  uint64_t draw = NextRandom();
  if (draw % oneIn != 0) return;
  draw >>= 32;
  if (draw & 1) {
    sched_yield();
    return;
  }
  timespec pause = {0, (long)((draw >> 1) % kLongestSleepNs)};
  nanosleep(&pause, nullptr);
}

}  // namespace hostk
