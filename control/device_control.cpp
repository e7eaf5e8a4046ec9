// Device control on the adapter: the display stack steers it through these codes, on the control
// handle or on a display handle. Every code the started adapter serves runs under a request
// reference, which keeps a removal from tearing the device down underneath it; the reference is
// dropped only after the completion, on every path.
#include "control/adapter_control.h"

namespace {

BOOLEAN IsRetiredCode(ULONG code) {
  for (ULONG retired : kRetiredBusCodes) {
    if (code == retired) return TRUE;
  }
  return FALSE;
}

// Create stores 0 for the control handle; a request without a file object is taken as one too.
ULONG SelectorOf(PIO_STACK_LOCATION stack) {
  PFILE_OBJECT file = stack->FileObject;
  ULONG selector = file != NULL ? (ULONG)(ULONG_PTR)file->FsContext : kControlHandle;
  return selector == kControlHandle ? kSelectorNotRecognised : selector;
}

AdapterResult ServeStarted(AdapterRequest* request, ULONG code) {
  switch (code) {
    case IOCTL_BUS_QUERY_DISPLAY_CONNECTED: return QueryDisplayConnected(request, TRUE);
    case IOCTL_BUS_GET_ADAPTER_INFO: return GetAdapterInfo(request);
    case IOCTL_BUS_SET_LINK_SELECT: return SetLinkSelect(request);
    case IOCTL_BUS_READ_CONFIG_WORD: return ReadConfigWordCode(request);
    case IOCTL_BUS_WRITE_CONFIG_WORD: return WriteConfigWordCode(request);
    case IOCTL_BUS_GET_LINK_MODE: return GetLinkMode(request);
    case IOCTL_BUS_SET_LINK_MODE: return SetLinkMode(request);
    case IOCTL_BUS_ATTACH_DISPLAY: return AttachDisplay(request);
    case IOCTL_BUS_DETACH_DISPLAY: return DetachDisplay(request);
    case IOCTL_BUS_GET_USB_SPEED: return GetUsbSpeed(request);
    case IOCTL_BUS_QUERY_HANDLE_TYPE: return QueryHandleType(request);
    case IOCTL_BUS_GET_CAPABILITIES: return GetCapabilities(request);
    case IOCTL_BUS_QUERY_WORD_PAIR: return QueryWordPair(request);
    case IOCTL_BUS_SET_COMPRESSION: return SetCompression(request);
    case IOCTL_BUS_NOP: return Nop(request);
    case IOCTL_BUS_QUERY_MASK: return QueryMask(request);
    case IOCTL_BUS_GET_INTERFACE_VERSION: return GetInterfaceVersion(request);
    case IOCTL_BUS_ATTACH_DISPLAY_EX: return AttachDisplayEx(request);
    case IOCTL_BUS_GET_CHANNEL_INFO: return GetChannelInfo(request);
    default: return Answer(STATUS_INVALID_PARAMETER);  // retired codes included
  }
}

// A device that is not started answers only whether a display is connected; everything else
// learns that the state is wrong, except the retired codes, which fail alike in every state.
AdapterResult ServeNotStarted(AdapterRequest* request, ULONG code) {
  if (code == IOCTL_BUS_QUERY_DISPLAY_CONNECTED) return QueryDisplayConnected(request, FALSE);
  if (IsRetiredCode(code)) return Answer(STATUS_INVALID_PARAMETER);
  return Answer(STATUS_INVALID_DEVICE_STATE);
}

}  // namespace

NTSTATUS AdapterDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  AdapterRequest request;
  request.Bus = (BusDeviceContext*)device->DeviceExtension;
  request.Device = device;
  request.Irp = irp;
  request.InLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.Buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
  request.Selector = SelectorOf(stack);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (!IoCountAcquireIfStarted(request.Bus)) {
    AdapterResult result = ServeNotStarted(&request, code);
    return CompleteRequest(irp, result.Status, result.Information);
  }
  AdapterResult result = ServeStarted(&request, code);
  NTSTATUS status = CompleteRequest(irp, result.Status, result.Information);
  IoCountDecrement(request.Bus);
  return status;
}
