// IRQL rules that other host-kernel modules check on entry.
#pragma once

#include "host/ntdef.h"

namespace hostk {

// Bug check IRQL_NOT_LESS_OR_EQUAL naming `what` unless the current IRQL is at most `level`.
void RequireIrqlAtMost(KIRQL level, const char* what);

// Whether the calling thread holds this spin lock.
bool SpinLockHeldByCurrentThread(const KSPIN_LOCK* lock);

}  // namespace hostk
