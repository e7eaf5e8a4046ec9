// Dispatcher objects (events, kernel mutexes, fast mutexes, thread objects) and the waits on them.
#include "host/hostk/bugcheck.h"
#include "host/hostk/chaos.h"
#include "host/hostk/irql.h"
#include "host/ntstatus.h"
#include "scheduler.h"

namespace hostk {
namespace {

bool IsSignalledFor(const DISPATCHER_HEADER* header, PKTHREAD thread) {
  if (header->Type == kMutant) {
    return header->SignalState > 0 || ((const KMUTANT*)header)->OwnerThread == thread;
  }
  return header->SignalState > 0;
}

void NoteMutexOwned(PKTHREAD thread, int delta) {
  if (thread != nullptr && thread->Host != nullptr) thread->Host->mutexesHeld += delta;
}

// The side effect of a satisfied wait on one object.
void Consume(DISPATCHER_HEADER* header, PKTHREAD thread) {
  switch (header->Type) {
    case kEventSynchronization:
      header->SignalState = 0;
      break;
    case kSemaphore:
      header->SignalState--;
      break;
    case kMutant: {
      KMUTANT* mutex = (KMUTANT*)header;
      if (header->SignalState == 1) NoteMutexOwned(thread, 1);
      header->SignalState--;
      mutex->OwnerThread = thread;
      break;
    }
    default:
      break;
  }
}

void CheckWaitIrql(const LARGE_INTEGER* timeout, const char* what) {
  KIRQL irql = KeGetCurrentIrql();
  bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !zeroTimeout)) {
    BugCheckF(kIrqlNotLessOrEqual, "%s at IRQL %u with a time-out other than zero", what,
              (unsigned)irql);
  }
}

void CheckWaitable(const DISPATCHER_HEADER* header, const char* what) {
  switch (header->Type) {
    case kEventNotification:
    case kEventSynchronization:
    case kMutant:
    case kSemaphore:
    case kThreadObject:
      return;
    default:
      BugCheckF(kInvalidDataAccessTrap, "%s on %p, which is not a waitable dispatcher object",
                what, (const void*)header);
  }
}

void InitializeHeader(DISPATCHER_HEADER* header, UCHAR type, LONG state) {
  header->Type = type;
  header->Absolute = 0;
  header->Size = 0;
  header->Inserted = 0;
  header->SignalState = state;
  InitializeListHead(&header->WaitListHead);
}

}  // namespace

bool TrySatisfyWait(const WaitSpec& spec, PKTHREAD thread, NTSTATUS* status) {
  if (spec.count == 0) return false;
  if (spec.type == WaitAny) {
    for (ULONG i = 0; i < spec.count; i++) {
      if (IsSignalledFor(spec.objects[i], thread)) {
        Consume(spec.objects[i], thread);
        *status = STATUS_WAIT_0 + (NTSTATUS)i;
        return true;
      }
    }
    return false;
  }
  for (ULONG i = 0; i < spec.count; i++) {
    if (!IsSignalledFor(spec.objects[i], thread)) return false;
  }
  for (ULONG i = 0; i < spec.count; i++) Consume(spec.objects[i], thread);
  *status = STATUS_SUCCESS;
  return true;
}

namespace {

// Blocks until the wait is satisfied or times out; the scheduler's lock is let go before the
// noise point.
NTSTATUS WaitFor(const WaitSpec& spec, PLARGE_INTEGER timeout) {
  NTSTATUS status;
  {
    auto lock = LockScheduler();
    status = BlockCurrentThread(lock, spec, DeadlineFromTimeout(lock, timeout));
  }
  ChaosPoint();
  return status;
}

}  // namespace
}  // namespace hostk

using namespace hostk;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  InitializeHeader(&Event->Header,
                   Type == NotificationEvent ? kEventNotification : kEventSynchronization,
                   State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  LONG previous;
  {
    auto lock = LockScheduler();
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeSatisfiedWaiters(lock);
  }
  ChaosPoint();
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  auto lock = LockScheduler();
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  auto lock = LockScheduler();
  return Event->Header.SignalState;
}

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  InitializeHeader(&Semaphore->Header, kSemaphore, Count);
  Semaphore->Limit = Limit;
}

LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseSemaphore");
  auto lock = LockScheduler();
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
    // The platform raises STATUS_SEMAPHORE_LIMIT_EXCEEDED; in a driver that is a bug.
    BugCheck(kDriverVerifierDetectedViolation, "KeReleaseSemaphore beyond the semaphore's limit",
             (ULONG_PTR)Semaphore, (ULONG_PTR)previous, (ULONG_PTR)Adjustment);
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  WakeSatisfiedWaiters(lock);
  return previous;
}

LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  auto lock = LockScheduler();
  return Semaphore->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  InitializeHeader(&Mutex->Header, kMutant, 1);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  InitializeListHead(&Mutex->MutantListEntry);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  PKTHREAD self = CurrentKThread();
  auto lock = LockScheduler();
  if (Mutex->Header.SignalState > 0 || Mutex->OwnerThread != self) {
    BugCheck(kThreadNotMutexOwner, "KeReleaseMutex by a thread that does not own the mutex",
             (ULONG_PTR)Mutex, (ULONG_PTR)Mutex->OwnerThread, (ULONG_PTR)self);
  }
  LONG previous = Mutex->Header.SignalState++;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    NoteMutexOwned(self, -1);
    WakeSatisfiedWaiters(lock);
  }
  return previous;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  auto lock = LockScheduler();
  return Mutex->Header.SignalState;
}

