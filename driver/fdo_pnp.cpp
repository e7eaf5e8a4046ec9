// Plug and Play of the adapter's function device: start, the stop and removal requests that take
// the adapter down again in the opposite order, the bus relations listing the children, and the
// capabilities. Every request holds a reference on the adapter while it is handled here.
#include "driver/kxbus.h"

namespace {

constexpr LONGLONG kCancelAgainInterval = -10 * 1000 * 1000;  // one second, relative

// The frame worker and every user of the data channels are gone before the buffers are.
void FreeDeviceResources(BusDeviceContext* bus) {
  UsbCancelAsyncTransfer(bus);
  UsbFreeSpareTransfer(bus);
  FreeFrameStores(bus);
  FreeFrameBuffers(bus);
}

// What would otherwise hold a request reference for as long as the device lets it: a wait-wake
// request and reads waiting for data that may never come. A request that passed the state test
// just before the state changed can still reach the pipes afterwards, so the quiet wait cancels
// again every second until nothing is left.
void EndWaitingRequests(BusDeviceContext* bus) {
  CancelWaitWake(bus);
  AbortTransferSets(bus);
}

void WaitUntilIdle(BusDeviceContext* bus) {
  LARGE_INTEGER interval;
  interval.QuadPart = kCancelAgainInterval;
  for (;;) {
    EndWaitingRequests(bus);
    if (KeWaitForSingleObject(&bus->IoIdleEvent, Executive, KernelMode, FALSE, &interval) !=
        STATUS_TIMEOUT) {
      return;
    }
  }
}

// Query-stop and query-remove: nothing new starts, and the requests already inside finish.
NTSTATUS PrepareToLetGo(BusDeviceContext* bus, PIRP irp, LONG pendingState) {
  SetBusPnpState(bus, pendingState);
  IoCountDecrement(bus);
  StopFrameWorker(bus);
  StopLinkThread(bus->Header.Self);
  DisableDeviceInterface(bus);
  WaitUntilIdle(bus);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  return PassDown(bus, irp);
}

// The platform expects the adapter back in normal operation after a cancel: it is published
// again, its outputs stream as they did before the query and the far side is listened to.
void ResumeAfterCancel(BusDeviceContext* bus) {
  RestoreBusPnpState(bus);
  EnableDeviceInterface(bus);
  ResumeStreamingOutputs(bus);
  ResumeLinkSupervision(bus);
}

NTSTATUS CancelStop(BusDeviceContext* bus, PIRP irp) {
  if (bus->Header.DevicePnpState != StopPending) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
  }
  NTSTATUS status = ForwardAndWait(bus, irp);
  if (NT_SUCCESS(status) && bus->Header.DevicePnpState == StopPending) ResumeAfterCancel(bus);
  return CompleteRequest(irp, status, 0);
}

NTSTATUS CancelRemove(BusDeviceContext* bus, PIRP irp) {
  if (bus->Header.DevicePnpState != RemovePending) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    return PassDown(bus, irp);
  }
  NTSTATUS status = ForwardAndWait(bus, irp);
  if (NT_SUCCESS(status)) ResumeAfterCancel(bus);
  return CompleteRequest(irp, status, 0);
}

// The platform does not let a driver fail a stop: a configuration the USB stack would not take
// back (the device is gone) is traced and the stop goes on.
NTSTATUS StopDevice(BusDeviceContext* bus, PIRP irp) {
  SetBusPnpState(bus, Stopped);
  StopFrameWorker(bus);
  StopLinkThread(bus->Header.Self);
  DisableDeviceInterface(bus);
  FreeDeviceResources(bus);
  NTSTATUS deselected = UsbDeselectConfiguration(bus->Header.Self);
  if (!NT_SUCCESS(deselected)) {
    KX_TRACE(KX_TRACE_WARNING, "stop: configuration not released: 0x%08lX\n", (ULONG)deselected);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  return PassDown(bus, irp);
}

NTSTATUS SurpriseRemoval(BusDeviceContext* bus, PIRP irp) {
  SetBusPnpState(bus, SurpriseRemoved);
  StopFrameWorker(bus);
  StopLinkThread(bus->Header.Self);
  DisableDeviceInterface(bus);
  EndWaitingRequests(bus);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  NTSTATUS status = PassDown(bus, irp);
  DetachChildren(bus);
  return status;
}

// The requests of the children hold the adapter's remove lock: once it is drained none is left
// inside, and later ones are refused before they reach the channels.
void DrainChildRequests(BusDeviceContext* bus, PIRP irp) {
  if (NT_SUCCESS(IoAcquireRemoveLock(&bus->RemoveLock, irp))) {
    IoReleaseRemoveLockAndWait(&bus->RemoveLock, irp);
  }
}

// This request's reference and the base reference are dropped and the removal waits until nothing
// else holds the adapter; then the request goes down and the device goes away.
NTSTATUS RemoveDevice(BusDeviceContext* bus, PIRP irp) {
  // The state first: a power-up work that tests it afterwards publishes nothing.
  SetBusPnpState(bus, Removed);
  if (bus->Header.PreviousPnpState != SurpriseRemoved) DisableDeviceInterface(bus);
  DrainChildRequests(bus, irp);
  StopFrameWorker(bus);
  StopLinkThread(bus->Header.Self);
  IoCountDecrement(bus);
  IoCountDecrement(bus);
  EndWaitingRequests(bus);
  KeWaitForSingleObject(&bus->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  FreeDeviceResources(bus);
  // After a failed start the interface is still configured; the adapter leaves it as it found it.
  if (bus->Header.PreviousPnpState != SurpriseRemoved) UsbDeselectConfiguration(bus->Header.Self);
  DeleteChildrenAtRemoval(bus);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  NTSTATUS status = PassDown(bus, irp);
  IoDetachDevice(bus->LowerDeviceObject);
  IoDeleteDevice(bus->Header.Self);
  return status;
}

NTSTATUS QueryRelations(BusDeviceContext* bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    return ReplyBusRelations(bus, irp);
  }
  return PassDown(bus, irp);
}

NTSTATUS Dispatch(BusDeviceContext* bus, PIRP irp, UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return StartFunctionDevice(bus, irp);
    case IRP_MN_QUERY_STOP_DEVICE: return PrepareToLetGo(bus, irp, StopPending);
    case IRP_MN_QUERY_REMOVE_DEVICE: return PrepareToLetGo(bus, irp, RemovePending);
    case IRP_MN_CANCEL_STOP_DEVICE: return CancelStop(bus, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: return CancelRemove(bus, irp);
    case IRP_MN_STOP_DEVICE: return StopDevice(bus, irp);
    case IRP_MN_SURPRISE_REMOVAL: return SurpriseRemoval(bus, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: return QueryRelations(bus, irp);
    case IRP_MN_QUERY_CAPABILITIES: return QueryAdapterCapabilities(bus, irp);
    default: return PassDown(bus, irp);
  }
}

}  // namespace

NTSTATUS FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  IoCountIncrement(bus);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_REMOVE_DEVICE) return RemoveDevice(bus, irp);
  NTSTATUS status = Dispatch(bus, irp, minor);
  // Query-stop and query-remove dropped theirs before waiting for the adapter to be quiet.
  if (minor != IRP_MN_QUERY_STOP_DEVICE && minor != IRP_MN_QUERY_REMOVE_DEVICE) {
    IoCountDecrement(bus);
  }
  return status;
}
