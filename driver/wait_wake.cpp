// A wait-wake request on the adapter: armed below while the device sleeps, and held here, at
// passive level, until the stack below ends it; the adapter is then brought back to D0 and the
// request completed with the status it came back with.
#include "driver/kxbus.h"

namespace {

// The request stays ours: the dispatcher waiting on the event completes it.
NTSTATUS NTAPI WaitWakeEnded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteWaitWake(BusDeviceContext* bus, PIRP irp, NTSTATUS status) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  IoCountDecrement(bus);
  return status;
}

void SetWaitWakeIrp(BusDeviceContext* bus, PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->WaitWakeLock, &irql);
  bus->WaitWakeIrp = irp;
  KeReleaseSpinLock(&bus->WaitWakeLock, irql);
}

}  // namespace

// The request cannot be completed while the lock is held (its dispatcher clears the field under
// the lock first), and its completion routine only signals an event, so the cancel may run
// under the lock even when the stack below completes the request inside it.
void CancelWaitWake(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->WaitWakeLock, &irql);
  if (bus->WaitWakeIrp != NULL) IoCancelIrp(bus->WaitWakeIrp);
  KeReleaseSpinLock(&bus->WaitWakeLock, irql);
}

NTSTATUS HandleWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  ULONG sleepState = bus->SleepDeviceState;
  bus->SleepDeviceState = bus->AdapterCapabilities.DeviceWake;
  // A device in D0 has nothing to wake from, and one asleep deeper than it can wake from never
  // would.
  if (bus->DevicePowerState == PowerDeviceD0 ||
      (LONG)bus->SleepDeviceState > bus->DevicePowerState) {
    bus->SleepDeviceState = sleepState;
    return CompleteWaitWake(bus, irp, STATUS_INVALID_DEVICE_STATE);
  }
  bus->WaitWakeArmed = 1;
  KEVENT ended;
  KeInitializeEvent(&ended, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, WaitWakeEnded, &ended, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  SetWaitWakeIrp(bus, irp);
  if (PoCallDriver(bus->LowerDeviceObject, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&ended, Executive, KernelMode, FALSE, NULL);
  }
  SetWaitWakeIrp(bus, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  // An adapter on its way out (a stop or removal cancelled the wait) is not powered up.
  if (bus->PendingSystemPowerIrp == NULL && !bus->PowerIrpRequested && IsBusStarted(bus) &&
      bus->SleepDeviceState >= PowerDeviceD1 && bus->SleepDeviceState <= PowerDeviceD3) {
    RequestDevicePower(device, PowerDeviceD0);
  }
  bus->WaitWakeArmed = 0;
  bus->SleepDeviceState = sleepState;
  return CompleteWaitWake(bus, irp, status);
}
