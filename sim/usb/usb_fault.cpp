// Injected faults and the plan they make for the next transfer of an endpoint.
#include "sim/usb/usb_fault.h"

#include <algorithm>

namespace kxsim {
namespace {

int Rank(UsbFaultPlan::Outcome outcome) {
  switch (outcome) {
    case UsbFaultPlan::Outcome::Gone: return 3;
    case UsbFaultPlan::Outcome::Stall: return 2;
    case UsbFaultPlan::Outcome::NoAnswer: return 1;
    case UsbFaultPlan::Outcome::Device: return 0;
  }
  return 0;
}

void Raise(UsbFaultPlan* plan, UsbFaultPlan::Outcome outcome) {
  if (Rank(outcome) > Rank(plan->outcome)) plan->outcome = outcome;
}

void Apply(const UsbFault& fault, UsbFaultPlan* plan) {
  switch (fault.kind) {
    case UsbFault::Kind::Stall: Raise(plan, UsbFaultPlan::Outcome::Stall); break;
    case UsbFault::Kind::NoAnswer: Raise(plan, UsbFaultPlan::Outcome::NoAnswer); break;
    case UsbFault::Kind::DeviceGone:
    case UsbFault::Kind::Contradict:
      if (plan->outcome != UsbFaultPlan::Outcome::Gone) {
        plan->goneStatus = fault.status;
        plan->goneUsbdStatus = fault.usbdStatus;
      }
      Raise(plan, UsbFaultPlan::Outcome::Gone);
      break;
    case UsbFault::Kind::Short: plan->inLimit = std::min(plan->inLimit, fault.bytes); break;
    case UsbFault::Kind::FailAfter:
      if (fault.bytes < plan->failAfter) {
        plan->failAfter = fault.bytes;
        plan->failStatus = fault.usbdStatus;
      }
      break;
    case UsbFault::Kind::Delay: plan->delay += fault.delay; break;
  }
}

UsbFault Make(UsbFault::Kind kind, int uses) {
  UsbFault fault;
  fault.kind = kind;
  fault.uses = uses;
  return fault;
}

}  // namespace

UsbFault UsbFault::Stall() { return Make(Kind::Stall, 1); }

UsbFault UsbFault::NoAnswer() { return Make(Kind::NoAnswer, -1); }

UsbFault UsbFault::DeviceGone(NTSTATUS status, USBD_STATUS usbdStatus) {
  UsbFault fault = Make(Kind::DeviceGone, -1);
  fault.status = status;
  fault.usbdStatus = usbdStatus;
  return fault;
}

UsbFault UsbFault::Short(ULONG maxBytes) {
  UsbFault fault = Make(Kind::Short, -1);
  fault.bytes = maxBytes;
  return fault;
}

UsbFault UsbFault::FailAfter(ULONG bytes, USBD_STATUS usbdStatus) {
  UsbFault fault = Make(Kind::FailAfter, 1);
  fault.bytes = bytes;
  fault.usbdStatus = usbdStatus;
  return fault;
}

UsbFault UsbFault::Delay(LONGLONG hundredNs) {
  UsbFault fault = Make(Kind::Delay, -1);
  fault.delay = hundredNs;
  return fault;
}

UsbFault UsbFault::Contradict(NTSTATUS status, USBD_STATUS usbdStatus) {
  UsbFault fault = Make(Kind::Contradict, 1);
  fault.status = status;
  fault.usbdStatus = usbdStatus;
  return fault;
}

UsbFault UsbFault::Times(int count) const {
  UsbFault fault = *this;
  fault.uses = count;
  return fault;
}

UsbFaultPlan UsbEndpointFaults::Take() {
  UsbFaultPlan plan;
  for (UsbFault& fault : faults_) {
    Apply(fault, &plan);
    if (fault.uses > 0) fault.uses--;
  }
  faults_.erase(std::remove_if(faults_.begin(), faults_.end(),
                               [](const UsbFault& fault) { return fault.uses == 0; }),
                faults_.end());
  return plan;
}

}  // namespace kxsim
