// IRQL per thread, and spin locks that raise to DISPATCH_LEVEL.
#include "host/hostk/irql.h"

#include <sched.h>

#include "host/hostk/bugcheck.h"
#include "host/hostk/chaos.h"
#include "host/ke.h"
#include "scheduler.h"

namespace hostk {
namespace {

constexpr unsigned kSpinsBeforeIdle = 1024;

thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local char tSpinLockOwnerToken;

// A spin lock cell holds 0 when free and its owner's token when held.
ULONG_PTR OwnerToken() { return (ULONG_PTR)&tSpinLockOwnerToken; }

void NoteSpinLockHeld(int delta) {
  if (HostThread* thread = CurrentHostThread()) thread->spinLocksHeld += delta;
}

}  // namespace

void RequireIrqlAtMost(KIRQL level, const char* what) {
  if (tIrql > level) {
    BugCheckF(kIrqlNotLessOrEqual, "%s called at IRQL %u; it must run at or below IRQL %u", what,
              (unsigned)tIrql, (unsigned)level);
  }
}

bool SpinLockHeldByCurrentThread(const KSPIN_LOCK* lock) {
  return __atomic_load_n(lock, __ATOMIC_RELAXED) == OwnerToken();
}

}  // namespace hostk

using namespace hostk;

KIRQL NTAPI KeGetCurrentIrql(void) { return tIrql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = tIrql;
  if (NewIrql < old) {
    BugCheck(kIrqlNotGreaterOrEqual, "KeRaiseIrql to a lower IRQL", NewIrql, old);
  }
  tIrql = NewIrql;
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  if (NewIrql > tIrql) {
    BugCheck(kIrqlNotLessOrEqual, "KeLowerIrql to a higher IRQL", NewIrql, tIrql);
  }
  KIRQL old = tIrql;
  tIrql = NewIrql;
  // Kernel APCs held back while the thread ran at APC_LEVEL or above are delivered now.
  if (old >= APC_LEVEL && NewIrql < APC_LEVEL) DeliverKernelApcs();
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (tIrql < DISPATCH_LEVEL) {
    BugCheck(kIrqlNotGreaterOrEqual, "spin lock acquired below DISPATCH_LEVEL",
             (ULONG_PTR)SpinLock, tIrql);
  }
  ULONG_PTR token = OwnerToken();
  ChaosPoint();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == token) {
    BugCheck(kDriverVerifierDetectedViolation,
             "spin lock acquired recursively by its owner (a deadlock on the platform)",
             (ULONG_PTR)SpinLock);
  }
  // A short spin counts as running; a long one hands over to the scheduler, which lets the clock
  // move while the spinner only waits for a holder that is itself waiting (in a stall).
  for (unsigned spins = 0;; spins++) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, token, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    if (spins == kSpinsBeforeIdle) {
      SpinUntilAcquired(SpinLock, token);
      break;
    }
    if (spins % 64 == 63) sched_yield();
  }
  NoteSpinLockHeld(1);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  if (tIrql < DISPATCH_LEVEL) {
    BugCheck(kIrqlNotGreaterOrEqual, "spin lock released below DISPATCH_LEVEL",
             (ULONG_PTR)SpinLock, tIrql);
  }
  ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
  if (owner != OwnerToken()) {
    BugCheck(kSpinLockNotOwned, "spin lock released by a thread that does not own it",
             (ULONG_PTR)SpinLock, owner, OwnerToken());
  }
  NoteSpinLockHeld(-1);
  __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
  ChaosPoint();
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KeAcquireSpinLockAtDpcLevel(SpinLock);
  return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  if (tIrql != DISPATCH_LEVEL) {
    BugCheck(kIrqlNotGreaterOrEqual, "spin lock released at the wrong IRQL (not DISPATCH_LEVEL)",
             (ULONG_PTR)SpinLock, tIrql);
  }
  KeReleaseSpinLockFromDpcLevel(SpinLock);
  KfLowerIrql(NewIrql);
}

BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0;
}
