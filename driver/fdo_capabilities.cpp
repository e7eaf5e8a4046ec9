// IRP_MN_QUERY_CAPABILITIES for the adapter: the stack below answers, the adapter adds that it
// survives being pulled out, and keeps the answer to choose the device state it sleeps in.
#include "driver/kxbus.h"

namespace {

// The deepest of the sleeping system states S1-S3 that the stack maps to a state above D3 gives
// the device state the adapter sleeps in; D2 when none does.
void ChooseSleepDeviceState(BusDeviceContext* bus) {
  const SYSTEM_POWER_STATE sleeping[] = {PowerSystemSleeping1, PowerSystemSleeping2,
                                         PowerSystemSleeping3};
  for (SYSTEM_POWER_STATE state : sleeping) {
    DEVICE_POWER_STATE mapped = bus->AdapterCapabilities.DeviceState[state];
    if (mapped < PowerDeviceD3) bus->SleepDeviceState = mapped;
  }
}

}  // namespace

NTSTATUS QueryAdapterCapabilities(BusDeviceContext* bus, PIRP irp) {
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities == NULL || capabilities->Version == 0 ||
      capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
    return CompleteRequest(irp, STATUS_UNSUCCESSFUL, 0);
  }
  capabilities->SurpriseRemovalOK = 1;
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = ForwardAndWait(bus, irp);
  bus->SleepDeviceState = 0;
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(&bus->AdapterCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    ChooseSleepDeviceState(bus);
    capabilities->SurpriseRemovalOK = 1;
  }
  if (bus->SleepDeviceState == 0 || bus->SleepDeviceState == PowerDeviceD0) {
    bus->SleepDeviceState = PowerDeviceD2;
  }
  return CompleteRequest(irp, status, 0);
}
