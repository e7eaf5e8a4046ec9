// The one clock behind every time-out, and the managed threads that move it.
//
// Virtual mode (the default in tests): time moves only when every managed thread is blocked in a
// host-kernel wait (a wait on objects, a delay, a stall, or a host queue wait), and then jumps to
// the earliest deadline and wakes exactly the waiters due then, with STATUS_TIMEOUT. No thread
// running and no deadline is a deadlock: a bug check lists every blocked thread and what it waits on.
// A thread spinning for a spin lock counts as running only for a short spin; after that it waits
// for the holder, so a holder stalled under the lock still sees its stall end.
// A managed thread that blocks anywhere else (std::thread::join, a std::mutex held by a blocked
// thread) stops the clock, so tests join threads through kernel waits.
//
// Real mode keeps the same code paths, with deadlines on the monotonic clock.
#pragma once

#include <cstdint>
#include <string>

#include "host/ntdef.h"

struct _KTHREAD;

namespace hostk {

enum class ClockMode { Virtual, Real };

// Switching modes is for a quiet moment: the calling thread the only one managed.
void SetClockMode(ClockMode mode);
ClockMode GetClockMode();

// The clock in 100 ns units since start, to the 100 ns. The driver sees it through the platform's
// calls, which move only once per clock tick (KeQueryInterruptTime, KeQuerySystemTime,
// KeQueryTickCount), and its timers expire on ticks: a time-out runs from the last tick and ends
// on the first tick at or after its end. Stalls are busy waits and end exactly.
LONGLONG ClockNow();

// The clock tick: 15.625 ms (156250) by default, settable down to the platform's finest 0.5 ms
// (5000); values outside that range are clamped. Back to the default between tests.
void SetClockTick(LONGLONG hundredNs);
LONGLONG ClockTick();

// For the calling managed thread, time-outs end exactly instead of on a tick: a thread that models
// hardware of the simulated world (the USB host controller, a hub), not code of the platform.
// `precise` false puts the ticks back. Returns the thread's setting before the call.
bool UsePreciseTimers(bool precise = true);

// Joins the calling thread to the managed set (as running) until it leaves or ends. A managed thread
// must be attached before it calls any waiting routine.
void AttachCurrentThread(const char* name);
void DetachCurrentThread();
bool IsCurrentThreadManaged();

class ManagedThreadScope {
 public:
  explicit ManagedThreadScope(const char* name) { AttachCurrentThread(name); }
  ~ManagedThreadScope() { DetachCurrentThread(); }
  ManagedThreadScope(const ManagedThreadScope&) = delete;
  ManagedThreadScope& operator=(const ManagedThreadScope&) = delete;
};

// Back to virtual time at zero, when the calling thread is the only managed one.
void ResetClockForNextTest();

// Starts a managed thread of the host kernel or the simulated world (work queue workers, the USB
// host controller). It counts as running from this call on, is not a system thread of the driver
// (LiveSystemThreadCount leaves it out), and waits with the platform's calls like any other.
void StartHostThread(const char* name, void (*body)(void* context), void* context);
// Same, returning the thread object with a reference the caller drops: a kernel wait on it ends
// once the thread has ended and left the managed set.
::_KTHREAD* StartHostThreadObject(const char* name, void (*body)(void* context), void* context);

// The next `n`th PsCreateSystemThread (1: the next one) fails with STATUS_INSUFFICIENT_RESOURCES,
// as it does on the platform when the system is out of memory; 0 clears it.
void PsFailThreadCreation(uint64_t n);

// Number of system threads started by PsCreateSystemThread that have not ended.
size_t LiveSystemThreadCount();
// Processor time (not clock time, virtual or real) that every system thread started by
// PsCreateSystemThread has used since the process began, ended threads included, in 100 ns units:
// what the driver's own threads cost the host.
LONGLONG SystemThreadProcessorTime();
// Every managed thread with its state and what it waits on, one per line.
std::string DescribeThreads();

}  // namespace hostk
