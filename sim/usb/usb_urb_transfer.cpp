// Bulk and interrupt URBs, and the queueing and cancellation every queued request shares.
#include "host/hostk.h"
#include "sim/usb/usb_port_core.h"

namespace kxsim {
namespace {

const UsbResult kInvalidParameter = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0};
const UsbResult kCancelled = {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0};

// The host controller reads and writes a buffer given by address at DISPATCH_LEVEL, where a page
// fault cannot be served: a buffer from paged pool must have its pages locked for the transfer.
void RequireResident(const void* buffer, ULONG length) {
  POOL_TYPE type;
  if (!hostk::PoolContainsRange(buffer, length, &type) || (type & 1) == 0) return;
  if (hostk::MdlRangeLocked(buffer, length)) return;
  hostk::BugCheckParamsF(hostk::kIrqlNotLessOrEqual, (ULONG_PTR)buffer, DISPATCH_LEVEL, 0, 0,
                         "a USB transfer was given %lu bytes of paged pool at %p whose pages are "
                         "not locked",
                         (unsigned long)length, buffer);
}

bool IsDataPipe(const UsbPipe& pipe) {
  return pipe.type == UsbdPipeTypeBulk || pipe.type == UsbdPipeTypeInterrupt;
}

}  // namespace

bool ResolveTransferBuffer(PVOID buffer, PMDL mdl, ULONG length, UCHAR** address,
                           UsbResult* failure) {
  *address = nullptr;
  if (length == 0) return true;
  if (mdl != nullptr) {
    if (MmGetMdlByteCount(mdl) < length) {
      *failure = kInvalidParameter;
      return false;
    }
    *address = (UCHAR*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);
    if (*address == nullptr) {
      *failure = {STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES, 0};
      return false;
    }
    return true;
  }
  *address = (UCHAR*)buffer;
  if (buffer == nullptr) *failure = kInvalidParameter;
  if (buffer != nullptr) RequireResident(buffer, length);
  return buffer != nullptr;
}

bool UsbPortCore::FindPipe(USBD_PIPE_HANDLE handle, UsbPipe* pipe) const {
  std::lock_guard<std::mutex> guard(lock_);
  const UsbPipe* found = pipes_.Find(handle);
  if (found != nullptr) *pipe = *found;
  return found != nullptr;
}

NTSTATUS UsbPortCore::SubmitBulkOrInterrupt(PIRP irp, PURB urb) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& request = urb->UrbBulkOrInterruptTransfer;
  UsbResult failure = kInvalidParameter;
  UsbPipe pipe;
  UCHAR* buffer = nullptr;
  bool valid = urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  if (valid && !FindPipe(request.PipeHandle, &pipe)) {
    failure = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE, 0};
    valid = false;
  }
  valid = valid && IsDataPipe(pipe) && request.TransferBufferLength <= pipe.maxTransferSize &&
          ResolveTransferBuffer(request.TransferBuffer, request.TransferBufferMDL,
                                request.TransferBufferLength, &buffer, &failure);
  if (!valid) {
    request.TransferBufferLength = 0;
    return CompleteNow(irp, urb, failure);
  }
  // The endpoint decides the direction; the stack sets the flag to match.
  bool in = USB_ENDPOINT_DIRECTION_IN(pipe.address) != 0;
  request.TransferFlags = (request.TransferFlags & ~USBD_TRANSFER_DIRECTION) |
                          (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT);
  auto pending = std::make_shared<UsbPending>();
  pending->irp = irp;
  pending->urb = urb;
  pending->kind =
      pipe.type == UsbdPipeTypeInterrupt ? UsbTransferKind::Interrupt : UsbTransferKind::Bulk;
  pending->queue = pipe.address;
  pending->endpoint = pipe.address;
  pending->in = in;
  pending->shortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
  pending->requested = request.TransferBufferLength;
  pending->buffer = buffer;
  pending->userAtSubmit = buffer != nullptr && hostk::UserRangeContains(buffer);
  pending->owner = hostk::OwnerOfSystemBuffer(buffer, pending->requested);
  pending->submittedAt = hostk::ClockNow();
  CaptureSubmit(*pending);
  hostk::ChaosPoint();
  return Enqueue(pending);
}

NTSTATUS UsbPortCore::Enqueue(const UsbPendingPtr& pending) {
  PIRP irp = pending->irp;
  IoMarkIrpPending(irp);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (goneStatus_ || stopping_) {
      pending->result = {goneStatus_.value_or(STATUS_DEVICE_NOT_CONNECTED), USBD_STATUS_DEVICE_GONE,
                         0};
    } else {
      IoSetCancelRoutine(irp, CancelRoutine);
      if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        pending->urb->UrbHeader.Status = USBD_STATUS_PENDING;
        live_[irp] = pending;
        endpoints_[pending->queue].queue.push_back(pending);
        wake_->Wake();
        return STATUS_PENDING;
      }
      pending->result = kCancelled;  // cancelled before it was queued
    }
  }
  pending->phase = UsbPhase::Retired;
  Finish(pending);
  return STATUS_PENDING;
}

VOID NTAPI UsbPortCore::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CoreOf(device)->OnCancel(irp);
}

void UsbPortCore::OnCancel(PIRP irp) {
  UsbPendingPtr pending;
  std::vector<UsbPendingPtr> tellDevice;
  bool finishHere;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = live_.find(irp);
    if (it == live_.end()) {
      hostk::BugCheck(hostk::kDriverVerifierDetectedViolation,
                      "USB port: cancel routine called for a request it does not hold",
                      (ULONG_PTR)irp);
    }
    pending = it->second;
    // Once the host controller has ended, nobody else would complete it.
    finishHere = !controllerRunning_;
    if (!finishHere) {
      RetireLocked(pending, kCancelled, &tellDevice);
    } else if (DetachLocked(pending, kCancelled)) {
      tellDevice.push_back(pending);
    }
  }
  TellDeviceCancelled(tellDevice);
  if (finishHere) Finish(pending);
}

NTSTATUS UsbPortCore::CompleteNow(PIRP irp, PURB urb, const UsbResult& result, UCHAR endpoint) {
  CaptureInfo(irp, urb, endpoint, USBD_STATUS_SUCCESS, false);
  urb->UrbHeader.Status = result.usbdStatus;
  CaptureInfo(irp, urb, endpoint, result.usbdStatus, true);
  irp->IoStatus.Status = result.status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return result.status;
}

}  // namespace kxsim
