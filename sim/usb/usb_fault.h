// Faults a test or a scenario injects into one endpoint of the simulated USB stack. Each fault
// applies to the transfers that start on the endpoint while it has uses left; several combine
// (a delay with a short answer, say), the gravest outcome first: device gone, stall, no answer.
#pragma once

#include <vector>

#include "host/ntddk.h"
#include "host/usb.h"

namespace kxsim {

struct UsbFault {
  enum class Kind {
    Stall,       // the endpoint answers STALL: USBD_STATUS_STALL_PID, and the pipe halts
    NoAnswer,    // the endpoint never answers (NAKs forever) until the transfer is cancelled
    DeviceGone,  // the device is not there: `status` with `usbdStatus`
    Short,       // an IN endpoint sends at most `bytes` (OUT transfers are not affected)
    FailAfter,   // the transfer moves `bytes`, then fails with `usbdStatus`; the pipe halts
    Delay,       // the answer comes `delay` (100 ns units) later
    Contradict,  // ends at once with `status` and `usbdStatus`, nothing moved: a stack whose
                 // request status and URB status disagree (success with a failing URB, say)
  };

  Kind kind = Kind::Stall;
  ULONG bytes = 0;
  LONGLONG delay = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  int uses = -1;  // transfers it applies to; -1 until cleared

  // A stall applies once: the halted pipe then holds further transfers until it is reset.
  static UsbFault Stall();
  static UsbFault NoAnswer();
  static UsbFault DeviceGone(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED,
                             USBD_STATUS usbdStatus = USBD_STATUS_DEVICE_GONE);
  static UsbFault Short(ULONG maxBytes);
  static UsbFault FailAfter(ULONG bytes, USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING);
  static UsbFault Delay(LONGLONG hundredNs);
  static UsbFault Contradict(NTSTATUS status, USBD_STATUS usbdStatus);
  UsbFault Times(int count) const;
};

// What the injected faults make of one transfer.
struct UsbFaultPlan {
  enum class Outcome { Device, Stall, NoAnswer, Gone };
  Outcome outcome = Outcome::Device;
  NTSTATUS goneStatus = STATUS_DEVICE_NOT_CONNECTED;
  USBD_STATUS goneUsbdStatus = USBD_STATUS_DEVICE_GONE;
  ULONG inLimit = 0xFFFFFFFF;    // an IN answer is cut to this
  ULONG failAfter = 0xFFFFFFFF;  // the transfer fails once this many bytes moved
  USBD_STATUS failStatus = USBD_STATUS_SUCCESS;
  LONGLONG delay = 0;
};

// The faults of one endpoint; Take uses them up.
class UsbEndpointFaults {
 public:
  void Add(const UsbFault& fault) { faults_.push_back(fault); }
  void Clear() { faults_.clear(); }
  bool Empty() const { return faults_.empty(); }
  UsbFaultPlan Take();

 private:
  std::vector<UsbFault> faults_;
};

}  // namespace kxsim
