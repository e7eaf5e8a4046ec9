// Allocation call sites: the thread's noted site, the record of sites seen, the one armed failure.
#include "host/hostk/allocation_sites.h"

#include <atomic>
#include <map>
#include <mutex>

namespace hostk {
namespace {

struct NotedSite {
  const char* file = nullptr;
  int line = 0;
  const char* routine = nullptr;
};

thread_local NotedSite noted;

struct SiteState {
  std::mutex lock;
  std::atomic<bool> active{false};  // recording or armed: the fast path skips the lock otherwise
  bool recording = false;
  std::map<std::string, size_t> index;  // where -> position in `seen`
  std::vector<AllocationSite> seen;
  std::vector<uint32_t> sequence;  // site position per recorded call
  std::string armed;      // empty: none
  uint64_t armedLeft = 0;  // calls at `armed` until the failing one
  uint64_t failures = 0;
  uint64_t calls = 0;
  uint64_t hookAt = 0;  // the call that runs the hook (0: none)
  void (*hook)(void*) = nullptr;
  void* hookContext = nullptr;
};

// Never destroyed: threads still allocating while the process exits must find it intact.
SiteState& Sites() {
  static SiteState* state = new SiteState;
  return *state;
}

void UpdateActive(SiteState& sites) {
  sites.active.store(sites.recording || !sites.armed.empty() || sites.hookAt != 0,
                     std::memory_order_release);
}

}  // namespace

void NoteAllocationSite(const char* file, int line, const char* routine) {
  noted.file = file;
  noted.line = line;
  noted.routine = routine;
}

bool AllocationSiteCallFails() {
  NotedSite site = noted;
  noted = NotedSite();
  if (site.file == nullptr) return false;
  SiteState& sites = Sites();
  if (!sites.active.load(std::memory_order_acquire)) return false;
  std::string where = std::string(site.file) + ":" + std::to_string(site.line);
  std::unique_lock<std::mutex> guard(sites.lock);
  if (++sites.calls == sites.hookAt) {
    void (*hook)(void*) = sites.hook;
    void* context = sites.hookContext;
    sites.hookAt = 0;
    UpdateActive(sites);
    guard.unlock();
    hook(context);
    guard.lock();
  }
  if (sites.recording) {
    auto found = sites.index.emplace(where, sites.seen.size());
    if (found.second) sites.seen.push_back(AllocationSite{where, site.routine, 0});
    sites.seen[found.first->second].calls++;
    sites.sequence.push_back(uint32_t(found.first->second));
  }
  if (sites.armed != where || --sites.armedLeft != 0) return false;
  sites.armed.clear();
  sites.failures++;
  UpdateActive(sites);
  return true;
}

void AllocationSitesRecord(bool on) {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  sites.recording = on;
  if (on) {
    sites.index.clear();
    sites.seen.clear();
    sites.sequence.clear();
  }
  UpdateActive(sites);
}

std::vector<AllocationSite> AllocationSitesSeen() {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  return sites.seen;
}

void AllocationSiteFail(const std::string& where, uint64_t nth) {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  sites.armed = nth == 0 ? std::string() : where;
  sites.armedLeft = nth;
  UpdateActive(sites);
}

void AllocationCallHook(uint64_t nth, void (*hook)(void* context), void* context) {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  sites.hookAt = hook == nullptr || nth == 0 ? 0 : sites.calls + nth;
  sites.hook = hook;
  sites.hookContext = context;
  UpdateActive(sites);
}

uint64_t AllocationCallCount() {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  return sites.calls;
}

std::vector<uint32_t> AllocationCallSequence() {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  return sites.sequence;
}

uint64_t AllocationSiteFailures() {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  return sites.failures;
}

void AllocationSitesReset() {
  SiteState& sites = Sites();
  std::lock_guard<std::mutex> guard(sites.lock);
  sites.recording = false;
  sites.index.clear();
  sites.seen.clear();
  sites.sequence.clear();
  sites.armed.clear();
  sites.armedLeft = 0;
  sites.failures = 0;
  sites.calls = 0;
  sites.hookAt = 0;
  sites.hook = nullptr;
  UpdateActive(sites);
}

}  // namespace hostk
