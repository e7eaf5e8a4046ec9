// The USB stack below the adapter: the physical device object a USB hub would create for the
// device, answering IOCTL_INTERNAL_USB_SUBMIT_URB as the platform's stack does.
//
// - Descriptor reads, bulk and interrupt transfers are queued per endpoint and completed by a
//   host-controller thread at DISPATCH_LEVEL; the submitter always sees STATUS_PENDING, and every
//   queued request can be cancelled (STATUS_CANCELLED, USBD_STATUS_CANCELED). The request that
//   cancels returns before the cancelled one completes, on the host controller's thread.
// - Select configuration, reset pipe and abort pipe complete at once, at PASSIVE_LEVEL as the
//   platform requires of the first two. A null configuration descriptor deconfigures: every pipe
//   handle becomes invalid (USBD_STATUS_INVALID_PIPE_HANDLE), as do the old handles after a new
//   selection; transfers still queued on closed pipes are cancelled.
// - Bulk and interrupt transfers: the direction is the endpoint's (the URB's flag is set to
//   match); the MDL is used when both a buffer and an MDL are given; a length above the pipe's
//   MaximumTransferSize is refused (USBD_STATUS_INVALID_PARAMETER); a zero-length transfer is
//   allowed. A short IN answer without USBD_SHORT_TRANSFER_OK fails with
//   USBD_STATUS_ERROR_SHORT_TRANSFER under the UHCI/OHCI rule, the default (EHCI ignores the flag).
// - A failed bulk or interrupt transfer halts its pipe (cancellation and a gone device do not):
//   queued transfers wait until URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, which the client may
//   send only with no transfer pending on the pipe (else USBD_STATUS_ERROR_BUSY). Control
//   transfers never halt.
// - Request status with a failing URB status: STATUS_UNSUCCESSFUL for device errors,
//   STATUS_INVALID_PARAMETER for bad handles and parameters, STATUS_NOT_SUPPORTED for unknown URB
//   functions (USBD_STATUS_INVALID_URB_FUNCTION), or what a device-gone fault chose.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb/usb_device_model.h"
#include "sim/usb/usb_fault.h"

namespace kxsim {

class UsbPortCore;

enum class ShortPacketRule {
  Error,   // UHCI and OHCI: a short IN transfer without USBD_SHORT_TRANSFER_OK fails, pipe halts
  Ignore,  // EHCI: the flag is ignored and short transfers succeed
};

struct UsbPortOptions {
  bool bandwidthModel = false;  // see usb_bandwidth.h
  ShortPacketRule shortPackets = ShortPacketRule::Error;
  std::string capturePath;  // a pcap file of every URB; "" for none
  USHORT bus = 1;           // as the capture names the device
  USHORT deviceAddress = 1;
  // The device states the hub reports for the sleeping system states S1, S2 and S3.
  DEVICE_POWER_STATE sleepingDeviceStates[3] = {PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
  // The deepest device state from which the device can wake the system (from S3), as the hub
  // reports it; PowerDeviceUnspecified for a device that cannot wake, whose stack refuses
  // IRP_MN_WAIT_WAKE with STATUS_NOT_SUPPORTED. A device that can wake holds one wait-wake request
  // until SignalWake or a cancel ends it.
  DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
};

// A power request as the USB stack received it.
struct UsbPowerRequest {
  UCHAR minor;
  POWER_STATE_TYPE type;  // for IRP_MN_SET_POWER and IRP_MN_QUERY_POWER
  POWER_STATE state;      // the system state of IRP_MN_WAIT_WAKE
};

// What an armed transfer meets (ArmTransferEvent).
enum class UsbTransferEvent {
  None,
  Stall,    // the endpoint answers STALL (a data pipe halts)
  Timeout,  // the endpoint never answers, until the transfer is cancelled
  Short,    // half the bytes: an IN answer stops short, an OUT transfer fails after half
  Unplug,   // the device leaves the bus as the transfer starts
};

struct UsbPortCounters {
  ULONG urbs = 0;  // submitted, of every function
  ULONG descriptorReads = 0;
  ULONG selections = 0;          // select-configuration URBs that succeeded, deselections included
  ULONG pipeResets = 0;          // that succeeded
  ULONG transfersCompleted = 0;  // bulk and interrupt, with any status
  ULONGLONG bytesIn = 0;         // moved by bulk and interrupt transfers
  ULONGLONG bytesOut = 0;
};

class SimulatedUsbPort {
 public:
  // Creates the physical device object (of the host-side driver "\Driver\usbhub") and starts the
  // host controller. The calling thread must be a managed one at PASSIVE_LEVEL.
  explicit SimulatedUsbPort(std::shared_ptr<UsbDeviceModel> device, UsbPortOptions options = {});
  // Stops, then deletes the device object: nothing may be attached to it any more.
  ~SimulatedUsbPort();
  SimulatedUsbPort(const SimulatedUsbPort&) = delete;
  SimulatedUsbPort& operator=(const SimulatedUsbPort&) = delete;

