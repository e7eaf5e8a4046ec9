// Requests: allocation, the call down a device stack, the completion walk, cancellation, and the
// threaded requests that the I/O manager finishes itself. The request verifier lives in
// io_request_verifier.cpp.
#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/chaos.h"
#include "host/hostk/irql.h"
#include "host/hostk/pool.h"
#include "host/hostk/user_memory.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "io_request_verifier.h"
#include "power_internal.h"
#include "scheduler.h"

namespace hostk {
namespace {

KSPIN_LOCK gCancelSpinLock = 0;

bool RoutineWanted(const IO_STACK_LOCATION* stack, const IRP* irp) {
  NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
         (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (stack->Control & SL_INVOKE_ON_CANCEL));
}

// The platform clears a location as the walk leaves it, before the routine above runs: the minor
// function, the flags and control, the first three parameters and the file object. The major
// function, the device object, the completion routine and its context survive, and so does the
// fourth parameter (a device control's Type3InputBuffer), which drivers may read back.
void ClearStackLocation(PIO_STACK_LOCATION stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  stack->Parameters.Others.Argument1 = nullptr;
  stack->Parameters.Others.Argument2 = nullptr;
  stack->Parameters.Others.Argument3 = nullptr;
  stack->FileObject = nullptr;
}

// Location 1 follows the header; the stack has StackCount locations (see IoInitializeIrp).
PIO_STACK_LOCATION TopStackLocation(PIRP irp) {
  return (PIO_STACK_LOCATION)(irp + 1) + irp->StackCount - 1;
}

ULONG OutputLengthOf(PIRP irp) {
  PIO_STACK_LOCATION top = TopStackLocation(irp);
  switch (top->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return top->Parameters.DeviceIoControl.OutputBufferLength;
    case IRP_MJ_READ: return top->Parameters.Read.Length;
    default: return 0;
  }
}

// What the I/O manager does to finish a threaded request, in a kernel APC on the thread that
// built it. `outputLength` was read from the top location before the walk cleared it.
struct ThreadedFinish {
  PIRP irp;
  ULONG outputLength;
};

void FinishThreadedRequest(void* context) {
  ThreadedFinish* finish = static_cast<ThreadedFinish*>(context);
  PIRP irp = finish->irp;
  ULONG outputLength = finish->outputLength;
  delete finish;
  if (irp->Flags & IRP_BUFFERED_IO) {
    if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
        irp->UserBuffer != nullptr && irp->IoStatus.Information > 0) {
      if (irp->IoStatus.Information > outputLength) {
        BugCheck(kDriverVerifierDetectedViolation,
                 "request completed with an information count larger than its output buffer",
                 (ULONG_PTR)irp, irp->IoStatus.Information, outputLength);
      }
      UserRangeCheckContext(irp->UserBuffer, irp->IoStatus.Information,
                            "copying a buffered request's output back");
      memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    IoFreeSystemBuffer(irp);
  }
  IoReleaseMdlChain(irp);
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = irp->UserEvent;
  IrpReleaseMemory(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// An error the originator learns synchronously, from IoCallDriver's own status, leaves its status
// block and event alone (the caller does not wait when the call did not pend), and needs no APC.
// Anything else is finished on the originating thread, which must be able to take the APC.
void CompleteThreadedRequest(PIRP irp, ULONG outputLength) {
  if (NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned) {
    IoFreeSystemBuffer(irp);
    IoReleaseMdlChain(irp);
    IrpReleaseMemory(irp);
    return;
  }
  ThreadedFinish* finish = new ThreadedFinish{irp, outputLength};
  if (!QueueKernelApc(IrpThreadOf(irp), KernelApc{FinishThreadedRequest, finish, irp->UserEvent})) {
    FinishThreadedRequest(finish);
  }
}

void CheckCompletionEntry(PIRP irp) {
  CheckIrpLive(irp, "IoCompleteRequest");
  CheckIrpFences(irp, "IoCompleteRequest");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    BugCheck(kIrqlNotLessOrEqual, "IoCompleteRequest above DISPATCH_LEVEL", (ULONG_PTR)irp);
  }
  if (irp->CurrentLocation > irp->StackCount) {
    BugCheck(kMultipleIrpCompleteRequests,
             "request completed twice (or completed by a driver that had passed it down and no "
             "longer owned it)",
             (ULONG_PTR)irp);
  }
  if (irp->IoStatus.Status == STATUS_PENDING) {
    BugCheck(kDriverVerifierDetectedViolation, "request completed with STATUS_PENDING",
             (ULONG_PTR)irp);
  }
  if (irp->CancelRoutine != nullptr) {
    BugCheck(kDriverVerifierDetectedViolation, "request completed with a cancel routine still set",
             (ULONG_PTR)irp, (ULONG_PTR)irp->CancelRoutine);
  }
}

// Calls one completion routine; true when it took the request back.
bool CallCompletionRoutine(PIRP irp, PIO_STACK_LOCATION stack) {
  PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                              ? nullptr
                              : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
  PVOID context = stack->Context;
  ClearStackLocation(stack);
  CHAR location = irp->CurrentLocation;
  uint64_t generation = IrpGeneration(irp);
  NTSTATUS status = routine(device, irp, context);
  if (status == STATUS_MORE_PROCESSING_REQUIRED) return true;
  if (IrpGeneration(irp) != generation || irp->CurrentLocation != location) {
    BugCheck(kDriverVerifierDetectedViolation,
             "completion routine sent the request on or freed it without returning "
             "STATUS_MORE_PROCESSING_REQUIRED",
             (ULONG_PTR)irp, (ULONG_PTR)routine);
  }
  return false;
}

// The packet's geometry as the platform lays it out: the header, then StackSize locations, the
// last of them (the top of the stack) ending IoSizeOfIrp(StackSize) bytes in; no location is
// current yet.
void InitializePacket(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  memset(irp, 0, packetSize);
  irp->Type = 6;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = (CHAR)(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = (PIO_STACK_LOCATION)(irp + 1) + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
  IrpLayHeaderFence(irp);
}

}  // namespace

void ReportNoStackLocationBelow(PIRP irp, const char* helper) {
  BugCheckParamsF(kNoMoreIrpStackLocations, (ULONG_PTR)irp, 0, 0, 0,
                  "%s on request %p at stack location %d of %d: there is no location below it, "
                  "and the one it would write overlays the request's header (the request was "
                  "allocated with too few locations for the stack it goes down, or the lowest "
                  "driver treats it as one to pass on)",
                  helper, (void*)irp, (int)irp->CurrentLocation, (int)irp->StackCount);
}

void IoMarkIrpThreaded(PIRP irp) { IrpSetThreaded(irp, true); }

PVOID IoAllocateSystemBuffer(SIZE_T size) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, size, PoolTag("IoSB"));
}

}  // namespace hostk

