// The scheduler of the host kernel: managed threads, the clock, and the waits on dispatcher objects.
// One lock guards the running count, the waiters, the deadlines and every dispatcher object's state;
// simplicity beats speed here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

#include "host/hostk/clock.h"
#include "host/ke.h"

namespace hostk {
struct HostThread;
}

struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread ends
  hostk::HostThread* Host;   // null once the thread has ended
  NTSTATUS ExitStatus;
  KPRIORITY Priority;
  BOOLEAN SystemThread;
};

namespace hostk {

// Dispatcher object types as the platform numbers them.
enum DispatcherType : UCHAR {
  kEventNotification = 0,
  kEventSynchronization = 1,
  kMutant = 2,
  kSemaphore = 5,
  kThreadObject = 6,
};

constexpr LONGLONG kNoDeadline = INT64_MAX;

struct WaitSpec {
  DISPATCHER_HEADER* const* objects;
  ULONG count;
  WAIT_TYPE type;
  const char* what;  // for deadlock reports: "KeWaitForSingleObject", "stall", ...
};

// A kernel APC as the I/O manager queues it to finish a threaded request on the thread that built
// it. `awaited` is the object the thread waits on for that request (its event), for the report
// of a wait that the APC can never end.
struct KernelApc {
  void (*routine)(void* context);
  void* context;
  const void* awaited;
};

struct HostThread {
  std::string name;
  PKTHREAD kthread = nullptr;
  std::condition_variable wake;
  bool running = true;
  // A thread of the host kernel or the simulated world: blocked without a deadline it is idle, not
  // part of a deadlock.
  bool service = false;
  // Set while blocked.
  const WaitSpec* wait = nullptr;
  LONGLONG deadline = kNoDeadline;  // interrupt time, 100 ns
  uint64_t order = 0;               // FIFO among waiters
  bool woken = false;
  NTSTATUS status = 0;
  // Kernel APCs queued to this thread and not yet delivered (scheduler lock; the count is read
  // without it to keep IRQL changes cheap).
  std::deque<KernelApc> apcs;
  std::atomic<int> apcCount{0};
  bool apcWake = false;       // taken out of its wait to run its APCs
  bool deliveringApcs = false;
  KIRQL waitIrql = 0;         // the IRQL it blocked at
  // Runs in the system process (system threads, the host's own threads and the work items and
  // completions they run) rather than in the client process that attached threads stand for.
  bool systemProcess = false;
  // Time-outs of this thread end exactly, not on a clock tick (hardware of the simulated world).
  bool preciseTimers = false;
  // Set while spinning for a spin lock without counting as running (SpinUntilAcquired).
  const KSPIN_LOCK* spinningOn = nullptr;
  // Verifier bookkeeping.
  int spinLocksHeld = 0;
  int mutexesHeld = 0;
  struct _XSTATE_SAVE* extendedStateSaves = nullptr;  // innermost first
  // The thread's processor-time clock, set by a started thread as it begins; read by others only
  // under the scheduler lock while the thread is registered, which it is until it ends.
  bool hasProcessorClock = false;
  clockid_t processorClock = 0;
};

// The scheduler lock; every function below taking a lock argument expects it held.
std::unique_lock<std::mutex> LockScheduler();

HostThread* CurrentHostThread();  // nullptr for a thread the kernel does not manage
// The calling thread's kernel thread object; created on first use for unmanaged threads.
PKTHREAD CurrentKThread();

// Blocks the calling managed thread until the wait is satisfied or the deadline passes.
// The wait's objects are consumed (synchronization events reset, mutexes owned) atomically.
NTSTATUS BlockCurrentThread(std::unique_lock<std::mutex>& lock, const WaitSpec& spec,
                            LONGLONG deadline);

// Kernel APCs. The platform delivers one to its thread only below APC_LEVEL: at once to a thread
// waiting there (the wait goes on afterwards), else when the thread next waits or lowers its IRQL
// below APC_LEVEL. QueueKernelApc returns false when the thread cannot take an APC (it is not
// managed, or has ended); the caller then runs the routine itself. A thread that waits at
// APC_LEVEL or above, without a time-out, for the object of an APC queued to it would wait
// forever: a bug check. With a time-out the wait ends in STATUS_TIMEOUT.
bool QueueKernelApc(PKTHREAD thread, const KernelApc& apc);
// Delivers the calling thread's pending APCs if its IRQL allows.
void DeliverKernelApcs();
// At a thread's end: the APCs still queued to it, taken off its queue under the scheduler lock.
std::deque<KernelApc> TakeKernelApcs(std::unique_lock<std::mutex>& lock, HostThread* thread);

// Takes a spin lock the caller has spun on for a while. A spinner is busy on the platform, but it
// only waits for the holder: it stops counting as running, so a holder stalled under the lock lets
// the clock move, and it takes the lock under the scheduler lock, counting as running again before
// the clock can move on.
void SpinUntilAcquired(PKSPIN_LOCK spinLock, ULONG_PTR token);

// Tries to satisfy a wait for `thread` now; on success consumes the objects and sets `status`.
bool TrySatisfyWait(const WaitSpec& spec, PKTHREAD thread, NTSTATUS* status);

// Wakes, in FIFO order, every waiter whose wait the current object states satisfy.
void WakeSatisfiedWaiters(std::unique_lock<std::mutex>& lock);

// Thread bookkeeping for system threads and attached threads.
void RegisterRunningThread(std::unique_lock<std::mutex>& lock, HostThread* thread);
void UnregisterThread(std::unique_lock<std::mutex>& lock, HostThread* thread);
void SetCurrentHostThread(HostThread* thread);
void NoteSystemThreadStarted(std::unique_lock<std::mutex>& lock);
// `processorTime`: what the ending thread used, in 100 ns units.
void NoteSystemThreadEnded(std::unique_lock<std::mutex>& lock, LONGLONG processorTime);
// The calling thread's processor time so far, in 100 ns units.
LONGLONG CurrentThreadProcessorTime();

// The clock now, to the 100 ns; a time-out argument of the platform as a deadline on that clock,
// rounded up to a clock tick as the platform's timers expire only on ticks; and the system time.
LONGLONG NowLocked(std::unique_lock<std::mutex>& lock);
LONGLONG DeadlineFromTimeout(std::unique_lock<std::mutex>& lock, const LARGE_INTEGER* timeout);
LONGLONG SystemTimeLocked(std::unique_lock<std::mutex>& lock);
// Interrupt time and system time as the platform reports them: moved once per clock tick.
LONGLONG InterruptTimeLocked(std::unique_lock<std::mutex>& lock);
LONGLONG TickedSystemTimeLocked(std::unique_lock<std::mutex>& lock);
LONGLONG TickIncrementLocked(std::unique_lock<std::mutex>& lock);


}  // namespace hostk
