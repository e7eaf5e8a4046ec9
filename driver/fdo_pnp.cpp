// Plug and Play of the function device. Until the adapter's start and stop sequences exist, every
// request is passed down; removal takes the device down so that the driver can unload.
#include "driver/kxbus.h"

namespace {

NTSTATUS PassDown(BusDeviceContext* bus, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(bus->LowerDeviceObject, irp);
}

// This request's reference and the base reference are dropped and the removal waits until nothing
// else holds the adapter; then the request goes down and the device goes away.
NTSTATUS RemoveDevice(BusDeviceContext* bus, PIRP irp) {
  SetBusPnpState(bus, Removed);
  IoCountDecrement(bus);
  IoCountDecrement(bus);
  KeWaitForSingleObject(&bus->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  StopFrameWorker(bus);
  FreeFrameStores(bus);
  FreeFrameBuffers(bus);
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(bus, irp);
  IoDetachDevice(bus->LowerDeviceObject);
  IoDeleteDevice(bus->Header.Self);
  return status;
}

}  // namespace

NTSTATUS FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  IoCountIncrement(bus);
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    return RemoveDevice(bus, irp);
  }
  NTSTATUS status = PassDown(bus, irp);
  IoCountDecrement(bus);
  return status;
}
