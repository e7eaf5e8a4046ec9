// Saving the extended processor state. Host threads keep their registers themselves, so nothing is
// copied; what is kept is the order: restores match saves, innermost first, on the saving thread.
#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/ntstatus.h"
#include "scheduler.h"

using namespace hostk;

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeSaveExtendedProcessorState");
  constexpr ULONG64 kKnown = (1ull << XSTATE_LEGACY_FLOATING_POINT) |
                             (1ull << XSTATE_LEGACY_SSE) | (1ull << XSTATE_GSSE);
  if (Mask == 0 || (Mask & ~kKnown) != 0) return STATUS_INVALID_PARAMETER;
  HostThread* self = CurrentHostThread();
  XStateSave->Thread = CurrentKThread();
  XStateSave->Mask = Mask;
  XStateSave->Prev = self != nullptr ? self->extendedStateSaves : nullptr;
  XStateSave->Level = (UCHAR)KeGetCurrentIrql();
  if (self != nullptr) self->extendedStateSaves = XStateSave;
  return STATUS_SUCCESS;
}

VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
  HostThread* self = CurrentHostThread();
  if (XStateSave->Thread != CurrentKThread() ||
      (self != nullptr && self->extendedStateSaves != XStateSave)) {
    BugCheck(kDriverVerifierDetectedViolation,
             "KeRestoreExtendedProcessorState of a save that is not this thread's innermost",
             (ULONG_PTR)XStateSave);
  }
  if (self != nullptr) self->extendedStateSaves = XStateSave->Prev;
}
