// KeQueryActiveProcessorCount: the machine's processors, or the count set for a test.
#include <atomic>
#include <thread>

#include "host/hostk/processors.h"
#include "host/ke.h"

namespace {

constexpr ULONG kMaxProcessors = 32;
std::atomic<ULONG> chosenCount{0};

ULONG MachineCount() {
  unsigned count = std::thread::hardware_concurrency();
  if (count == 0) return 1;
  return count > kMaxProcessors ? kMaxProcessors : ULONG(count);
}

}  // namespace

namespace hostk {

void SetActiveProcessorCount(ULONG count) {
  chosenCount.store(count > kMaxProcessors ? kMaxProcessors : count);
}

}  // namespace hostk

ULONG NTAPI KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
  ULONG count = chosenCount.load();
  if (count == 0) count = MachineCount();
  if (ActiveProcessors != nullptr) {
    *ActiveProcessors = count >= 32 ? KAFFINITY(0xFFFFFFFFu) : (KAFFINITY(1) << count) - 1;
  }
  return count;
}
