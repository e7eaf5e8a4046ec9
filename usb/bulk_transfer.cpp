// One-URB bulk transfers: the internal-bus path (time-limited, guarded by the device-gone latch and
// the started state) and the bridge register path (unlimited, resets a halted pipe), the pipe
// reset, and the requests the driver builds for its own URBs.
#include "driver/kxbus.h"

namespace {

// 10 seconds, relative.
constexpr LONGLONG kTransferTimeout = -100000000LL;
// A drain's read: 100 ms, relative. A device that has nothing more for that long holds nothing.
constexpr LONGLONG kDrainTimeout = -1000000LL;
// Reads of a drain: more than any failed result can leave.
constexpr ULONG kDrainRounds = 8;

bool IsGoneStatus(NTSTATUS status) {
  return status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE;
}

// Halted class: both top bits set.
bool IsHaltedStatus(USBD_STATUS status) {
  return ((ULONG)status & 0xC0000000u) == 0xC0000000u;
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// What the stack says it moved, never more than was asked.
ULONG MovedBytes(PURB urb, ULONG asked) {
  ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  return moved < asked ? moved : asked;
}

NTSTATUS ClassifyBulkResult(BusDeviceContext* bus, NTSTATUS status, USBD_STATUS urbStatus) {
  if (IsGoneStatus(status)) {
    KX_TRACE(KX_TRACE_ERROR, "UsbDoBulkTransfer: STATUS_DEVICE_NOT_CONNECTED\n");
    SetDeviceGone(bus);
    return status;
  }
  if (status == STATUS_CANCELLED) {
    KX_TRACE(KX_TRACE_ERROR, "UsbDoBulkTransfer: STATUS_CANCELLED\n");
    return status;
  }
  if (!NT_SUCCESS(status) || USBD_ERROR(urbStatus)) {
    if (urbStatus == USBD_STATUS_DEVICE_GONE) {
      KX_TRACE(KX_TRACE_ERROR, "UsbDoBulkTransfer: USBD_STATUS_DEVICE_GONE\n");
      SetDeviceGone(bus);
    } else {
      KX_TRACE(KX_TRACE_ERROR, "UsbDoBulkTransfer: Comes to  Unsuccessful Xfr\t\n");
      KX_TRACE(KX_TRACE_ERROR, "Status : %s\n", UsbStatusName(urbStatus));
    }
    return STATUS_UNSUCCESSFUL;
  }
  return status;
}

// Sends the URB and waits at most `timeoutValue` (relative); a request still out then is cancelled
// and its completion awaited before anything is freed. `timeoutTrace`, when given, is printed
// then (a drain's read ends that way when the device has nothing more, which is no failure).
NTSTATUS SendWithTimeout(BusDeviceContext* bus, PIRP irp, PURB urb, LONGLONG timeoutValue,
                         const char* timeoutTrace) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  ArmUrbRequest(irp, urb, SignalCompletion, &done);
  NTSTATUS status = IofCallDriver(bus->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = timeoutValue;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      if (timeoutTrace != NULL) DbgPrint("%s", timeoutTrace);
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
      return STATUS_CANCELLED;
    }
  }
  return irp->IoStatus.Status;
}

}  // namespace

BOOLEAN IsDeviceGone(BusDeviceContext* bus) {
  return InterlockedCompareExchange(&bus->DeviceGone, 0, 0) != 0;
}

void SetDeviceGone(BusDeviceContext* bus) { InterlockedExchange(&bus->DeviceGone, 1); }

void BuildBulkUrb(PURB urb, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG direction) {
  const USHORT size = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  RtlZeroMemory(urb, size);
  UsbBuildInterruptOrBulkTransferRequest(urb, size, pipe, buffer, NULL, length,
                                         direction | USBD_SHORT_TRANSFER_OK, NULL);
}

PURB AllocateBulkUrb(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG direction) {
  PURB urb = (PURB)ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagTransfer);
  if (urb == NULL) return NULL;
  BuildBulkUrb(urb, pipe, buffer, length, direction);
  return urb;
}

PIRP AllocateUrbRequest(BusDeviceContext* bus) {
  return IoAllocateIrp((CCHAR)(bus->LowerDeviceObject->StackSize + 1), FALSE);
}

void ArmUrbRequest(PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  next->Parameters.Others.Argument2 = NULL;
  IoSetCompletionRoutine(irp, routine, context, TRUE, TRUE, TRUE);
}

