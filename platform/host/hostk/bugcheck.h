// Bug checks: the host kernel's answer to a broken rule. A bug check prints a report naming the
// code, the rule and its parameters, with a backtrace of the place, and ends the process, so a
// test that breaks a rule fails loudly (death tests assert on the report).
#pragma once

#include "host/ntdef.h"

namespace hostk {

// Codes as the platform numbers them.
enum BugCheckCode : ULONG {
  kIrqlNotGreaterOrEqual = 0x09,
  kIrqlNotLessOrEqual = 0x0A,
  kMaximumWaitObjectsExceeded = 0x0C,
  kSpinLockNotOwned = 0x10,
  kThreadNotMutexOwner = 0x11,
  kBadPoolHeader = 0x19,
  kNoMoreIrpStackLocations = 0x35,
  kMultipleIrpCompleteRequests = 0x44,
  kInvalidDataAccessTrap = 0x04,
  kPfnListCorrupt = 0x4E,
  kBadPoolCaller = 0xC2,
  kDriverVerifierDetectedViolation = 0xC4,
  kDriverCorruptedExpool = 0xC5,
  kDriverLeftLockedPagesInProcess = 0xCB,
  kDriverUnloadedWithoutCancellingPendingOperations = 0xCE,
  kSpecialPoolDetectedMemoryCorruption = 0xC1,
  kAttemptedSwitchFromDpc = 0xB8,
  kApcIndexMismatch = 0x01,
  kManuallyInitiatedCrash = 0xE2,
  kKmodeExceptionNotHandled = 0x1E,
  kSystemPteMisuse = 0xDA,
  kWorkerThreadReturnedAtBadIrql = 0xE1,
  kWorkerInvalid = 0xE4,
  kPnpDetectedFatalError = 0xCA,
  // Not a platform code: the host kernel found every managed thread blocked with no deadline.
  kHostDeadlock = 0xDEAD10CC,
};

[[noreturn]] void BugCheck(ULONG code, const char* rule, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0,
                           ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);

// Same, with a rule text formatted printf-style (host conventions).
[[noreturn]] void BugCheckF(ULONG code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Same, with parameters and a formatted rule text.
[[noreturn]] void BugCheckParamsF(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
                                  ULONG_PTR p4, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// Called once, on the failing thread, after a bug check's report and before the process ends: a
// test harness's chance to keep what led up to it. Null to remove.
void SetBugCheckObserver(void (*observer)());

}  // namespace hostk
