// A bridge that still runs on its first-stage image takes its final identity: the channel layout
// of its endpoints, the new product identifier in register 0x84, and a second later bit 9 of
// register 0x8C, on which it leaves the bus and returns as the new device.
#include "driver/kxbus.h"

namespace {

struct IndexedWrite {
  ULONG Index;
  ULONG Data;
};

constexpr IndexedWrite kFirstIndexed[] = {{0x32, 0x40}, {0x72, 0x40}, {0x30, 0x40}, {0x70, 0x40},
                                          {0x31, 0x40}, {0x71, 0x40}, {0x04, 0x07}, {0x04, 0x08}};
constexpr IndexedWrite kSecondIndexed[] = {{0x52, 0x40}, {0x92, 0x40}, {0x51, 0x40},
                                           {0x91, 0x40}, {0x50, 0x40}, {0x90, 0x40}};
constexpr USHORT kIndexRegister = 0x30;
constexpr USHORT kDataRegister = 0x34;
constexpr USHORT kIdentityRegister = 0x84;
constexpr USHORT kLeaveRegister = 0x8C;
constexpr ULONG kLeaveBit = 0x200;
constexpr LONGLONG kLeaveDelay = -10000000;  // one second, relative

template <SIZE_T N>
void WriteIndexed(BusDeviceContext* bus, const IndexedWrite (&writes)[N]) {
  for (const IndexedWrite& write : writes) {
    BridgeRegWrite(bus, kIndexRegister, write.Index);
    BridgeRegWrite(bus, kDataRegister, write.Data);
  }
}

// The first-stage product of the bridge's maker, driven by a model: it takes the maker's identity.
BOOLEAN TakesMakersIdentity(BusDeviceContext* bus) {
  return bus->IdVendor == 0x0525 && bus->IdProduct == 0x3380 && bus->DriverModel != 0;
}

ULONG NewIdentity(BusDeviceContext* bus, USHORT vidW, USHORT pidW) {
  if (TakesMakersIdentity(bus)) return (0x7001UL << 16) | MakerVendorId;
  return ((ULONG)(USHORT)(pidW + 1) << 16) | vidW;
}

// A failed read sets nothing: a value built from 0 would wipe the rest of the register.
void SetLeaveBit(BusDeviceContext* bus) {
  ULONG value;
  if (!NT_SUCCESS(BridgeRegRead(bus, kLeaveRegister, &value))) return;
  BridgeRegWrite(bus, kLeaveRegister, value | kLeaveBit);
}

struct LeaveWork {
  PIO_WORKITEM Item;
  BusDeviceContext* Bus;
};
constexpr SIZE_T kLeaveWorkSize = 8;
static_assert(sizeof(PVOID) != 4 || sizeof(LeaveWork) == kLeaveWorkSize,
              "the work context is two pointers");

BOOLEAN StillStarted(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  BOOLEAN started = bus->Header.DevicePnpState == Started;
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
  return started;
}

VOID NTAPI LeaveBusWorkRoutine(PDEVICE_OBJECT, PVOID context) {
  LeaveWork* work = (LeaveWork*)context;
  BusDeviceContext* bus = work->Bus;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER delay;
  delay.QuadPart = kLeaveDelay;
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &delay);
  if (StillStarted(bus)) SetLeaveBit(bus);
  IoFreeWorkItem(work->Item);
  ExFreePoolWithTag(work, kTagWorkItem);
  IoCountDecrement(bus);
}

// Without a reference the device is going away and nothing is written.
void ScheduleLeaveBus(BusDeviceContext* bus) {
  LeaveWork* work = (LeaveWork*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LeaveWork),
                                                      kTagWorkItem);
  PIO_WORKITEM item = work == NULL ? NULL : IoAllocateWorkItem(bus->Header.Self);
  if (item == NULL) {
    if (work != NULL) ExFreePoolWithTag(work, kTagWorkItem);
    SetLeaveBit(bus);
    return;
  }
  if (!IoCountAcquireIfStarted(bus)) {
    IoFreeWorkItem(item);
    ExFreePoolWithTag(work, kTagWorkItem);
    return;
  }
  work->Item = item;
  work->Bus = bus;
  IoQueueWorkItem(item, LeaveBusWorkRoutine, DelayedWorkQueue, work);
}

void SwitchLegacyIdentity(BusDeviceContext* bus, USHORT vidW, USHORT pidW) {
  BridgeRegWrite(bus, 0x320, 0x03046001);
  BridgeRegWrite(bus, 0x340, 0x03000602);
  BridgeRegWrite(bus, 0x360, 0x03046003);
  BridgeRegWrite(bus, 0x380, 0x03000604);
  BridgeRegWrite(bus, kIdentityRegister, ((ULONG)(USHORT)(pidW + 1) << 16) | vidW);
  BridgeRegWrite(bus, kLeaveRegister, kLeaveBit);
}

}  // namespace

BOOLEAN IdentitySwitchUsesVendorWord(BusDeviceContext* bus) {
  return bus->Legacy != 0 || !TakesMakersIdentity(bus);
}

void SwitchFirstStageIdentity(BusDeviceContext* bus, USHORT vidW, USHORT pidW) {
  if (bus->Legacy != 0) {
    SwitchLegacyIdentity(bus, vidW, pidW);
    return;
  }
  BridgeRegWrite(bus, 0x320, 0x03006E01);
  WriteIndexed(bus, kFirstIndexed);
  BridgeRegWrite(bus, 0x340, 0x00107F02);
  BridgeRegWrite(bus, 0x360, 0x03006E03);
  WriteIndexed(bus, kSecondIndexed);
  BridgeRegWrite(bus, 0x380, 0x00107F04);
  BridgeRegWrite(bus, kIdentityRegister, NewIdentity(bus, vidW, pidW));
  ProgramBridgeEndpointLayout(bus);
  ScheduleLeaveBus(bus);
}