using namespace hostk;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (hostk::AllocationSiteCallFails()) return NULL;
  if (StackSize < 1) {
    BugCheck(kDriverVerifierDetectedViolation, "IoAllocateIrp with a stack size below 1",
             (ULONG_PTR)StackSize);
  }
  USHORT packetSize = IoSizeOfIrp(StackSize);
  PIRP irp = IrpAllocateMemory(packetSize);
  if (irp == nullptr) return nullptr;
  InitializePacket(irp, packetSize, StackSize);
  return irp;
}

// Drivers reinitialize a packet they allocated with IoInitializeIrp(irp, IoSizeOfIrp(N), N): the
// packet must hold the stack, and a packet of the I/O manager must not grow past what was
// allocated or be taken back while a driver below still owns it.
VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize)) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "IoInitializeIrp: a packet of %u bytes cannot hold %d stack locations (IoSizeOfIrp "
              "is %u)",
              (unsigned)PacketSize, (int)StackSize, (unsigned)IoSizeOfIrp(StackSize));
  }
  size_t allocated = IrpAllocatedSize(Irp);
  if (allocated != 0) {
    CheckIrpFences(Irp, "IoInitializeIrp");
    if (PacketSize > allocated) {
      BugCheckF(kDriverVerifierDetectedViolation,
                "IoInitializeIrp: request %p was allocated with %zu bytes, not %u", (void*)Irp,
                allocated, (unsigned)PacketSize);
    }
    if (Irp->CurrentLocation < Irp->StackCount) {
      BugCheck(kDriverVerifierDetectedViolation, "IoInitializeIrp of a request still owned below",
               (ULONG_PTR)Irp);
    }
  }
  InitializePacket(Irp, PacketSize, StackSize);
  if (allocated != 0) IrpNoteReused(Irp);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  CheckIrpLive(Irp, "IoFreeIrp");
  CheckIrpFences(Irp, "IoFreeIrp");
  if (IrpIsThreaded(Irp)) {
    BugCheck(kDriverVerifierDetectedViolation,
             "IoFreeIrp of a threaded request (the I/O manager frees those when they complete)",
             (ULONG_PTR)Irp);
  }
  // CurrentLocation == StackCount is the originator's own location, made current with
  // IoSetNextIrpStackLocation on a request allocated one location larger.
  if (Irp->CurrentLocation < Irp->StackCount || Irp->CancelRoutine != nullptr) {
    BugCheck(kDriverVerifierDetectedViolation,
             "IoFreeIrp of a request still in use (owned below or queued with a cancel routine)",
             (ULONG_PTR)Irp, (ULONG_PTR)Irp->CurrentLocation);
  }
  IrpReleaseMemory(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  CheckIrpLive(Irp, "IoReuseIrp");
  if (Irp->CurrentLocation < Irp->StackCount) {
    BugCheck(kDriverVerifierDetectedViolation, "IoReuseIrp of a request still owned below",
             (ULONG_PTR)Irp);
  }
  CheckIrpFences(Irp, "IoReuseIrp");
  UCHAR allocationFlags = Irp->AllocationFlags;
  InitializePacket(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
  IrpNoteReused(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    BugCheck(kIrqlNotLessOrEqual, "IoCallDriver above DISPATCH_LEVEL", (ULONG_PTR)Irp);
  }
  CheckIrpLive(Irp, "IoCallDriver");
  CheckIrpFences(Irp, "IoCallDriver");
  CheckDeviceObject(DeviceObject, "IoCallDriver");
  if (RecordOf(DeviceObject)->deleted) {
    BugCheck(kDriverVerifierDetectedViolation, "IoCallDriver to a deleted device object",
             (ULONG_PTR)DeviceObject, (ULONG_PTR)Irp);
  }
  // From Vista on IoCallDriver hands a power request to the power manager, as PoCallDriver did.
  if (PowerIoCallDriverDelivers(Irp)) return PowerDeliver(DeviceObject, Irp);
  IoSetNextIrpStackLocation(Irp);
  if (Irp->CurrentLocation <= 0) {
    BugCheck(kNoMoreIrpStackLocations, "IoCallDriver: the request has no stack location left",
             (ULONG_PTR)Irp);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction == IRP_MJ_POWER) PowerNoteDispatch(Irp);
  CHAR location = Irp->CurrentLocation;
  uint64_t generation = IrpNoteDispatchStart(Irp, location);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  ChaosPoint();
  NTSTATUS status = dispatch(DeviceObject, Irp);
  IrpNoteDispatchResult(Irp, generation, location, status);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
  ChaosPoint();
  CheckCompletionEntry(Irp);
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) PowerNoteCompletion(Irp);
  ULONG outputLength = OutputLengthOf(Irp);
  for (;;) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    IrpNoteWalkPassed(Irp, Irp->CurrentLocation, Irp->PendingReturned);
    IoSkipCurrentIrpStackLocation(Irp);
    if (stack->CompletionRoutine != nullptr && RoutineWanted(stack, Irp)) {
      bool originator = Irp->CurrentLocation > Irp->StackCount;
      bool threaded = IrpIsThreaded(Irp);
      if (CallCompletionRoutine(Irp, stack)) {
        // Nothing can finish a threaded request taken back above its top location: it may not be
        // freed by its originator, and completing it again is a second completion.
        if (originator && threaded) {
          BugCheck(kDriverVerifierDetectedViolation,
                   "the originator's completion routine returned STATUS_MORE_PROCESSING_REQUIRED "
                   "for a threaded request, which only the I/O manager may finish",
                   (ULONG_PTR)Irp);
        }
        return;
      }
    } else {
      ClearStackLocation(stack);
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
    }
    if (Irp->CurrentLocation > Irp->StackCount) break;
  }
  if (!IrpIsThreaded(Irp)) {
    BugCheck(kDriverVerifierDetectedViolation,
             "request from IoAllocateIrp completed to the top: its completion routine must "
             "return STATUS_MORE_PROCESSING_REQUIRED and free or reuse it",
             (ULONG_PTR)Irp);
  }
  CompleteThreadedRequest(Irp, outputLength);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&gCancelSpinLock, Irql); }
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelSpinLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  ChaosPoint();
  CheckIrpLive(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Drivers read the flag without the cancel lock (after IoSetCancelRoutine), as the platform
  // allows: it is set atomically.
  __atomic_store_n(&Irp->Cancel, (BOOLEAN)TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  // The cancel routine releases the cancel spin lock itself.
  if (SpinLockHeldByCurrentThread(&gCancelSpinLock)) {
    BugCheck(kDriverVerifierDetectedViolation,
             "cancel routine returned without releasing the cancel spin lock", (ULONG_PTR)Irp,
             (ULONG_PTR)routine);
  }
  return TRUE;
}

