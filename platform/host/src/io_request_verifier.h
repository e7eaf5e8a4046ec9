// The memory and the verifier records of requests. Every request the host kernel allocates has a
// record: live or freed (freed requests stay poisoned in a quarantine for a while, so a late touch is
// caught), threaded or not, and per stack location what its dispatch routine returned and whether
// the completion walk found it marked pending. A dispatch routine that returns STATUS_PENDING must
// leave its location marked by the time the walk passes it, and a marked location must have
// returned STATUS_PENDING; whichever of the two facts comes second checks the pair.
#pragma once

#include <cstdint>

#include "host/io.h"

namespace hostk {

// A packet of exactly `size` bytes, fenced outside: before its header and past its end. Released
// after its fences are checked.
PIRP IrpAllocateMemory(USHORT size);
void IrpReleaseMemory(PIRP irp);
// What IrpAllocateMemory gave a live request; 0 for an unknown or freed one.
size_t IrpAllocatedSize(PIRP irp);

// The fence in the header's own tail, laid whenever a packet is initialized.
void IrpLayHeaderFence(PIRP irp);
// Bug check when a live request was written outside its packet or over its header's fence, or
// when its current stack location no longer matches its location number. Nothing for a request
// the host kernel does not know (CheckIrpLive reports those).
void CheckIrpFences(PIRP irp, const char* what);

// Bug check unless `irp` is a live request of the host kernel.
void CheckIrpLive(PIRP irp, const char* what);

// Marks a request threaded, built by the calling thread (held referenced until the request is
// freed or unmarked), or not threaded.
void IrpSetThreaded(PIRP irp, bool threaded);
bool IrpIsThreaded(PIRP irp);
// The thread that built a threaded request, which the I/O manager finishes it on.
PKTHREAD IrpThreadOf(PIRP irp);

// Changes whenever the memory is allocated or reused; 0 for an unknown request.
uint64_t IrpGeneration(PIRP irp);
void IrpNoteReused(PIRP irp);

// The sender marked `location` pending before its dispatch routine runs (the power manager, for a
// request it held or queued after telling the caller STATUS_PENDING): that routine may then
// return any status for it. Applies to the next dispatch at `location`.
void IrpNoteMarkedBySender(PIRP irp, CHAR location);

// Returns the pass of this dispatch, for IrpNoteDispatchResult.
uint64_t IrpNoteDispatchStart(PIRP irp, CHAR location);
void IrpNoteDispatchResult(PIRP irp, uint64_t pass, CHAR location, NTSTATUS status);
void IrpNoteWalkPassed(PIRP irp, CHAR location, bool markedPending);

}  // namespace hostk
