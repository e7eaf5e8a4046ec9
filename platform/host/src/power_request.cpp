// PoRequestPowerIrp and PoSetPowerState: device power requests a power policy owner asks for, sent
// to the top of the stack of the device it names (as power_delivery.cpp delivers them: a pageable
// stack asked from DISPATCH_LEVEL hears the request from the power manager's worker), with its
// callback called once the request has ended and the request freed by the power manager
// afterwards.
#include <atomic>

#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/hostk/power.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "power_internal.h"

namespace hostk {
namespace {

struct RequestedPower {
  PDEVICE_OBJECT target;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE callback;
  PVOID context;
};

std::atomic<int> gFailuresAsked{0};
std::atomic<int> gOutstanding{0};

bool TakeFailure() {
  int left = gFailuresAsked.load();
  while (left > 0) {
    if (gFailuresAsked.compare_exchange_weak(left, left - 1)) return true;
  }
  return false;
}

// The power manager's own location is above the stack: the walk ends here, and the request is
// the manager's to free.
NTSTATUS NTAPI RequestedPowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  RequestedPower* request = static_cast<RequestedPower*>(context);
  IO_STATUS_BLOCK status = irp->IoStatus;
  if (request->callback != nullptr) {
    request->callback(request->target, request->minor, request->state, request->context, &status);
  }
  IoFreeIrp(irp);
  delete request;
  gOutstanding--;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void FillLocation(PIO_STACK_LOCATION stack, UCHAR minor, POWER_STATE state) {
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  if (minor == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = state.SystemState;
    return;
  }
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State = state;
  stack->Parameters.Power.ShutdownType = PowerActionNone;
}

}  // namespace

DEVICE_POWER_STATE PoDevicePowerStateOf(PDEVICE_OBJECT device) {
  CheckDeviceObject(device, "PoDevicePowerStateOf");
  return (DEVICE_POWER_STATE)__atomic_load_n(&RecordOf(device)->powerState, __ATOMIC_SEQ_CST);
}

void PoFailRequestPowerIrp(int count) { gFailuresAsked.store(count); }

int PowerRequestsOutstanding() { return gOutstanding.load(); }

void PowerRequestsResetForNextTest() {
  gFailuresAsked.store(0);
  gOutstanding.store(0);
}

}  // namespace hostk

using namespace hostk;

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  CheckDeviceObject(DeviceObject, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  if (TakeFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // as the platform sends a request nobody answered
  FillLocation(IoGetNextIrpStackLocation(irp), MinorFunction, PowerState);
  RequestedPower* request =
      new RequestedPower{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  IoSetCompletionRoutine(irp, RequestedPowerDone, request, TRUE, TRUE, TRUE);
  gOutstanding++;
  // The request may be over and freed before the call returns; the caller keeps the pointer only
  // to cancel a wait-wake request that is still outstanding.
  if (Irp != nullptr) *Irp = irp;
  PowerDeliver(top, irp);
  ObfDereferenceObject(top);
  return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  CheckDeviceObject(DeviceObject, "PoSetPowerState");
  POWER_STATE previous;
  if (Type != DevicePowerState) {
    previous.SystemState = PoCurrentSystemPowerState();
    return previous;
  }
  previous.DeviceState = (DEVICE_POWER_STATE)__atomic_exchange_n(
      &RecordOf(DeviceObject)->powerState, (LONG)State.DeviceState, __ATOMIC_SEQ_CST);
  return previous;
}
