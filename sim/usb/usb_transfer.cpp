// Transfers as devices answer them: one answer, guarded against the request's end.
#include <algorithm>
#include <cstring>

#include "sim/usb/usb_device_model.h"
#include "sim/usb/usb_transfer_control.h"

namespace kxsim {

NTSTATUS NtStatusForUsbd(USBD_STATUS usbdStatus) {
  switch (usbdStatus) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    default: return STATUS_UNSUCCESSFUL;
  }
}

UsbWakeSignal::UsbWakeSignal() { KeInitializeEvent(&event, SynchronizationEvent, FALSE); }

void UsbWakeSignal::Wake() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }

UsbTransfer::UsbTransfer(UsbTransferKind kind, UCHAR endpoint, UCHAR* buffer, ULONG length,
                         std::shared_ptr<UsbWakeSignal> wake)
    : kind_(kind), endpoint_(endpoint), buffer_(buffer), length_(length), wake_(std::move(wake)) {}

bool UsbTransfer::Answer(const UsbResult& result, const void* data, size_t size) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ != State::Open) return false;
    if (size > 0) memcpy(buffer_, data, size);
    result_ = result;
    state_ = State::Answered;
  }
  wake_->Wake();
  return true;
}

bool UsbTransfer::Complete(ULONG length) {
  return Answer({STATUS_SUCCESS, USBD_STATUS_SUCCESS, std::min(length, length_)}, nullptr, 0);
}

bool UsbTransfer::CompleteIn(const void* data, size_t size) {
  if (!IsIn()) return Complete((ULONG)std::min<size_t>(size, length_));
  if (size > length_) {
    return Answer({STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN, length_}, data, length_);
  }
  return Answer({STATUS_SUCCESS, USBD_STATUS_SUCCESS, (ULONG)size}, data, size);
}

bool UsbTransfer::ReadOut(std::vector<uint8_t>* bytes) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (state_ == State::Ended) return false;
  bytes->assign(buffer_, buffer_ + length_);
  return true;
}

bool UsbTransfer::Fail(USBD_STATUS usbdStatus, ULONG length) {
  return Fail(NtStatusForUsbd(usbdStatus), usbdStatus, length);
}

bool UsbTransfer::Fail(NTSTATUS status, USBD_STATUS usbdStatus, ULONG length) {
  return Answer({status, usbdStatus, std::min(length, length_)}, nullptr, 0);
}

bool UsbTransfer::Finished() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_ != State::Open;
}

std::shared_ptr<UsbTransfer> UsbTransferControl::Create(UsbTransferKind kind, UCHAR endpoint,
                                                        UCHAR* buffer, ULONG length,
                                                        std::shared_ptr<UsbWakeSignal> wake) {
  return std::shared_ptr<UsbTransfer>(
      new UsbTransfer(kind, endpoint, buffer, length, std::move(wake)));
}

bool UsbTransferControl::TakeAnswer(const UsbTransfer& transfer, UsbResult* result) {
  std::lock_guard<std::mutex> guard(transfer.lock_);
  if (transfer.state_ != UsbTransfer::State::Answered) return false;
  *result = transfer.result_;
  return true;
}

bool UsbTransferControl::End(UsbTransfer& transfer) {
  std::lock_guard<std::mutex> guard(transfer.lock_);
  bool open = transfer.state_ == UsbTransfer::State::Open;
  transfer.state_ = UsbTransfer::State::Ended;
  return open;
}

}  // namespace kxsim
