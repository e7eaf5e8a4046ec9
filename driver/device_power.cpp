// Device set-power requests of the adapter: the display output is powered down and the device
// interface disabled before the adapter leaves D0; a power-up is finished once the stack below
// has brought the device back, and the interface returns a few seconds later.
#include "driver/kxbus.h"

namespace {

constexpr ULONG kFarSideDeviceControl = kWindowExtended + 0x8C;
constexpr ULONG kBasicDeviceControl = kWindowBasic + 0x8C;
constexpr ULONG kExtendedOutputOn = 0x8;
constexpr ULONG kBasicOutputOff = 0x200;

// A power-up the stack below failed leaves the adapter where it was: the failure goes up as it
// came, and nothing that needs a powered device is scheduled.
NTSTATUS NTAPI PowerUpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  BusDeviceContext* bus = (BusDeviceContext*)((PDEVICE_OBJECT)context)->DeviceExtension;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    bus->DevicePowerState = PowerDeviceD0;
    SchedulePowerUpWork(bus);
  } else {
    KX_TRACE(KX_TRACE_ERROR, "PowerUpDone: the stack below failed D0 (0x%08X)\n",
             (unsigned)irp->IoStatus.Status);
  }
  IoCountDecrement(bus);
  return STATUS_SUCCESS;
}

}  // namespace

void PowerDownAdapter(PDEVICE_OBJECT device) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  if (bus->ExtendedChip) {
    ULONG value = PciMemRead(bus, kFarSideDeviceControl);
    PciMemWrite(bus, kFarSideDeviceControl, value & ~kExtendedOutputOn);
  } else if (bus->DriverModel == 0) {
    ULONG value = PciMemRead(bus, kBasicDeviceControl);
    PciMemWrite(bus, kBasicDeviceControl, value | kBasicOutputOff);
  }
}

BOOLEAN SetDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  if (state == PowerDeviceD0) return TRUE;
  if (state < PowerDeviceD1 || state > PowerDeviceD3) return FALSE;
  // One step with the power-up work's: it either published the adapter before this takes it down,
  // or finds the adapter out of D0.
  LockDeviceInterface(bus);
  if (bus->DevicePowerState == PowerDeviceD0) {
    PowerDownAdapter(device);
    DisableDeviceInterfaceLocked(bus);
  }
  bus->DevicePowerState = state;
  UnlockDeviceInterface(bus);
  return FALSE;
}

NTSTATUS PassDevicePowerRequest(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  BOOLEAN powerUp = SetDevicePowerState(device, state);
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (powerUp) IoSetCompletionRoutine(irp, PowerUpDone, device, TRUE, TRUE, TRUE);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(bus->LowerDeviceObject, irp);
  // A power-up keeps its reference until its completion routine has run.
  if (!powerUp) IoCountDecrement(bus);
  return status;
}
