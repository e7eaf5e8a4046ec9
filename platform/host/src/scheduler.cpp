// Managed threads, the clock and waits. See host/hostk/clock.h for the rules of virtual time.
#include "scheduler.h"

#include <chrono>
#include <list>
#include <sched.h>
#include <sstream>

#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/ntstatus.h"

namespace hostk {
namespace {

// 2026-01-01 00:00:00 UTC in 100 ns units since 1601: the virtual clock's system time at zero.
constexpr LONGLONG kVirtualSystemTimeBase = (1767225600LL + 11644473600LL) * 10000000LL;
constexpr LONGLONG kUnixEpochIn1601 = 11644473600LL * 10000000LL;
constexpr LONGLONG kDefaultTick = 156250;  // 15.625 ms
constexpr LONGLONG kFinestTick = 5000;     // 0.5 ms

struct Scheduler {
  std::mutex lock;
  ClockMode mode = ClockMode::Virtual;
  LONGLONG virtualNow = 0;
  LONGLONG tick = kDefaultTick;
  std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();
  int running = 0;
  std::list<HostThread*> threads;
  std::list<HostThread*> waiters;  // in the order their waits began
  uint64_t nextOrder = 0;
  size_t liveSystemThreads = 0;
  LONGLONG endedSystemThreadTime = 0;  // processor time of the system threads that ended
};

Scheduler& S() {
  static Scheduler* scheduler = new Scheduler;  // outlives detached threads at exit
  return *scheduler;
}

thread_local HostThread* tCurrent = nullptr;

LONGLONG RealNow() {
  auto elapsed = std::chrono::steady_clock::now() - S().realStart;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

std::chrono::steady_clock::time_point RealTimePoint(LONGLONG interruptTime) {
  return S().realStart + std::chrono::nanoseconds(interruptTime * 100);
}

const char* TypeName(UCHAR type) {
  switch (type) {
    case kEventNotification: return "notification event";
    case kEventSynchronization: return "synchronization event";
    case kMutant: return "mutex";
    case kSemaphore: return "semaphore";
    case kThreadObject: return "thread";
    default: return "object";
  }
}

void DescribeThread(std::ostringstream& out, const HostThread* thread) {
  out << "  thread \"" << thread->name << "\": ";
  if (thread->running) {
    out << "running\n";
    return;
  }
  if (thread->spinningOn != nullptr) {
    out << "spinning for the spin lock @" << (const void*)thread->spinningOn << "\n";
    return;
  }
  out << "blocked in " << thread->wait->what;
  if (thread->wait->count > 0) {
    out << (thread->wait->type == WaitAll ? " (all of)" : " (any of)");
    for (ULONG i = 0; i < thread->wait->count; i++) {
      const DISPATCHER_HEADER* header = thread->wait->objects[i];
      out << " " << TypeName(header->Type) << "@" << (const void*)header
          << "[state " << header->SignalState << "]";
    }
  }
  if (thread->deadline == kNoDeadline) {
    out << ", no deadline\n";
  } else {
    out << ", deadline " << thread->deadline << " (now " << S().virtualNow << ")\n";
  }
}

std::string DescribeThreadsLocked() {
  std::ostringstream out;
  for (const HostThread* thread : S().threads) DescribeThread(out, thread);
  return out.str();
}

void WakeWaiter(HostThread* thread, NTSTATUS status) {
  S().waiters.remove(thread);
  thread->woken = true;
  thread->status = status;
  thread->running = true;
  S().running++;
  thread->wake.notify_one();
}

// Virtual time moves only here: every managed thread is blocked, so jump to the earliest deadline.
void AdvanceClockIfIdle() {
  Scheduler& s = S();
  if (s.mode != ClockMode::Virtual || s.running > 0 || s.threads.empty()) return;
  // A spinner whose lock was released is about to run: it takes the lock on its next look, which
  // may come after the holder has gone on to block.
  for (const HostThread* thread : s.threads) {
    if (thread->spinningOn != nullptr &&
        __atomic_load_n(thread->spinningOn, __ATOMIC_ACQUIRE) == 0) {
      return;
    }
  }
  LONGLONG earliest = kNoDeadline;
  for (const HostThread* waiter : s.waiters) earliest = std::min(earliest, waiter->deadline);
  if (earliest == kNoDeadline) {
    bool onlyIdleServices = true;
    for (const HostThread* waiter : s.waiters) onlyIdleServices &= waiter->service;
    if (onlyIdleServices) return;
    std::string report = "every managed thread is blocked and no deadline is pending:\n" +
                         DescribeThreadsLocked();
    BugCheck(kHostDeadlock, report.c_str());
  }
  s.virtualNow = std::max(s.virtualNow, earliest);
  for (auto it = s.waiters.begin(); it != s.waiters.end();) {
    HostThread* waiter = *it++;
    if (waiter->deadline <= s.virtualNow) WakeWaiter(waiter, STATUS_TIMEOUT);
  }
}

}  // namespace

std::unique_lock<std::mutex> LockScheduler() { return std::unique_lock<std::mutex>(S().lock); }

HostThread* CurrentHostThread() { return tCurrent; }
void SetCurrentHostThread(HostThread* thread) { tCurrent = thread; }

LONGLONG NowLocked(std::unique_lock<std::mutex>&) {
  return S().mode == ClockMode::Virtual ? S().virtualNow : RealNow();
}

LONGLONG SystemTimeLocked(std::unique_lock<std::mutex>& lock) {
  if (S().mode == ClockMode::Virtual) return kVirtualSystemTimeBase + NowLocked(lock);
  auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochIn1601 +
         std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

LONGLONG InterruptTimeLocked(std::unique_lock<std::mutex>& lock) {
  LONGLONG now = NowLocked(lock);
  return now - now % S().tick;
}

LONGLONG TickedSystemTimeLocked(std::unique_lock<std::mutex>& lock) {
  LONGLONG system = SystemTimeLocked(lock);
  return system - (NowLocked(lock) - InterruptTimeLocked(lock));
}

LONGLONG TickIncrementLocked(std::unique_lock<std::mutex>&) { return S().tick; }

// A timer is due at the interrupt time of its start (the last tick) plus its interval, and expires
// on the first tick at or after that.
LONGLONG DeadlineFromTimeout(std::unique_lock<std::mutex>& lock, const LARGE_INTEGER* timeout) {
  if (timeout == nullptr) return kNoDeadline;
  LONGLONG now = NowLocked(lock);
  LONGLONG value = timeout->QuadPart;
  if (value == 0) return now;
  LONGLONG relative;
  if (value < 0) {
    relative = value == INT64_MIN ? INT64_MAX : -value;
  } else {
    LONGLONG systemNow = SystemTimeLocked(lock);
    if (value <= systemNow) return now;
    relative = value - systemNow;
  }
  bool precise = CurrentHostThread() != nullptr && CurrentHostThread()->preciseTimers;
  LONGLONG start = precise ? now : InterruptTimeLocked(lock);
  LONGLONG tick = precise ? 1 : S().tick;
  if (relative > kNoDeadline - 1 - start - tick) return kNoDeadline - 1;
  LONGLONG due = start + relative;
  return due % tick == 0 ? due : due - due % tick + tick;
}

namespace {

bool WaitIncludes(const WaitSpec& spec, const void* object) {
  for (ULONG i = 0; i < spec.count; i++) {
    if (spec.objects[i] == object) return true;
  }
  return false;
}

[[noreturn]] void ReportApcDeadlock(const HostThread* thread, const void* object) {
  BugCheckF(kHostDeadlock,
            "thread \"%s\" waits at IRQL %u for the object @%p, which only a kernel APC queued to "
            "it will signal, and APCs are not delivered at APC_LEVEL or above (inside a fast "
            "mutex, for example): the request's completion can never reach it",
            thread->name.c_str(), (unsigned)thread->waitIrql, object);
}

// A wait at APC_LEVEL or above, with no time-out, for the object of an APC already queued to the
// waiter. With a time-out the wait only ends in STATUS_TIMEOUT, as on the platform, and the APC
// comes in once the thread drops below APC_LEVEL.
void CheckApcDeadlock(const HostThread* self, const WaitSpec& spec, LONGLONG deadline) {
  if (deadline != kNoDeadline) return;
  for (const KernelApc& apc : self->apcs) {
    if (apc.awaited != nullptr && WaitIncludes(spec, apc.awaited)) {
      ReportApcDeadlock(self, apc.awaited);
    }
  }
}

// Runs the calling thread's queued APCs at APC_LEVEL, without the scheduler lock.
void RunApcsLocked(std::unique_lock<std::mutex>& lock, HostThread* self) {
  if (self->deliveringApcs) return;
  self->deliveringApcs = true;
  while (!self->apcs.empty()) {
    KernelApc apc = self->apcs.front();
    self->apcs.pop_front();
    self->apcCount--;
    lock.unlock();
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    apc.routine(apc.context);
    KfLowerIrql(old);
    lock.lock();
  }
  self->deliveringApcs = false;
}

}  // namespace

NTSTATUS BlockCurrentThread(std::unique_lock<std::mutex>& lock, const WaitSpec& spec,
                            LONGLONG deadline) {
  HostThread* self = tCurrent;
  KIRQL irql = KeGetCurrentIrql();
  bool apcsAllowed = self != nullptr && irql < APC_LEVEL;
  for (;;) {
    if (apcsAllowed) RunApcsLocked(lock, self);
    NTSTATUS status;
    if (TrySatisfyWait(spec, CurrentKThread(), &status)) return status;
    if (deadline <= NowLocked(lock)) return STATUS_TIMEOUT;
    if (self == nullptr) {
      BugCheckF(kDriverVerifierDetectedViolation,
                "%s from a thread the host kernel does not manage (attach it first)", spec.what);
    }
    self->waitIrql = irql;
    if (!apcsAllowed) CheckApcDeadlock(self, spec, deadline);
    self->wait = &spec;
    self->deadline = deadline;
    self->order = S().nextOrder++;
    self->woken = false;
    self->apcWake = false;
    self->running = false;
    S().waiters.push_back(self);
    S().running--;
    AdvanceClockIfIdle();
    while (!self->woken && !self->apcWake) {
      if (S().mode == ClockMode::Real && deadline != kNoDeadline) {
        if (self->wake.wait_until(lock, RealTimePoint(deadline)) == std::cv_status::timeout &&
            !self->woken && !self->apcWake) {
          WakeWaiter(self, STATUS_TIMEOUT);
        }
      } else {
        self->wake.wait(lock);
      }
    }
    self->wait = nullptr;
    self->deadline = kNoDeadline;
    if (self->woken) {
      if (apcsAllowed) RunApcsLocked(lock, self);
      return self->status;
    }
    // Taken out of the wait for its APCs (and counted running by the queuer): run them, wait on.
    self->apcWake = false;
  }
}

bool QueueKernelApc(PKTHREAD thread, const KernelApc& apc) {
  HostThread* self = tCurrent;
  bool deliverHere = false;
  {
    auto lock = LockScheduler();
    HostThread* target = thread != nullptr ? thread->Host : nullptr;
    if (target == nullptr) return false;
    target->apcs.push_back(apc);
    target->apcCount++;
    if (target == self) {
      deliverHere = KeGetCurrentIrql() < APC_LEVEL;
    } else if (!target->running && target->wait != nullptr && !target->woken &&
               !target->apcWake) {
      if (target->waitIrql < APC_LEVEL) {
        S().waiters.remove(target);
        target->apcWake = true;
        target->running = true;
        S().running++;
        target->wake.notify_one();
      } else if (target->deadline == kNoDeadline && apc.awaited != nullptr &&
                 WaitIncludes(*target->wait, apc.awaited)) {
        ReportApcDeadlock(target, apc.awaited);
      }
    }
  }
  if (deliverHere) DeliverKernelApcs();
  return true;
}

void DeliverKernelApcs() {
  HostThread* self = tCurrent;
  if (self == nullptr || self->apcCount.load() == 0 || KeGetCurrentIrql() >= APC_LEVEL) return;
  auto lock = LockScheduler();
  RunApcsLocked(lock, self);
}

std::deque<KernelApc> TakeKernelApcs(std::unique_lock<std::mutex>&, HostThread* thread) {
  std::deque<KernelApc> apcs;
  apcs.swap(thread->apcs);
  thread->apcCount = 0;
  return apcs;
}

void SpinUntilAcquired(PKSPIN_LOCK spinLock, ULONG_PTR token) {
  HostThread* self = tCurrent;
  auto lock = LockScheduler();
  if (self != nullptr) {
    self->running = false;
    self->spinningOn = spinLock;
    S().running--;
    AdvanceClockIfIdle();
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(spinLock, &expected, token, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    lock.unlock();
    sched_yield();
    lock.lock();
  }
  if (self != nullptr) {
    self->running = true;
    self->spinningOn = nullptr;
    S().running++;
  }
}

void WakeSatisfiedWaiters(std::unique_lock<std::mutex>&) {
  for (auto it = S().waiters.begin(); it != S().waiters.end();) {
    HostThread* waiter = *it++;
    NTSTATUS status;
    if (waiter->wait->count > 0 && TrySatisfyWait(*waiter->wait, waiter->kthread, &status)) {
      WakeWaiter(waiter, status);
    }
  }
}

void RegisterRunningThread(std::unique_lock<std::mutex>&, HostThread* thread) {
  thread->running = true;
  S().threads.push_back(thread);
  S().running++;
}

void UnregisterThread(std::unique_lock<std::mutex>&, HostThread* thread) {
  S().threads.remove(thread);
  if (thread->running) S().running--;
  AdvanceClockIfIdle();
}

void NoteSystemThreadStarted(std::unique_lock<std::mutex>&) { S().liveSystemThreads++; }
void NoteSystemThreadEnded(std::unique_lock<std::mutex>&, LONGLONG processorTime) {
  S().liveSystemThreads--;
  S().endedSystemThreadTime += processorTime;
}

namespace {

LONGLONG ProcessorTimeOf(clockid_t clock) {
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return 0;
  return LONGLONG(used.tv_sec) * 10000000 + used.tv_nsec / 100;
}

}  // namespace

LONGLONG CurrentThreadProcessorTime() { return ProcessorTimeOf(CLOCK_THREAD_CPUTIME_ID); }

LONGLONG SystemThreadProcessorTime() {
  auto lock = LockScheduler();
  LONGLONG total = S().endedSystemThreadTime;
  for (const HostThread* thread : S().threads) {
    bool system = thread->kthread != nullptr && thread->kthread->SystemThread;
    if (system && thread->hasProcessorClock) total += ProcessorTimeOf(thread->processorClock);
  }
  return total;
}

void ResetClockForNextTest() {
  auto lock = LockScheduler();
  // Only with no other thread that could hold a deadline or be running.
  for (const HostThread* thread : S().threads) {
    if (thread == tCurrent) continue;
    if (!thread->service || thread->running || thread->deadline != kNoDeadline) return;
  }
  S().mode = ClockMode::Virtual;
  S().virtualNow = 0;
  S().tick = kDefaultTick;
}

void SetClockTick(LONGLONG hundredNs) {
  auto lock = LockScheduler();
  S().tick = std::min(std::max(hundredNs, kFinestTick), kDefaultTick);
}

LONGLONG ClockTick() {
  auto lock = LockScheduler();
  return S().tick;
}

bool UsePreciseTimers(bool precise) {
  HostThread* thread = CurrentHostThread();
  if (thread == nullptr) return false;
  bool before = thread->preciseTimers;
  thread->preciseTimers = precise;
  return before;
}

void SetClockMode(ClockMode mode) {
  auto lock = LockScheduler();
  if (mode == S().mode) return;
  if (mode == ClockMode::Real) {
    S().realStart = std::chrono::steady_clock::now() -
                    std::chrono::nanoseconds(S().virtualNow * 100);
  } else {
    S().virtualNow = RealNow();
  }
  S().mode = mode;
}

ClockMode GetClockMode() {
  auto lock = LockScheduler();
  return S().mode;
}

LONGLONG ClockNow() {
  auto lock = LockScheduler();
  return NowLocked(lock);
}

size_t LiveSystemThreadCount() {
  auto lock = LockScheduler();
  return S().liveSystemThreads;
}

std::string DescribeThreads() {
  auto lock = LockScheduler();
  return DescribeThreadsLocked();
}

}  // namespace hostk
