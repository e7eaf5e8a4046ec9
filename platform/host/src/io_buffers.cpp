// The buffers a request carries for its originator: the system buffer of buffered I/O and the
// locked MDLs of direct I/O, attached when a request is built and released when it finishes.
#include "host/ex.h"
#include "host/hostk/pool.h"
#include "host/hostk/raise.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "io_request_verifier.h"

namespace hostk {

NTSTATUS IoAttachSystemBuffer(PIRP irp, ULONG size, const void* input, ULONG copyIn, bool output) {
  if (size == 0) return STATUS_SUCCESS;
  PVOID buffer = IoAllocateSystemBuffer(size);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (input != nullptr && copyIn > 0) memcpy(buffer, input, copyIn);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output ? IRP_INPUT_OPERATION : 0);
  return STATUS_SUCCESS;
}

NTSTATUS IoLockCallerBuffer(PIRP irp, PVOID buffer, ULONG length, KPROCESSOR_MODE mode,
                            LOCK_OPERATION operation) {
  if (length == 0) return STATUS_SUCCESS;
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  if (mdl == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  try {
    MmProbeAndLockPages(mdl, mode, operation);
  } catch (const RaisedStatus& raised) {
    irp->MdlAddress = nullptr;
    IoFreeMdl(mdl);
    return raised.status;
  }
  return STATUS_SUCCESS;
}

// Every MDL of the chain is unlocked and freed, whoever put it there: an MDL a driver hangs on a
// threaded request must be one the I/O manager can unlock (locked pages, not nonpaged pool).
void IoReleaseMdlChain(PIRP irp) {
  PMDL mdl = irp->MdlAddress;
  irp->MdlAddress = nullptr;
  while (mdl != nullptr) {
    PMDL next = mdl->Next;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
}

void IoFreeSystemBuffer(PIRP irp) {
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, PoolTag("IoSB"));
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
}

void IoFreeUnsentRequest(PIRP irp) {
  IoFreeSystemBuffer(irp);
  IoReleaseMdlChain(irp);
  IrpSetThreaded(irp, false);
  IoFreeIrp(irp);
}

}  // namespace hostk
