// A wait-wake request on the adapter: armed below while the device sleeps and left pending there
// for as long as the sleep lasts, so its sender has its answer at once; when the stack below ends
// it, a work item brings the adapter back to D0 at passive level and completes the request with
// the status it came back with.
#include "driver/kxbus.h"

namespace {

// One armed request: the work item that ends it, and the sleep state it replaced with the wake
// state while armed.
struct WaitWakeEnd {
  PIO_WORKITEM Item;
  PIRP Irp;
  ULONG SleepState;
};

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

BOOLEAN WaitWakeOutstanding(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->WaitWakeLock, &irql);
  BOOLEAN outstanding = bus->WaitWakeIrp != NULL;
  KeReleaseSpinLock(&bus->WaitWakeLock, irql);
  return outstanding;
}

// Passive level. The request is ours again: its completion routine kept it.
VOID NTAPI WaitWakeEndWork(PDEVICE_OBJECT device, PVOID context) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  WaitWakeEnd* end = (WaitWakeEnd*)context;
  PIRP irp = end->Irp;
  SetWaitWakeIrp(bus, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  // An adapter on its way out (a stop or removal cancelled the wait) is not powered up.
  if (bus->PendingSystemPowerIrp == NULL && !bus->PowerIrpRequested && IsBusStarted(bus) &&
      bus->SleepDeviceState >= PowerDeviceD1 && bus->SleepDeviceState <= PowerDeviceD3) {
    RequestDevicePower(device, PowerDeviceD0);
  }
  bus->WaitWakeArmed = 0;
  bus->SleepDeviceState = end->SleepState;
  IoFreeWorkItem(end->Item);
  ExFreePoolWithTag(end, kTagWorkItem);
  CompleteWaitWake(bus, irp, status);
}

// Up to DISPATCH_LEVEL, and possibly inside CancelWaitWake under the lock: nothing here takes it.
NTSTATUS NTAPI WaitWakeEnded(PDEVICE_OBJECT, PIRP, PVOID context) {
  WaitWakeEnd* end = (WaitWakeEnd*)context;
  IoQueueWorkItem(end->Item, WaitWakeEndWork, DelayedWorkQueue, end);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The work item is allocated before the request goes down: once it is armed, the wake must end
// it whatever the pool holds then.
WaitWakeEnd* AllocateWaitWakeEnd(PDEVICE_OBJECT device, PIRP irp) {
  WaitWakeEnd* end =
      (WaitWakeEnd*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WaitWakeEnd), kTagWorkItem);
  if (end == NULL) return NULL;
  end->Item = IoAllocateWorkItem(device);
  if (end->Item == NULL) {
    ExFreePoolWithTag(end, kTagWorkItem);
    return NULL;
  }
  end->Irp = irp;
  return end;
}

}  // namespace

// The request cannot be completed while the lock is held (its work item clears the field under
// the lock first), and its completion routine only queues the work item, so the cancel may run
// under the lock even when the stack below completes the request inside it.
void CancelWaitWake(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->WaitWakeLock, &irql);
  if (bus->WaitWakeIrp != NULL) IoCancelIrp(bus->WaitWakeIrp);
  KeReleaseSpinLock(&bus->WaitWakeLock, irql);
}

NTSTATUS HandleWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  ULONG wakeState = bus->AdapterCapabilities.DeviceWake;
  // A device in D0 has nothing to wake from, and one asleep deeper than it can wake from never
  // would.
  if (bus->DevicePowerState == PowerDeviceD0 || (LONG)wakeState > bus->DevicePowerState) {
    return CompleteWaitWake(bus, irp, STATUS_INVALID_DEVICE_STATE);
  }
  // The power manager lets a device have one; a second would overwrite the first's record.
  if (WaitWakeOutstanding(bus)) return CompleteWaitWake(bus, irp, STATUS_DEVICE_BUSY);
  WaitWakeEnd* end = AllocateWaitWakeEnd(device, irp);
  if (end == NULL) return CompleteWaitWake(bus, irp, STATUS_INSUFFICIENT_RESOURCES);
  end->SleepState = bus->SleepDeviceState;
  bus->SleepDeviceState = wakeState;
  bus->WaitWakeArmed = 1;
  IoMarkIrpPending(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, WaitWakeEnded, end, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  SetWaitWakeIrp(bus, irp);
  PoCallDriver(bus->LowerDeviceObject, irp);
  return STATUS_PENDING;
}
