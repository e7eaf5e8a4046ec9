// Device power requests the driver asks for itself, for its own stack.
#include "driver/kxbus.h"

namespace {

VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID context,
                           PIO_STATUS_BLOCK) {
  BusDeviceContext* bus = (BusDeviceContext*)((PDEVICE_OBJECT)context)->DeviceExtension;
  if ((ULONG)state.DeviceState < bus->SleepDeviceState) {
    KeSetEvent(&bus->PowerDoneEvent, IO_NO_INCREMENT, FALSE);
  }
}

}  // namespace

// A state shallower than the sleep state is waited for. The event is cleared before each request:
// left signalled from an earlier one, the wait would end before this request has.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  if ((LONG)state == bus->DevicePowerState) return STATUS_SUCCESS;
  bus->PowerIrpRequested = 1;
  KeClearEvent(&bus->PowerDoneEvent);
  POWER_STATE power;
  power.DeviceState = state;
  NTSTATUS status = PoRequestPowerIrp(bus->PhysicalDeviceObject, IRP_MN_SET_POWER, power,
                                      DevicePowerDone, device, NULL);
  if (status == STATUS_PENDING && (ULONG)state < bus->SleepDeviceState) {
    KeWaitForSingleObject(&bus->PowerDoneEvent, Executive, KernelMode, FALSE, NULL);
  }
  // Cleared on failure too: no request of ours is outstanding then.
  bus->PowerIrpRequested = 0;
  return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}
