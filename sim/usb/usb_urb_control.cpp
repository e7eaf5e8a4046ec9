// URBs on the default pipe and on pipes as a whole: descriptor reads, configuration selection,
// pipe reset and abort, and the routing of every URB function.
#include <algorithm>
#include <cstddef>

#include "host/hostk.h"
#include "host/usbdlib.h"
#include "sim/usb/usb_descriptors.h"
#include "sim/usb/usb_port_core.h"

namespace kxsim {
namespace {

const UsbResult kInvalidParameter = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0};
const UsbResult kInvalidPipe = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0};

// The interface informations of a select URB, walked by their own Length fields.
bool CollectInterfaces(PURB urb, std::vector<PUSBD_INTERFACE_INFORMATION>* infos) {
  const size_t minimum = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  PUCHAR at = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
  PUCHAR end = (PUCHAR)urb + urb->UrbHeader.Length;
  while (at + minimum <= end) {
    PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
    if (info->Length < minimum || at + info->Length > end) return false;
    infos->push_back(info);
    at += info->Length;
  }
  return !infos->empty();
}

// Every listed interface must be in the configuration, with room for all of its pipes.
bool CheckInterfaces(const ParsedConfiguration& parsed,
                     const std::vector<PUSBD_INTERFACE_INFORMATION>& infos, UsbResult* failure) {
  for (PUSBD_INTERFACE_INFORMATION info : infos) {
    const ParsedInterface* found =
        FindInterface(parsed, info->InterfaceNumber, info->AlternateSetting);
    if (found == nullptr) {
      *failure = {STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND, 0};
      return false;
    }
    if (info->Length < GET_USBD_INTERFACE_SIZE(found->endpoints.size())) {
      *failure = {STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL, 0};
      return false;
    }
  }
  return true;
}

// Fills in what the stack reports of an interface; the pipes' MaximumTransferSize is the
// client's.
void OpenInterface(PUSBD_INTERFACE_INFORMATION info, const ParsedInterface& parsed,
                   UsbPipeTable* pipes) {
  info->Class = parsed.interfaceClass;
  info->SubClass = parsed.interfaceSubClass;
  info->Protocol = parsed.interfaceProtocol;
  info->InterfaceHandle = pipes->NewHandle();
  info->NumberOfPipes = (ULONG)parsed.endpoints.size();
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    const ParsedEndpoint& endpoint = parsed.endpoints[i];
    USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
    pipe.MaximumPacketSize = endpoint.maxPacketSize & 0x7FF;
    pipe.EndpointAddress = endpoint.address;
    pipe.Interval = endpoint.interval;
    pipe.PipeType = (USBD_PIPE_TYPE)(endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
    pipe.PipeHandle = pipes->Open({pipe.EndpointAddress, pipe.PipeType, pipe.MaximumPacketSize,
                                   pipe.Interval, pipe.MaximumTransferSize});
  }
}

bool NotControl(UCHAR queue) { return queue != 0; }

}  // namespace

NTSTATUS UsbPortCore::SubmitUrb(PIRP irp, PURB urb) {
  if (urb == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    counters_.urbs++;
  }
  UsbResult gone;
  if (IsGoneOrStopped(&gone)) return CompleteNow(irp, urb, gone);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return SubmitDescriptorRead(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return SubmitBulkOrInterrupt(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE: return PipeRequest(irp, urb);
    default:
      return CompleteNow(irp, urb, {STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION, 0});
  }
}

NTSTATUS UsbPortCore::SubmitDescriptorRead(PIRP irp, PURB urb) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
  UCHAR* buffer = nullptr;
  UsbResult failure = kInvalidParameter;
  if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ||
      !ResolveTransferBuffer(request.TransferBuffer, request.TransferBufferMDL,
                             request.TransferBufferLength, &buffer, &failure)) {
    request.TransferBufferLength = 0;
    return CompleteNow(irp, urb, failure);
  }
  auto pending = std::make_shared<UsbPending>();
  pending->irp = irp;
  pending->urb = urb;
  pending->kind = UsbTransferKind::Control;
  pending->queue = 0x00;
  pending->endpoint = 0x80;
  pending->in = true;
  pending->shortOk = true;
  pending->requested = request.TransferBufferLength;
  pending->buffer = buffer;
  pending->owner = hostk::OwnerOfSystemBuffer(buffer, pending->requested);
  pending->descriptorType = request.DescriptorType;
  pending->descriptorIndex = request.Index;
  pending->languageId = request.LanguageId;
  {
    std::lock_guard<std::mutex> guard(lock_);
    counters_.descriptorReads++;
  }
  CaptureSubmit(*pending);
  return Enqueue(pending);
}

