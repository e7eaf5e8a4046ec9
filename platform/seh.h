// The driver's one way to guard code that may raise a structured exception: probing or locking
// user memory. Each build catches the exception its own way; the driver sees only the status.
#pragma once

#include "nt.h"

typedef NTSTATUS(NTAPI* KX_GUARDED_ROUTINE)(PVOID Context);

#if !defined(KX_KERNEL_BUILD)

#include "host/hostk/raise.h"

// Runs Routine(Context); a structured exception raised inside (an invalid user address during a
// probe or a lock) ends it and its code is returned instead.
inline NTSTATUS NTAPI KxCallGuarded(KX_GUARDED_ROUTINE Routine, PVOID Context) {
  try {
    return Routine(Context);
  } catch (const hostk::RaisedStatus& raised) {
    return raised.status;
  }
}

#elif defined(_MSC_VER)

// The compiler's own frame-based handling. The routine runs in its own frame, so no object with a
// destructor shares the guarded frame (which __try does not allow).
inline NTSTATUS NTAPI KxCallGuarded(KX_GUARDED_ROUTINE Routine, PVOID Context) {
  __try {
    return Routine(Context);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return GetExceptionCode();
  }
}

#else

// 32-bit x86 GCC has no __try: a small frame-based handler registered on the thread's exception
// list does the same work, out of line (platform/kernel/seh_x86_gcc.cpp).
NTSTATUS NTAPI KxCallGuarded(KX_GUARDED_ROUTINE Routine, PVOID Context);

#endif

template <typename F>
NTSTATUS NTAPI KxGuardedThunk(PVOID Context) {
  return (*static_cast<F*>(Context))();
}

// Calls `body` (a callable returning NTSTATUS, usually a lambda) through KxCallGuarded. Locals the
// lambda captures by reference keep whatever it wrote before an exception ended it.
template <typename F>
inline NTSTATUS KxGuarded(F body) {
  return KxCallGuarded(&KxGuardedThunk<F>, &body);
}

// MmProbeAndLockPages under the guard: the exception's code when the pages cannot be locked (a
// bad user address), STATUS_SUCCESS with the MDL's pages locked otherwise.
inline NTSTATUS KxProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  return KxGuarded([&]() -> NTSTATUS {
    MmProbeAndLockPages(mdl, mode, operation);
    return STATUS_SUCCESS;
  });
}
