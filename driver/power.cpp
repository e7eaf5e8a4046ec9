// Power requests. Until the adapter's power handling exists, the function device passes every
// power request down and a child completes it with the status it carries.
#include "driver/kxbus.h"

NTSTATUS FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(bus->LowerDeviceObject, irp);
}

NTSTATUS ChildPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