// Fast mutexes follow the platform's protocol, because a driver compiled against the platform's
// headers initialises them itself (ExInitializeFastMutex is inline there): Count holds the lock bit
// (set while the mutex is free) and the number of waiters in steps of FM_LOCK_WAITER_INC, and the
// event, a synchronization event that starts unsignalled, only wakes a waiter. A release with
// waiters hands the mutex over: the lock bit stays clear and the woken waiter becomes the owner.
constexpr LONG kFastMutexLockBit = 0x1;
constexpr LONG kFastMutexWaiterIncrement = 0x4;

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = kFastMutexLockBit;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
  FastMutex->OldIrql = PASSIVE_LEVEL;
}

// The platform raises to APC_LEVEL before it waits for the fast mutex, so no APC is delivered in
// that wait either.
VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
  PKTHREAD self = CurrentKThread();
  KIRQL oldIrql = KfRaiseIrql(APC_LEVEL);
  {
    auto lock = LockScheduler();
    if (FastMutex->Owner == self) {
      BugCheck(kDriverVerifierDetectedViolation,
               "ExAcquireFastMutex: fast mutex acquired recursively", (ULONG_PTR)FastMutex);
    }
    if (FastMutex->Count & kFastMutexLockBit) {
      FastMutex->Count &= ~kFastMutexLockBit;
    } else {
      FastMutex->Count += kFastMutexWaiterIncrement;
      FastMutex->Contention++;
      DISPATCHER_HEADER* objects[1] = {&FastMutex->Event.Header};
      WaitSpec spec{objects, 1, WaitAny, "ExAcquireFastMutex"};
      BlockCurrentThread(lock, spec, kNoDeadline);
      FastMutex->Count -= kFastMutexWaiterIncrement;
    }
    FastMutex->Owner = self;
  }
  FastMutex->OldIrql = oldIrql;
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
  PKTHREAD self = CurrentKThread();
  {
    auto lock = LockScheduler();
    if (!(FastMutex->Count & kFastMutexLockBit)) return FALSE;
    FastMutex->Count &= ~kFastMutexLockBit;
    FastMutex->Owner = self;
  }
  FastMutex->OldIrql = KfRaiseIrql(APC_LEVEL);
  return TRUE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  PKTHREAD self = CurrentKThread();
  if (KeGetCurrentIrql() != APC_LEVEL) {
    BugCheckF(kIrqlNotGreaterOrEqual, "ExReleaseFastMutex at IRQL %u, not APC_LEVEL",
              (unsigned)KeGetCurrentIrql());
  }
  KIRQL oldIrql;
  {
    auto lock = LockScheduler();
    if (FastMutex->Owner != self) {
      BugCheck(kDriverVerifierDetectedViolation,
               "ExReleaseFastMutex by a thread that does not own the fast mutex",
               (ULONG_PTR)FastMutex, (ULONG_PTR)FastMutex->Owner, (ULONG_PTR)self);
    }
    oldIrql = (KIRQL)FastMutex->OldIrql;
    FastMutex->Owner = nullptr;
    if (FastMutex->Count >= kFastMutexWaiterIncrement) {
      FastMutex->Event.Header.SignalState = 1;
      WakeSatisfiedWaiters(lock);
    } else {
      FastMutex->Count |= kFastMutexLockBit;
    }
  }
  KfLowerIrql(oldIrql);
  ChaosPoint();
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
  CheckWaitIrql(Timeout, "KeWaitForSingleObject");
  DISPATCHER_HEADER* objects[1] = {(DISPATCHER_HEADER*)Object};
  CheckWaitable(objects[0], "KeWaitForSingleObject");
  return WaitFor({objects, 1, WaitAny, "KeWaitForSingleObject"}, Timeout);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                        PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
  CheckWaitIrql(Timeout, "KeWaitForMultipleObjects");
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
      (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    BugCheck(kMaximumWaitObjectsExceeded,
             "KeWaitForMultipleObjects: more objects than wait blocks", Count,
             (ULONG_PTR)WaitBlockArray);
  }
  DISPATCHER_HEADER* objects[MAXIMUM_WAIT_OBJECTS];
  for (ULONG i = 0; i < Count; i++) {
    objects[i] = (DISPATCHER_HEADER*)Object[i];
    CheckWaitable(objects[i], "KeWaitForMultipleObjects");
  }
  return WaitFor({objects, Count, WaitType, "KeWaitForMultipleObjects"}, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  WaitSpec spec{nullptr, 0, WaitAny, "KeDelayExecutionThread"};
  auto lock = LockScheduler();
  BlockCurrentThread(lock, spec, DeadlineFromTimeout(lock, Interval));
  return STATUS_SUCCESS;
}

// A stall is a busy wait on the platform; here the stalling thread blocks until the clock has moved
// by the stall, so virtual time advances by exactly that much for it.
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  WaitSpec spec{nullptr, 0, WaitAny, "KeStallExecutionProcessor"};
  auto lock = LockScheduler();
  BlockCurrentThread(lock, spec, NowLocked(lock) + (LONGLONG)MicroSeconds * 10);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  auto lock = LockScheduler();
  CurrentTime->QuadPart = TickedSystemTimeLocked(lock);
}

ULONGLONG NTAPI KeQueryInterruptTime(void) {
  auto lock = LockScheduler();
  return (ULONGLONG)InterruptTimeLocked(lock);
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  auto lock = LockScheduler();
  CurrentCount->QuadPart = InterruptTimeLocked(lock) / TickIncrementLocked(lock);
}

ULONG NTAPI KeQueryTimeIncrement(void) {
  auto lock = LockScheduler();
  return (ULONG)TickIncrementLocked(lock);
}