bool UsbPortCore::DeviceHasConfiguration(UCHAR value) const {
  std::vector<uint8_t> device = device_->DeviceDescriptor();
  // Index 0 is asked for even of a device that reports no configuration count.
  int count = device.size() >= sizeof(USB_DEVICE_DESCRIPTOR) ? std::max<int>(device[17], 1) : 1;
  for (int index = 0; index < count; index++) {
    std::vector<uint8_t> configuration = device_->ConfigurationDescriptor((UCHAR)index);
    if (configuration.size() > 5 && configuration[5] == value) return true;
  }
  return false;
}

NTSTATUS UsbPortCore::SelectConfiguration(PIRP irp, PURB urb) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SELECT_CONFIGURATION");
  if (urb->UrbHeader.Length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
    return CompleteNow(irp, urb, kInvalidParameter);
  }
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
  if (descriptor == nullptr) return Deconfigure(irp, urb);
  ParsedConfiguration parsed;
  std::vector<PUSBD_INTERFACE_INFORMATION> infos;
  UsbResult failure = kInvalidParameter;
  if (!ParseConfiguration((const uint8_t*)descriptor, descriptor->wTotalLength, &parsed) ||
      !CollectInterfaces(urb, &infos) || !CheckInterfaces(parsed, infos, &failure)) {
    return CompleteNow(irp, urb, failure);
  }
  // The device stalls SET_CONFIGURATION for a value it does not have.
  if (!DeviceHasConfiguration(parsed.value)) {
    return CompleteNow(irp, urb, {STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED, 0});
  }
  std::vector<UsbPendingPtr> tellDevice;
  {
    std::lock_guard<std::mutex> guard(lock_);
    RetireQueuesLocked(NotControl, {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0}, &tellDevice);
    pipes_.CloseAll();
    for (auto& [address, endpoint] : endpoints_) endpoint.halted = false;
    for (PUSBD_INTERFACE_INFORMATION info : infos) {
      OpenInterface(info, *FindInterface(parsed, info->InterfaceNumber, info->AlternateSetting),
                    &pipes_);
    }
    urb->UrbSelectConfiguration.ConfigurationHandle = pipes_.NewHandle();
    configurationValue_ = parsed.value;
    counters_.selections++;
  }
  TellDeviceCancelled(tellDevice);
  device_->ConfigurationSelected(parsed.value);
  return CompleteNow(irp, urb, {});
}

NTSTATUS UsbPortCore::Deconfigure(PIRP irp, PURB urb) {
  std::vector<UsbPendingPtr> tellDevice;
  {
    std::lock_guard<std::mutex> guard(lock_);
    RetireQueuesLocked(NotControl, {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0}, &tellDevice);
    pipes_.CloseAll();
    configurationValue_ = 0;
    counters_.selections++;
  }
  TellDeviceCancelled(tellDevice);
  device_->ConfigurationSelected(0);
  return CompleteNow(irp, urb, {});
}

NTSTATUS UsbPortCore::PipeRequest(PIRP irp, PURB urb) {
  USHORT function = urb->UrbHeader.Function;
  if (function != URB_FUNCTION_ABORT_PIPE) {
    hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL");
  }
  if (urb->UrbHeader.Length <
      offsetof(struct _URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE)) {
    return CompleteNow(irp, urb, kInvalidParameter);
  }
  UsbPipe pipe;
  if (!FindPipe(urb->UrbPipeRequest.PipeHandle, &pipe)) return CompleteNow(irp, urb, kInvalidPipe);
  return function == URB_FUNCTION_ABORT_PIPE ? AbortPipe(irp, urb, pipe)
                                             : ResetPipe(irp, urb, pipe);
}

NTSTATUS UsbPortCore::ResetPipe(PIRP irp, PURB urb, const UsbPipe& pipe) {
  bool busy;
  {
    std::lock_guard<std::mutex> guard(lock_);
    UsbEndpointState& endpoint = endpoints_[pipe.address];
    // The client completes or cancels every transfer of the pipe before it resets it.
    busy = !endpoint.queue.empty();
    if (!busy) {
      endpoint.halted = false;
      counters_.pipeResets++;
    }
  }
  if (busy) {
    return CompleteNow(irp, urb, {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY, 0}, pipe.address);
  }
  device_->EndpointReset(pipe.address);
  return CompleteNow(irp, urb, {}, pipe.address);
}

NTSTATUS UsbPortCore::AbortPipe(PIRP irp, PURB urb, const UsbPipe& pipe) {
  std::vector<UsbPendingPtr> tellDevice;
  {
    std::lock_guard<std::mutex> guard(lock_);
    RetireQueueLocked(endpoints_[pipe.address], {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0},
                      &tellDevice);
  }
  TellDeviceCancelled(tellDevice);
  // As on the platform, the abort may complete before the transfers it cancelled.
  return CompleteNow(irp, urb, {}, pipe.address);
}

}  // namespace kxsim
