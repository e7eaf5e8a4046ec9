// Bug checks and assertion failures: print the report, then end the process.
#include "host/hostk/bugcheck.h"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "host/dbg.h"

namespace hostk {
namespace {

std::atomic<void (*)()> gObserver{nullptr};

const char* BugCheckName(ULONG code) {
  switch (code) {
    case kApcIndexMismatch: return "APC_INDEX_MISMATCH";
    case kInvalidDataAccessTrap: return "INVALID_DATA_ACCESS_TRAP";
    case kIrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case kMaximumWaitObjectsExceeded: return "MAXIMUM_WAIT_OBJECTS_EXCEEDED";
    case kSpinLockNotOwned: return "SPIN_LOCK_NOT_OWNED";
    case kThreadNotMutexOwner: return "THREAD_NOT_MUTEX_OWNER";
    case kBadPoolHeader: return "BAD_POOL_HEADER";
    case kNoMoreIrpStackLocations: return "NO_MORE_IRP_STACK_LOCATIONS";
    case kMultipleIrpCompleteRequests: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case kPfnListCorrupt: return "PFN_LIST_CORRUPT";
    case kAttemptedSwitchFromDpc: return "ATTEMPTED_SWITCH_FROM_DPC";
    case kSpecialPoolDetectedMemoryCorruption: return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case kBadPoolCaller: return "BAD_POOL_CALLER";
    case kDriverVerifierDetectedViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case kDriverCorruptedExpool: return "DRIVER_CORRUPTED_EXPOOL";
    case kDriverLeftLockedPagesInProcess: return "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS";
    case kDriverUnloadedWithoutCancellingPendingOperations:
      return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case kManuallyInitiatedCrash: return "MANUALLY_INITIATED_CRASH";
    case kKmodeExceptionNotHandled: return "KMODE_EXCEPTION_NOT_HANDLED";
    case kSystemPteMisuse: return "SYSTEM_PTE_MISUSE";
    case kWorkerThreadReturnedAtBadIrql: return "WORKER_THREAD_RETURNED_AT_BAD_IRQL";
    case kWorkerInvalid: return "WORKER_INVALID";
    case kPnpDetectedFatalError: return "PNP_DETECTED_FATAL_ERROR";
    case kHostDeadlock: return "HOST_DEADLOCK";
    default: return "BUG_CHECK";
  }
}

}  // namespace

void BugCheck(ULONG code, const char* rule, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
              ULONG_PTR p4) {
  fprintf(stderr,
          "\n*** BUG CHECK 0x%08X %s\n*** rule: %s\n*** parameters: 0x%zx 0x%zx 0x%zx 0x%zx\n",
          (unsigned)code, BugCheckName(code), rule ? rule : "(none)", (size_t)p1, (size_t)p2,
          (size_t)p3, (size_t)p4);
  void* frames[48];
  int count = backtrace(frames, 48);
  fprintf(stderr, "*** place:\n");
  fflush(stderr);
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
  fflush(stderr);
  if (void (*observer)() = gObserver.exchange(nullptr)) observer();
  abort();
}

void SetBugCheckObserver(void (*observer)()) { gObserver = observer; }

void BugCheckF(ULONG code, const char* format, ...) {
  char rule[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(rule, sizeof rule, format, args);
  va_end(args);
  BugCheck(code, rule);
}

void BugCheckParamsF(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                     const char* format, ...) {
  char rule[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(rule, sizeof rule, format, args);
  va_end(args);
  BugCheck(code, rule, p1, p2, p3, p4);
}

}  // namespace hostk

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                        ULONG_PTR P4) {
  hostk::BugCheck(BugCheckCode, "KeBugCheckEx called by the driver", P1, P2, P3, P4);
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode) {
  hostk::BugCheck(BugCheckCode, "KeBugCheck called by the driver");
}

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
  hostk::BugCheckF(hostk::kManuallyInitiatedCrash, "assertion failed: %s at %s:%u%s%s",
                   (const char*)FailedAssertion, (const char*)FileName, (unsigned)LineNumber,
                   Message ? ": " : "", Message ? Message : "");
}
