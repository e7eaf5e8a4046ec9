// Threaded requests that drivers build for their own use: device control and synchronous reads,
// writes and flushes. The I/O manager finishes them when they complete (io_request.cpp).
#include "host/hostk/io.h"
#include "host/ex.h"
#include "host/hostk/irql.h"
#include "host/ntstatus.h"
#include "io_request_verifier.h"
#include "scheduler.h"

namespace hostk {
namespace {

// The caller's memory described by a locked MDL; false (nothing left behind) when it can't be.
bool LockCallerBuffer(PIRP irp, PVOID buffer, ULONG length, LOCK_OPERATION operation) {
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
  if (mdl == nullptr) return false;
  try {
    MmProbeAndLockPages(mdl, KernelMode, operation);
  } catch (...) {
    irp->MdlAddress = nullptr;
    IoFreeMdl(mdl);
    return false;
  }
  return true;
}

// A system buffer holding `copyIn` bytes of `input`, or false when the pool has none.
bool AttachSystemBuffer(PIRP irp, ULONG size, const void* input, ULONG copyIn, bool output) {
  if (size == 0) return true;
  PVOID buffer = IoAllocateSystemBuffer(size);
  if (buffer == nullptr) return false;
  if (copyIn > 0) memcpy(buffer, input, copyIn);
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output ? IRP_INPUT_OPERATION : 0);
  return true;
}

PIRP NewThreadedIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  IoMarkIrpThreaded(irp);
  irp->RequestorMode = KernelMode;
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  irp->Tail.Overlay.Thread = CurrentKThread();
  return irp;
}

// Undoes a half-built request: it never went down, so nothing but its buffers is attached.
PIRP Abandon(PIRP irp) {
  if (irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePool(irp->AssociatedIrp.SystemBuffer);
  IrpSetThreaded(irp, false);
  IoFreeIrp(irp);
  return nullptr;
}

}  // namespace
}  // namespace hostk

using namespace hostk;

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  PIRP irp = NewThreadedIrp(DeviceObject, Event, IoStatusBlock);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (!AttachSystemBuffer(irp, size, InputBuffer, InputBuffer ? InputBufferLength : 0,
                              OutputBufferLength > 0)) {
        return Abandon(irp);
      }
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (!AttachSystemBuffer(irp, InputBufferLength, InputBuffer, InputBufferLength, false)) {
        return Abandon(irp);
      }
      if (OutputBuffer != nullptr && OutputBufferLength > 0 &&
          !LockCallerBuffer(irp, OutputBuffer, OutputBufferLength,
                            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT
                                ? IoReadAccess
                                : IoWriteAccess)) {
        return Abandon(irp);
      }
      break;
    default:
      stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(APC_LEVEL, "IoBuildSynchronousFsdRequest");
  PIRP irp = NewThreadedIrp(DeviceObject, Event, IoStatusBlock);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = (UCHAR)MajorFunction;
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE) return irp;
  bool read = MajorFunction == IRP_MJ_READ;
  stack->Parameters.Read.Length = Length;
  if (StartingOffset != nullptr) stack->Parameters.Read.ByteOffset = *StartingOffset;
  if (DeviceObject->Flags & DO_BUFFERED_IO) {
    if (!AttachSystemBuffer(irp, Length, Buffer, read ? 0 : Length, read)) return Abandon(irp);
    irp->UserBuffer = Buffer;
  } else if (DeviceObject->Flags & DO_DIRECT_IO) {
    if (!LockCallerBuffer(irp, Buffer, Length, read ? IoWriteAccess : IoReadAccess)) {
      return Abandon(irp);
    }
  } else {
    irp->UserBuffer = Buffer;
  }
  return irp;
}
