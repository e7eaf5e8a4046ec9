// URBs handed to the USB stack below the adapter, waiting for the answer. The request is the
// driver's own, freed when it has come back; a device that never answers must not hold the caller
// (a start, a stop, a configuration) for ever: after 10 seconds the request is cancelled and its
// return awaited, and the caller sees STATUS_CANCELLED.
#include "driver/kxbus.h"

namespace {

constexpr LONGLONG kAnswerTimeout = -100000000LL;  // 10 seconds, relative

NTSTATUS NTAPI SignalReturn(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CallLower(BusDeviceContext* bus, PVOID argument, ULONG controlCode) {
  PIRP irp = IoAllocateIrp((CCHAR)(bus->LowerDeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT returned;
  KeInitializeEvent(&returned, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = controlCode;
  next->Parameters.Others.Argument1 = argument;
  next->Parameters.Others.Argument2 = NULL;
  IoSetCompletionRoutine(irp, SignalReturn, &returned, TRUE, TRUE, TRUE);
  if (IofCallDriver(bus->LowerDeviceObject, irp) == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = kAnswerTimeout;
    if (KeWaitForSingleObject(&returned, Executive, KernelMode, FALSE, &timeout) ==
        STATUS_TIMEOUT) {
      KX_TRACE(KX_TRACE_ERROR, "UsbSubmitUrbSync: timeout, the request is cancelled\n");
      IoCancelIrp(irp);
      KeWaitForSingleObject(&returned, Executive, KernelMode, FALSE, NULL);
    }
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

// Success is the request's status; the URB's own status is the caller's to read.
NTSTATUS UsbSubmitUrbSync(BusDeviceContext* bus, PURB urb) {
  return CallLower(bus, urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
}

NTSTATUS UsbCallInternalIoctl(BusDeviceContext* bus, PVOID argument, ULONG controlCode) {
  return CallLower(bus, argument, controlCode);
}

NTSTATUS UsbCallInternalIoctlPassive(BusDeviceContext* bus, PVOID argument, ULONG controlCode) {
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
  return CallLower(bus, argument, controlCode);
}
