// Routing: every handler that serves both kinds of device decides from IsFunctionDevice whether a
// request concerns the adapter or a display child. A removed device routes nothing.
#include "driver/kxbus.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CommonDeviceHeader* header = HeaderOf(DeviceObject);
  if (header->DevicePnpState == Removed) {
    return CompleteRequest(Irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  return header->IsFunctionDevice ? FunctionPnp(DeviceObject, Irp) : ChildPnp(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CommonDeviceHeader* header = HeaderOf(DeviceObject);
  if (header->DevicePnpState == Removed) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_NO_SUCH_DEVICE;
  }
  return header->IsFunctionDevice ? FunctionPower(DeviceObject, Irp)
                                  : ChildPower(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return HeaderOf(DeviceObject)->IsFunctionDevice ? AdapterDeviceControl(DeviceObject, Irp)
                                                  : ChildDeviceControl(DeviceObject, Irp);
}

// The read and write path needs an adapter; a child has no data channels to offer.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!HeaderOf(DeviceObject)->IsFunctionDevice) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return AdapterRead(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!HeaderOf(DeviceObject)->IsFunctionDevice) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  return AdapterWrite(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (HeaderOf(DeviceObject)->IsFunctionDevice) {
    BusDeviceContext* bus = (BusDeviceContext*)DeviceObject->DeviceExtension;
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(bus->LowerDeviceObject, Irp);
  }
  // A child is the bottom of its stack: the request ends here with the status it carries.
  NTSTATUS status = Irp->IoStatus.Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
