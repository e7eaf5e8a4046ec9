// Power requests of the function device, the adapter's power policy owner: each system set-power
// request becomes a device set-power request for the adapter's own stack, asked for with
// PoRequestPowerIrp while the system request is held; everything else goes down the stack.
//
// Before Windows Vista the power manager sends the next query- or set-power request only after
// PoStartNextPowerIrp, which every path here calls while the stack location is still ours, and
// power requests go down with PoCallDriver.
#include "driver/kxbus.h"

namespace {

BusDeviceContext* BusOf(PDEVICE_OBJECT device) {
  return (BusDeviceContext*)device->DeviceExtension;
}

// The request goes down unchanged; the reference its arrival took is dropped.
NTSTATUS PassPowerRequest(BusDeviceContext* bus, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  NTSTATUS status = PoCallDriver(bus->LowerDeviceObject, irp);
  IoCountDecrement(bus);
  return status;
}

DEVICE_POWER_STATE DeviceStateFor(BusDeviceContext* bus, SYSTEM_POWER_STATE system) {
  if (system == PowerSystemWorking) return PowerDeviceD0;
  if (bus->WaitWakeArmed && system > PowerSystemUnspecified && system < PowerSystemMaximum) {
    return bus->AdapterCapabilities.DeviceState[system];
  }
  return PowerDeviceD3;
}

// The held system request goes down now that its device request is over. The field is cleared
// first: once the request is down the power manager may send the next one at once.
VOID NTAPI SystemPowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  BusDeviceContext* bus = BusOf((PDEVICE_OBJECT)context);
  PIRP held = bus->PendingSystemPowerIrp;
  bus->PendingSystemPowerIrp = NULL;
  PassPowerRequest(bus, held);
}

NTSTATUS SetSystemPower(PDEVICE_OBJECT device, PIRP irp, SYSTEM_POWER_STATE system) {
  BusDeviceContext* bus = BusOf(device);
  DEVICE_POWER_STATE wanted = DeviceStateFor(bus, system);
  if ((LONG)wanted == bus->DevicePowerState) return PassPowerRequest(bus, irp);
  // Marked before the device request is asked for: its callback may pass the held request down
  // before PoRequestPowerIrp returns.
  IoMarkIrpPending(irp);
  bus->PendingSystemPowerIrp = irp;
  POWER_STATE state;
  state.DeviceState = wanted;
  NTSTATUS status = PoRequestPowerIrp(bus->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                                      SystemPowerDone, device, NULL);
  if (status != STATUS_PENDING) {
    // No device request will come back for it: the system request goes on without one rather
    // than stay held for ever.
    KX_TRACE(KX_TRACE_WARNING, "FunctionPower: no device power request (0x%08X)\n",
             (unsigned)status);
    bus->PendingSystemPowerIrp = NULL;
    PassPowerRequest(bus, irp);
  }
  return STATUS_PENDING;
}

}  // namespace

NTSTATUS FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = BusOf(device);
  if (bus->Header.DevicePnpState == NotStarted) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(bus->LowerDeviceObject, irp);
  }
  IoCountIncrement(bus);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == SystemPowerState) {
        return SetSystemPower(device, irp, stack->Parameters.Power.State.SystemState);
      }
      return PassDevicePowerRequest(device, irp);
    case IRP_MN_WAIT_WAKE: return HandleWaitWake(device, irp);
    default: return PassPowerRequest(bus, irp);
  }
}
