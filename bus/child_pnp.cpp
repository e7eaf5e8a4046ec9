// Plug and Play of a display child. The driver is the child's bus driver: every request ends
// here, completed with the status its handler decided, never passed to another driver.
#include "driver/kxbus.h"

namespace {

// A child that was left out of a bus-relations reply is gone for good: it leaves its parent's
// list, with the channel it may still hold, and its device object is deleted. One still present is
// only being unloaded.
NTSTATUS RemoveChild(ChildDeviceContext* child) {
  if (child->ReportedMissing) {
    SetPnpState(&child->Header, Removed);
    if (child->ParentDevice != NULL) {
      UnlinkRemovedChild((BusDeviceContext*)child->ParentDevice->DeviceExtension, child);
    }
    DeleteChild(child);
  } else if (child->Present) {
    SetPnpState(&child->Header, NotStarted);
  }
  return STATUS_SUCCESS;
}

NTSTATUS TargetRelation(ChildDeviceContext* child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
    return irp->IoStatus.Status;
  }
  PDEVICE_RELATIONS relations =
      (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kTagBus);
  if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  ObfReferenceObject(child->Header.Self);
  relations->Count = 1;
  relations->Objects[0] = child->Header.Self;
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

NTSTATUS Handle(ChildDeviceContext* child, PIRP irp) {
  CommonDeviceHeader* header = &child->Header;
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      child->DevicePowerState = PowerDeviceD0;
      SetPnpState(header, Started);
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_REMOVE_DEVICE: SetPnpState(header, RemovePending); return STATUS_SUCCESS;
    case IRP_MN_REMOVE_DEVICE: return RemoveChild(child);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      CancelPendingPnpState(header, RemovePending);
      return STATUS_SUCCESS;
    case IRP_MN_STOP_DEVICE: SetPnpState(header, Stopped); return STATUS_SUCCESS;
    case IRP_MN_QUERY_STOP_DEVICE: SetPnpState(header, StopPending); return STATUS_SUCCESS;
    case IRP_MN_CANCEL_STOP_DEVICE: CancelPendingPnpState(header, StopPending); return STATUS_SUCCESS;
    case IRP_MN_QUERY_DEVICE_RELATIONS: return TargetRelation(child, irp);
    case IRP_MN_QUERY_CAPABILITIES: return QueryChildCapabilities(child, irp);
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return STATUS_NOT_SUPPORTED;
    case IRP_MN_QUERY_DEVICE_TEXT: return QueryChildText(child, irp);
    case IRP_MN_EJECT: child->Present = 0; return STATUS_SUCCESS;
    case IRP_MN_QUERY_ID: return QueryChildId(child, irp);
    case IRP_MN_QUERY_BUS_INFORMATION: return QueryChildBusInformation(irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION: return STATUS_UNSUCCESSFUL;
    case IRP_MN_SURPRISE_REMOVAL: SetPnpState(header, SurpriseRemoved); return STATUS_SUCCESS;
    default: return irp->IoStatus.Status;
  }
}

}  // namespace

NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp) {
  ChildDeviceContext* child = (ChildDeviceContext*)device->DeviceExtension;
  NTSTATUS status = Handle(child, irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
