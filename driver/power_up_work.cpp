// The device interface returns three seconds after the adapter is back in D0, from a work item
// that holds a reference on the adapter, so removal waits for it.
#include "driver/kxbus.h"

namespace {

constexpr LONGLONG kPowerUpDelay = -30000000;  // three seconds, relative
constexpr USHORT kBridgeDeviceControl = 0x8C;
constexpr ULONG kResumeStrobe = 0x200;

struct PowerUpWork {
  PIO_WORKITEM Item;
  BusDeviceContext* Bus;
};

// The interface is brought back only to an adapter still started and in D0: a stop or another
// power-down during the delay disabled it for good reason. The test, the strobe and the enable are
// one step under InterfaceLock: a removal, stop or power-down that comes meanwhile (inside the
// register read, say) disables the interface after it, never before it.
VOID NTAPI PowerUpWorkRoutine(PDEVICE_OBJECT, PVOID context) {
  PowerUpWork* work = (PowerUpWork*)context;
  BusDeviceContext* bus = work->Bus;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER delay;
  delay.QuadPart = kPowerUpDelay;
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &delay);
  LockDeviceInterface(bus);
  if (IsBusStarted(bus) && bus->DevicePowerState == PowerDeviceD0) {
    ULONG value;
    if (bus->DriverModel == 0 && bus->ExtendedChip &&
        NT_SUCCESS(BridgeRegRead(bus, kBridgeDeviceControl, &value))) {
      BridgeRegWrite(bus, kBridgeDeviceControl, value | kResumeStrobe);
    }
    EnableDeviceInterfaceLocked(bus);
  }
  UnlockDeviceInterface(bus);
  IoFreeWorkItem(work->Item);
  ExFreePoolWithTag(work, kTagWorkItem);
  IoCountDecrement(bus);
}

}  // namespace

// Runs in a completion routine, at up to DISPATCH_LEVEL. When anything is missing the interface
// stays disabled until the next power-up or cancelled stop or removal.
void SchedulePowerUpWork(BusDeviceContext* bus) {
  PowerUpWork* work = (PowerUpWork*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PowerUpWork),
                                                          kTagWorkItem);
  if (work == NULL) return;
  if (!IoCountAcquireIfStarted(bus)) {
    ExFreePoolWithTag(work, kTagWorkItem);
    return;
  }
  work->Bus = bus;
  work->Item = IoAllocateWorkItem(bus->Header.Self);
  if (work->Item == NULL) {
    IoCountDecrement(bus);
    ExFreePoolWithTag(work, kTagWorkItem);
    return;
  }
  IoQueueWorkItem(work->Item, PowerUpWorkRoutine, DelayedWorkQueue, work);
}
