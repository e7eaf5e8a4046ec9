// A USB device as the simulated USB stack sees it: its descriptors in wire format, and its
// endpoints, which receive transfers and answer them now or later.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/ntddk.h"
#include "host/usb.h"

namespace kxsim {

enum class UsbSpeed { Full, High, Super };

enum class UsbTransferKind { Control, Bulk, Interrupt };

// How a transfer ended, as the URB and the request report it.
struct UsbResult {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  ULONG length = 0;  // bytes moved
};

// The request status the USB stack pairs with a failing URB status.
NTSTATUS NtStatusForUsbd(USBD_STATUS usbdStatus);

// Wakes the host controller when a device answers a transfer it kept.
struct UsbWakeSignal {
  UsbWakeSignal();
  void Wake();
  KEVENT event;  // synchronization event
};

// One transfer handed to a device endpoint. The device answers it exactly once (the first answer
// wins); every answering call returns false once the transfer has ended (answered, cancelled, or
// the port stopped), so a device may keep a transfer and answer it later from any thread.
class UsbTransfer {
 public:
  UsbTransferKind Kind() const { return kind_; }
  UCHAR Endpoint() const { return endpoint_; }
  bool IsIn() const { return USB_ENDPOINT_DIRECTION_IN(endpoint_) != 0; }
  // The most the device may move (the request's length, less what an injected fault cuts off).
  ULONG Length() const { return length_; }

  // The driver's buffer (or the system address of its MDL). Valid only while the device's
  // Transfer() call runs: the request cannot end meanwhile. Later, use CompleteIn and ReadOut.
  UCHAR* Buffer() const { return buffer_; }

  // Success with `length` bytes moved; an IN device has already written them into Buffer().
  bool Complete(ULONG length);
  // IN: the device sends `data`; more than Length() is babble (the excess is dropped and the
  // transfer fails with USBD_STATUS_DATA_OVERRUN). Safe at any time.
  bool CompleteIn(const void* data, size_t size);
  // OUT: a copy of what the driver sends; false once the transfer has ended.
  bool ReadOut(std::vector<uint8_t>* bytes) const;
  // The endpoint fails the transfer after moving `length` bytes.
  bool Fail(USBD_STATUS usbdStatus, ULONG length = 0);
  bool Fail(NTSTATUS status, USBD_STATUS usbdStatus, ULONG length);

  // Answered by the device, or ended by the stack.
  bool Finished() const;

 private:
  friend class UsbTransferControl;
  enum class State { Open, Answered, Ended };

  UsbTransfer(UsbTransferKind kind, UCHAR endpoint, UCHAR* buffer, ULONG length,
              std::shared_ptr<UsbWakeSignal> wake);
  bool Answer(const UsbResult& result, const void* data, size_t size);

  const UsbTransferKind kind_;
  const UCHAR endpoint_;
  UCHAR* const buffer_;
  const ULONG length_;
  const std::shared_ptr<UsbWakeSignal> wake_;
  mutable std::mutex lock_;
  State state_ = State::Open;
  UsbResult result_;
};

// What the stack needs of a device. Calls come from the stack's threads (the host controller, the
// thread that cancels a request, the one that selects a configuration) without any of the
// stack's locks held; an implementation guards its own state. No call may wait.
class UsbDeviceModel {
 public:
  virtual ~UsbDeviceModel() = default;

  virtual UsbSpeed Speed() const = 0;
  virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
  // The whole configuration (wTotalLength bytes); empty when there is no such index, which the
  // device answers with a stall.
  virtual std::vector<uint8_t> ConfigurationDescriptor(UCHAR index) const = 0;
  virtual std::vector<uint8_t> StringDescriptor(UCHAR /*index*/, USHORT /*languageId*/) const {
    return {};
  }

  // A bulk or interrupt transfer on one of the device's endpoints. Transfers of one endpoint
  // arrive one at a time: the next comes once this one is answered or ended.
  virtual void Transfer(const std::shared_ptr<UsbTransfer>& transfer) = 0;
  // A transfer the device kept was cancelled; it has ended, the device drops it.
  virtual void TransferCancelled(const std::shared_ptr<UsbTransfer>& /*transfer*/) {}
  // SET_CONFIGURATION with this value (0: unconfigured).
  virtual void ConfigurationSelected(UCHAR /*value*/) {}
  // CLEAR_FEATURE(ENDPOINT_HALT) after the host reset the pipe.
  virtual void EndpointReset(UCHAR /*endpoint*/) {}
};

}  // namespace kxsim