  PDEVICE_OBJECT Pdo() const;
  UsbDeviceModel& Device() const;

  // Ends the host controller: every request still queued completes (cancelled, or with the
  // device-gone status after Unplug) and later URBs fail with STATUS_DEVICE_NOT_CONNECTED.
  void Stop();

  // Faults per endpoint address (0x00 for the control endpoint, which descriptor reads use).
  void InjectFault(UCHAR endpoint, const UsbFault& fault);
  void ClearFaults(UCHAR endpoint);
  void ClearAllFaults();
  // The device leaves the bus: queued requests fail with `status` and USBD_STATUS_DEVICE_GONE,
  // and so does every later URB, at once.
  void Unplug(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED);
  bool Unplugged() const;
  // The same, done shortly after on the host controller's thread: for a caller that must not
  // wait or complete requests itself (one inside a driver's call, under its locks).
  void UnplugSoon();

  // One transfer, counted over every endpoint in the order the host controller hands transfers to
  // the device (descriptor reads, bulk and interrupt transfers; 1 is the port's first), meets
  // `event`; an index already passed is never met. One armed at a time.
  void ArmTransferEvent(uint64_t index, UsbTransferEvent event);
  // Transfers handed to the device since the port was made, and each one's endpoint in order.
  uint64_t TransfersHanded() const;
  std::vector<UCHAR> HandedEndpoints() const;

  void SetBandwidthModel(bool on);
  // Replaces any capture in progress; false when the file cannot be created.
  bool StartCapture(const std::string& path);
  void StopCapture();

  // bConfigurationValue of the selected configuration, 0 when unconfigured.
  UCHAR ConfigurationValue() const;
  // The open pipe of an endpoint, or nullptr.
  USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) const;
  bool IsHalted(UCHAR endpoint) const;
  // Requests queued on an endpoint (0x00 for descriptor reads) and not yet completed.
  size_t PendingCount(UCHAR endpoint) const;
  size_t PendingCount() const;
  UsbPortCounters Counters() const;

  // Power: every power request that reached the stack, in order; whether a wait-wake request is
  // held; and the wake itself, which completes the held request with `status` (false when none
  // was held, or its cancel is already under way). A device set-power request is answered later,
  // from the host controller's thread (a power-up at DISPATCH_LEVEL), as a hub answers it; system
  // and query requests are answered at once.
  std::vector<UsbPowerRequest> PowerRequests() const;
  bool WaitWakeHeld() const;
  bool SignalWake(NTSTATUS status = STATUS_SUCCESS);
  // The next `count` device set-power requests for D0 fail (STATUS_UNSUCCESSFUL), as a hub port
  // that cannot resume the device answers them.
  void FailPowerUps(int count);

 private:
  std::unique_ptr<UsbPortCore> core_;
};

}  // namespace kxsim
