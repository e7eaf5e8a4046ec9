// Threaded requests that drivers build for their own use: device control and synchronous reads,
// writes and flushes. The I/O manager finishes them when they complete (io_request.cpp).
#include "host/hostk/allocation_sites.h"
#include "host/hostk/io.h"
#include "host/ex.h"
#include "host/hostk/irql.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "scheduler.h"

namespace hostk {
namespace {

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
  IoFreeUnsentRequest(irp);
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
  if (hostk::AllocationSiteCallFails()) return NULL;
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
      if (!NT_SUCCESS(IoAttachSystemBuffer(irp, size, InputBuffer, InputBufferLength,
                                           OutputBufferLength > 0))) {
        return Abandon(irp);
      }
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (!NT_SUCCESS(
              IoAttachSystemBuffer(irp, InputBufferLength, InputBuffer, InputBufferLength, false))) {
        return Abandon(irp);
      }
      if (OutputBuffer != nullptr && OutputBufferLength > 0 &&
          !NT_SUCCESS(IoLockCallerBuffer(irp, OutputBuffer, OutputBufferLength, KernelMode,
                                         METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT
                                             ? IoReadAccess
                                             : IoWriteAccess))) {
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
  if (hostk::AllocationSiteCallFails()) return NULL;
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
    if (!NT_SUCCESS(IoAttachSystemBuffer(irp, Length, Buffer, read ? 0 : Length, read))) {
      return Abandon(irp);
    }
    irp->UserBuffer = Buffer;
  } else if (DeviceObject->Flags & DO_DIRECT_IO) {
    if (!NT_SUCCESS(IoLockCallerBuffer(irp, Buffer, Length, KernelMode,
                                       read ? IoWriteAccess : IoReadAccess))) {
      return Abandon(irp);
    }
  } else {
    irp->UserBuffer = Buffer;
  }
  return irp;
}
