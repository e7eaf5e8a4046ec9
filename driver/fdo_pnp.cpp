// Plug and Play of the function device. Until the adapter's start and stop sequences exist, most
// requests are passed down; the bus relations list the children; surprise removal detaches them
// and removal deletes them, then takes the device down so that the driver can unload.
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
  DeleteChildrenAtRemoval(bus);
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
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(bus, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      status = stack->Parameters.QueryDeviceRelations.Type == BusRelations
                   ? ReplyBusRelations(bus, irp)
                   : PassDown(bus, irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      StopFrameWorker(bus);
      SetBusPnpState(bus, SurpriseRemoved);
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = PassDown(bus, irp);
      DetachChildren(bus);
      break;
    default: status = PassDown(bus, irp); break;
  }
  IoCountDecrement(bus);
  return status;
}
