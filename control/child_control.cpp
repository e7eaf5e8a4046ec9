// The control codes of a display child: the per-output interface its display driver uses. Every
// request holds the adapter's remove lock from before it touches the adapter until after its
// completion. Sizes are tested before anything else.
#include "driver/kxbus.h"

namespace {

struct ChildRequest {
  ChildDeviceContext* Child;
  DisplayChannel* Channel;
  PIRP Irp;
  ULONG InLength;
  ULONG OutLength;
  PUCHAR Buffer;  // the system buffer of the buffered codes
};

USHORT GetU16(const UCHAR* at) { return (USHORT)(at[0] | at[1] << 8); }
ULONG GetU32(const UCHAR* at) { return (ULONG)GetU16(at) | (ULONG)GetU16(at + 2) << 16; }

NTSTATUS Complete(ChildRequest* request, NTSTATUS status, ULONG_PTR information) {
  return CompleteRequest(request->Irp, status, information);
}

NTSTATUS TooSmall(ChildRequest* request) { return Complete(request, STATUS_BUFFER_TOO_SMALL, 0); }

NTSTATUS GetDescriptionSize(ChildRequest* request) {
  if (request->OutLength < 4 || request->Buffer == NULL) return TooSmall(request);
  ULONG size = request->Child->DescriptionSize;
  for (int i = 0; i < 4; i++) request->Buffer[i] = (UCHAR)(size >> (8 * i));
  return Complete(request, STATUS_SUCCESS, 4);
}

// A child without a description has nothing to give: that is a failure, not the status the
// request happened to arrive with.
NTSTATUS GetDescription(ChildRequest* request) {
  ULONG size = request->Child->DescriptionSize;
  if (request->OutLength < size || request->Buffer == NULL) return TooSmall(request);
  if (request->Child->Description == NULL) return Complete(request, STATUS_INVALID_DEVICE_STATE, 0);
  RtlCopyMemory(request->Buffer, request->Child->Description, size);
  return Complete(request, STATUS_SUCCESS, size);
}

NTSTATUS SetMode(ChildRequest* request) {
  if (request->InLength < 32 || request->Buffer == NULL) return TooSmall(request);
  const UCHAR* mode = request->Buffer;
  NTSTATUS status = SetOutputMode(request->Channel, GetU16(mode), GetU16(mode + 2),
                                  GetU16(mode + 4), GetU16(mode + 6));
  return Complete(request, status, 0);
}

NTSTATUS Stop(ChildRequest* request) {
  if (request->InLength < 4 || request->Buffer == NULL) return TooSmall(request);
  return Complete(request, StopOutput(request->Channel), 0);
}

NTSTATUS SetInfo(ChildRequest* request) {
  if (request->InLength < 32 || request->Buffer == NULL) return TooSmall(request);
  const UCHAR* words = request->Buffer;
  SetOutputInfo(request->Channel, GetU32(words), GetU32(words + 4), GetU32(words + 8));
  return Complete(request, STATUS_SUCCESS, 0);
}

NTSTATUS Present(ChildRequest* request) {
  if (request->InLength < 32 || request->OutLength < 10) return TooSmall(request);
  ULONG totalSize = 0;
  NTSTATUS status = PresentFromUserBuffers(request->Channel, request->Irp, request->InLength,
                                           request->OutLength, &totalSize);
  return Complete(request, status, NT_SUCCESS(status) ? totalSize : 0);
}

NTSTATUS Dispatch(ChildRequest* request, ULONG code) {
  switch (code) {
    case IOCTL_DISPLAY_GET_DESCRIPTION_SIZE: return GetDescriptionSize(request);
    case IOCTL_DISPLAY_GET_DESCRIPTION: return GetDescription(request);
    case IOCTL_DISPLAY_SET_MODE: return SetMode(request);
    case IOCTL_DISPLAY_PRESENT: return Present(request);
    case IOCTL_DISPLAY_STOP: return Stop(request);
    case IOCTL_DISPLAY_SET_INFO: return SetInfo(request);
    default: return Complete(request, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

}  // namespace

NTSTATUS ChildDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  ChildDeviceContext* child = (ChildDeviceContext*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  // A child detached from its adapter (surprise removal), or whose display was withdrawn, has no
  // output left to serve: its channel may already belong to another display.
  PDEVICE_OBJECT parent = child->ParentDevice;
  if (parent == NULL || !child->Present) return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
  BusDeviceContext* bus = (BusDeviceContext*)parent->DeviceExtension;
  NTSTATUS status = IoAcquireRemoveLock(&bus->RemoveLock, irp);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  // Inside, the child keeps its channel: a detach waits for the requests it finds here.
  if (!EnterGate(&child->Requests)) {
    status = CompleteRequest(irp, STATUS_NO_SUCH_DEVICE, 0);
    IoReleaseRemoveLock(&bus->RemoveLock, irp);
    return status;
  }
  ChildRequest request;
  request.Child = child;
  request.Channel = child->ChannelIndex < kChannelCount ? &bus->Channels[child->ChannelIndex] : NULL;
  request.Irp = irp;
  request.InLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.Buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  status = request.Channel != NULL ? Dispatch(&request, code)
                                   : CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
  LeaveGate(&child->Requests);
  IoReleaseRemoveLock(&bus->RemoveLock, irp);
  return status;
}
