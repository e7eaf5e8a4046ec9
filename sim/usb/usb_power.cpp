// The USB stack's power answers: set- and query-power succeed; a device that can wake holds one
// wait-wake request until the wake is signalled or the request is cancelled, as a hub holds it
// until the device signals resume.
//
// A device set-power request is not answered in the dispatch routine: the hub changes the port's
// power first, so the request is marked pending and completed from the host controller's thread,
// at DISPATCH_LEVEL for a power-up (the hub's interrupt work) and at PASSIVE_LEVEL for a
// power-down. As a bus driver must, the port calls PoStartNextPowerIrp just before it completes
// each request (and PoSetPowerState for a device state it reached), so the stack's function driver
// runs its power-up completion routine at DISPATCH_LEVEL, as it does on the platform.
//
// Ownership of the held request follows the cancel protocol: whoever takes the cancel routine
// away completes it, the wake or the cancel routine, never both.
#include "host/hostk.h"
#include "sim/usb/usb_port_core.h"

namespace kxsim {
namespace {

UsbPowerRequest Describe(PIO_STACK_LOCATION stack) {
  UsbPowerRequest request = {stack->MinorFunction, SystemPowerState, {}};
  if (stack->MinorFunction == IRP_MN_WAIT_WAKE) {
    request.state.SystemState = stack->Parameters.WaitWake.PowerState;
  } else {
    request.type = stack->Parameters.Power.Type;
    request.state = stack->Parameters.Power.State;
  }
  return request;
}

}  // namespace

NTSTATUS NTAPI UsbPortCore::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  UsbPortCore* core = CoreOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR minor = stack->MinorFunction;
  {
    std::lock_guard<std::mutex> guard(core->lock_);
    core->powerRequests_.push_back(Describe(stack));
  }
  if (minor == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    NTSTATUS status = core->TakePowerUpFailure(stack) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    return core->QueueDevicePower(irp, stack->Parameters.Power.State.DeviceState, status);
  }
  PoStartNextPowerIrp(irp);
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
    return CompletePdoRequest(irp, STATUS_SUCCESS);
  }
  if (minor == IRP_MN_WAIT_WAKE) {
    if (core->options_.deviceWake == PowerDeviceUnspecified) {
      return CompletePdoRequest(irp, STATUS_NOT_SUPPORTED);
    }
    return core->HoldWaitWake(irp);
  }
  // A bus driver leaves the status of a request it does not handle as it found it.
  return CompletePdoRequest(irp, irp->IoStatus.Status);
}

NTSTATUS UsbPortCore::QueueDevicePower(PIRP irp, DEVICE_POWER_STATE state, NTSTATUS status) {
  UsbPendingPower request = {irp, state, status};
  IoMarkIrpPending(irp);
  bool queued;
  {
    std::lock_guard<std::mutex> guard(lock_);
    queued = !stopping_;
    if (queued) devicePower_.push_back(request);
  }
  if (queued) {
    wake_->Wake();
  } else {
    CompleteDevicePower(request);
  }
  return STATUS_PENDING;
}

void UsbPortCore::CompleteDevicePower(const UsbPendingPower& request) {
  bool powerUp = request.state == PowerDeviceD0;
  KIRQL irql = PASSIVE_LEVEL;
  if (powerUp) KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if (NT_SUCCESS(request.status)) {
    POWER_STATE state;
    state.DeviceState = request.state;
    PoSetPowerState(pdo_, DevicePowerState, state);
  }
  PoStartNextPowerIrp(request.irp);
  CompletePdoRequest(request.irp, request.status);
  if (powerUp) KeLowerIrql(irql);
}

NTSTATUS UsbPortCore::HoldWaitWake(PIRP irp) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (waitWake_ != nullptr) {
      // The platform allows one wait-wake request per device at a time.
      irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    } else {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelWaitWake);
      if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr) {
        waitWake_ = irp;
        return STATUS_PENDING;
      }
      irp->IoStatus.Status = STATUS_CANCELLED;  // cancelled before it was held: ours to complete
    }
  }
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status == STATUS_CANCELLED ? STATUS_PENDING : status;
}

VOID NTAPI UsbPortCore::CancelWaitWake(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  UsbPortCore* core = CoreOf(device);
  {
    std::lock_guard<std::mutex> guard(core->lock_);
    if (core->waitWake_ == irp) core->waitWake_ = nullptr;
  }
  CompletePdoRequest(irp, STATUS_CANCELLED);
}

bool UsbPortCore::SignalWake(NTSTATUS status) {
  PIRP irp;
  {
    std::lock_guard<std::mutex> guard(lock_);
    irp = waitWake_;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    waitWake_ = nullptr;
  }
  // The wake arrives as the hub's interrupt does, at DISPATCH_LEVEL.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  CompletePdoRequest(irp, status);
  KeLowerIrql(irql);
  return true;
}

void UsbPortCore::FailPowerUps(int count) {
  std::lock_guard<std::mutex> guard(lock_);
  failPowerUps_ = count;
}

bool UsbPortCore::TakePowerUpFailure(PIO_STACK_LOCATION stack) {
  if (stack->Parameters.Power.Type != DevicePowerState ||
      stack->Parameters.Power.State.DeviceState != PowerDeviceD0) {
    return false;
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (failPowerUps_ == 0) return false;
  failPowerUps_--;
  return true;
}

bool UsbPortCore::WaitWakeHeld() const {
  std::lock_guard<std::mutex> guard(lock_);
  return waitWake_ != nullptr;
}

std::vector<UsbPowerRequest> UsbPortCore::PowerRequests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return powerRequests_;
}

}  // namespace kxsim
