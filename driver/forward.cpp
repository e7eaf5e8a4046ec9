// Requests the adapter hands to the USB stack below: passed on and forgotten, or sent down and
// taken back once the stack below has finished with them.
#include "driver/kxbus.h"

namespace {

// The request stays ours: the event tells the waiting dispatcher that the stack below is done.
NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS PassDown(BusDeviceContext* bus, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(bus->LowerDeviceObject, irp);
}

NTSTATUS ForwardAndWait(BusDeviceContext* bus, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(bus->LowerDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}