NTSTATUS UsbDoBulkTransfer(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                           ULONG length, ULONG direction, ULONG* transferred) {
  if (transferred != NULL) *transferred = 0;
  if (pipe == NULL) return STATUS_INVALID_HANDLE;
  if (buffer == NULL || length == 0) return STATUS_INVALID_PARAMETER;
  if (IsDeviceGone(bus)) return STATUS_INVALID_DEVICE_STATE;
  if (!IoCountAcquireIfStarted(bus)) return STATUS_UNSUCCESSFUL;
  PURB urb = AllocateBulkUrb(pipe, buffer, length, direction);
  PIRP irp = urb != NULL ? AllocateUrbRequest(bus) : NULL;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != NULL) {
    status = SendWithTimeout(bus, irp, urb, kTransferTimeout, "UsbDoBulkTransfer: timeout\n");
    status = ClassifyBulkResult(bus, status, urb->UrbHeader.Status);
    if (NT_SUCCESS(status) && transferred != NULL) *transferred = MovedBytes(urb, length);
    IoFreeIrp(irp);
  }
  if (urb != NULL) ExFreePoolWithTag(urb, kTagTransfer);
  IoCountDecrement(bus);
  return status;
}

// The bridge register path takes no reference and ignores the latch: it must still reach a
// device that other paths gave up on. A halted pipe is reset once; the failure is still reported.
// Its wait is the synchronous submission's: 10 seconds, then the request is cancelled
// (STATUS_CANCELLED).
NTSTATUS UsbDoBulkTransfer_2(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                             ULONG length, ULONG direction, ULONG* transferred) {
  if (transferred != NULL) *transferred = 0;
  PURB urb = AllocateBulkUrb(pipe, buffer, length, direction);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = UsbCallInternalIoctlPassive(bus, urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
  USBD_STATUS urbStatus = urb->UrbHeader.Status;
  if (NT_SUCCESS(status) && !USBD_ERROR(urbStatus) && transferred != NULL) {
    *transferred = MovedBytes(urb, length);
  }
  if (!IsGoneStatus(status) && status != STATUS_CANCELLED &&
      (!NT_SUCCESS(status) || USBD_ERROR(urbStatus))) {
    KX_TRACE(KX_TRACE_ERROR,
             "UsbDoBulkTransfer_2: Comes to  Unsuccessful Xfr status:0x%x UrbStatus:0x%x\n",
             (ULONG)status, (ULONG)urbStatus);
    if (urbStatus != USBD_STATUS_DEVICE_GONE && IsHaltedStatus(urbStatus)) {
      UsbResetPipe(bus, pipe);
    }
  }
  ExFreePoolWithTag(urb, kTagTransfer);
  return status;
}

namespace {

// One read of a drain: TRUE when the device had something.
BOOLEAN DrainOnce(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PUCHAR discard, ULONG length,
                  BOOLEAN bridge) {
  PURB urb = AllocateBulkUrb(pipe, discard, length, USBD_TRANSFER_DIRECTION_IN);
  PIRP irp = urb != NULL ? AllocateUrbRequest(bus) : NULL;
  BOOLEAN had = FALSE;
  if (irp != NULL) {
    NTSTATUS status = SendWithTimeout(bus, irp, urb, kDrainTimeout, NULL);
    had = NT_SUCCESS(status) && status != STATUS_CANCELLED && !USBD_ERROR(urb->UrbHeader.Status) &&
          MovedBytes(urb, length) != 0;
    if (!bridge && (IsGoneStatus(status) || urb->UrbHeader.Status == USBD_STATUS_DEVICE_GONE)) {
      SetDeviceGone(bus);
    }
    IoFreeIrp(irp);
  }
  if (urb != NULL) ExFreePoolWithTag(urb, kTagTransfer);
  return had;
}

}  // namespace

void UsbDrainResults(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, BOOLEAN bridge) {
  if (pipe == NULL || KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  UCHAR discard[64];
  for (ULONG round = 0; round < kDrainRounds && (bridge || !IsDeviceGone(bus)); round++) {
    if (!DrainOnce(bus, pipe, discard, sizeof discard, bridge)) return;
  }
}

namespace {

// A pipe request (reset, abort) waits for the USB stack's answer; a failure is traced under the
// caller's name and reported as STATUS_UNSUCCESSFUL.
NTSTATUS PipeRequest(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, USHORT function,
                     const char* name) {
  const SIZE_T size = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagTransfer);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbHeader.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = UsbCallInternalIoctl(bus, urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
  USBD_STATUS urbStatus = urb->UrbHeader.Status;
  if (!NT_SUCCESS(status) || USBD_ERROR(urbStatus)) {
    KX_TRACE(KX_TRACE_ERROR, "%s: status %x URB status\t%x\n", name, (ULONG)status,
             (ULONG)urbStatus);
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePoolWithTag(urb, kTagTransfer);
  return status;
}

}  // namespace

NTSTATUS UsbResetPipe(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(bus, pipe, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, "UsbResetPipe");
}

NTSTATUS UsbAbortPipe(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe) {
  return PipeRequest(bus, pipe, URB_FUNCTION_ABORT_PIPE, "UsbAbortPipe");
}
