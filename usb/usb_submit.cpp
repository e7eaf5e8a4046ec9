// URBs handed to the USB stack below the adapter, waiting for the answer. The request is a
// threaded one: the I/O manager finishes it, the caller only waits.
#include "driver/kxbus.h"

namespace {

NTSTATUS CallLower(BusDeviceContext* bus, PVOID argument, ULONG controlCode) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = IoBuildDeviceIoControlRequest(controlCode, bus->LowerDeviceObject, NULL, 0, NULL, 0,
                                           TRUE, &event, &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Others.Argument1 = argument;
  next->Parameters.Others.Argument2 = NULL;
  NTSTATUS status = IofCallDriver(bus->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
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
