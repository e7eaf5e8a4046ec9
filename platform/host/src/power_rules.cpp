// PoStartNextPowerIrp and PoCallDriver, and the rules a driver keeps with them and with the power
// flags of its device object.
//
// Each power request has one owner at a time: the stack location of the driver it was last
// dispatched to, until that driver passes it on or completes it. PoStartNextPowerIrp counts only
// while the current location is the owner's: after IoSkipCurrentIrpStackLocation it is not, which
// is the mistake the platform documents as a possible deadlock. During the completion walk the
// request has no owner, and completion routines may call PoStartNextPowerIrp freely.
//
// Power flags, from Windows 2000 on: a driver must never set DO_POWER_PAGABLE when the device
// below has it clear (the stack could be called at DISPATCH_LEVEL, where a pageable driver must
// not run); before Vista every device object of a stack has the same DO_POWER_PAGABLE and
// DO_POWER_INRUSH, and no device object has both. A pageable device's dispatch routine is never
// called above PASSIVE_LEVEL: PoCallDriver queues such a request for PASSIVE_LEVEL
// (power_delivery.cpp), so a request that arrives there higher came with IoCallDriver.
#include <map>
#include <mutex>
#include <utility>

#include "host/hostk/bugcheck.h"
#include "host/hostk/client.h"
#include "host/hostk/io.h"
#include "host/hostk/irql.h"
#include "io_internal.h"
#include "io_request_verifier.h"
#include "power_internal.h"

namespace hostk {
namespace {

struct PowerIrpState {
  uint64_t generation = 0;
  CHAR owner = 0;  // 0 while nobody below the sender holds it, and during completion
  bool started = false;
};

struct Rules {
  std::mutex lock;
  std::map<PIRP, PowerIrpState> requests;
};

Rules& R() {
  static Rules* rules = new Rules;  // outlives detached threads at exit
  return *rules;
}

thread_local bool tDelivered = false;

constexpr ULONG kPowerFlags = DO_POWER_PAGABLE | DO_POWER_INRUSH;

bool NeedsStartNext(UCHAR minor) {
  return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

// The state of a request as it is now; a request reused or allocated anew starts afresh.
PowerIrpState& StateLocked(PIRP irp) {
  PowerIrpState& state = R().requests[irp];
  uint64_t generation = IrpGeneration(irp);
  if (state.generation != generation) state = PowerIrpState{generation, 0, false};
  return state;
}

[[noreturn]] void Violation(PIRP irp, UCHAR minor, const char* rule) {
  BugCheckParamsF(kDriverVerifierDetectedViolation, 0x500, (ULONG_PTR)irp, minor, 0,
                  "%s (request %p)", rule, (void*)irp);
}

[[noreturn]] void DeviceViolation(PIRP irp, PDEVICE_OBJECT device, const char* rule) {
  BugCheckParamsF(kDriverVerifierDetectedViolation, 0x501, (ULONG_PTR)irp, (ULONG_PTR)device,
                  device->Flags, "%s (request %p, device %p, flags 0x%08X)", rule, (void*)irp,
                  (void*)device, (unsigned)device->Flags);
}

void CheckDispatchIrql(PIRP irp, PDEVICE_OBJECT device) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) return;
  if (PowerAllPassive()) {
    DeviceViolation(irp, device, "a power request dispatched above PASSIVE_LEVEL: on Windows 98 "
                                 "and Me drivers pass power requests at PASSIVE_LEVEL only");
  }
  if (device->Flags & DO_POWER_PAGABLE) {
    DeviceViolation(irp, device, "a power request dispatched above PASSIVE_LEVEL to a device "
                                 "with DO_POWER_PAGABLE: the power manager calls pageable drivers "
                                 "at PASSIVE_LEVEL only (pass it with PoCallDriver, which queues "
                                 "it, not IoCallDriver)");
  }
}

void CheckPowerFlags(PIRP irp, PDEVICE_OBJECT device) {
  if (PowerAllPassive()) return;
  ULONG flags = device->Flags & kPowerFlags;
  if (PowerBeforeVista() && flags == kPowerFlags) {
    DeviceViolation(irp, device, "a device object with both DO_POWER_PAGABLE and "
                                 "DO_POWER_INRUSH: before Windows Vista a driver sets one at most");
  }
  PDEVICE_OBJECT lower = IoLowerDevice(device);
  if (lower == nullptr) return;
  ULONG lowerFlags = lower->Flags & kPowerFlags;
  if ((flags & DO_POWER_PAGABLE) && !(lowerFlags & DO_POWER_PAGABLE)) {
    DeviceViolation(irp, device, "a device object with DO_POWER_PAGABLE above one without it: a "
                                 "driver must never set DO_POWER_PAGABLE when a lower driver has "
                                 "cleared it");
  }
  if (PowerBeforeVista() && flags != lowerFlags) {
    DeviceViolation(irp, device, "device objects of one stack with different DO_POWER_PAGABLE or "
                                 "DO_POWER_INRUSH: before Windows Vista every device object of a "
                                 "stack has the same power flags");
  }
}

// PoCallDriver's own rule, checked where the driver passes the request: the platform documents
// PoStartNextPowerIrp before PoCallDriver, while the current location is still the driver's.
void CheckPassedDown(PIRP irp) {
  UCHAR minor = IoGetNextIrpStackLocation(irp)->MinorFunction;
  bool owed;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    PowerIrpState& state = StateLocked(irp);
    owed = state.owner != 0 && !state.started;
  }
  if (owed && NeedsStartNext(minor) && PowerBeforeVista()) {
    Violation(irp, minor, "a query- or set-power request passed down without PoStartNextPowerIrp "
                          "first, while the current stack location was the driver's own");
  }
}

}  // namespace

void PowerNoteDelivered() { tDelivered = true; }

bool PowerIoCallDriverDelivers(PIRP irp) {
  return !tDelivered && !PowerBeforeVista() &&
         IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
}

void PowerNoteDispatch(PIRP irp) {
  bool delivered = std::exchange(tDelivered, false);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR minor = stack->MinorFunction;
  CheckDispatchIrql(irp, stack->DeviceObject);
  CheckPowerFlags(irp, stack->DeviceObject);
  CHAR owner;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    PowerIrpState& state = StateLocked(irp);
    owner = state.owner;
    state.owner = irp->CurrentLocation;
    state.started = false;
  }
  // The sender (the power manager, or a test standing in for it) owns nothing: the rules bind
  // the drivers of the stack.
  if (owner == 0 || delivered || !PowerBeforeVista()) return;
  Violation(irp, minor, "a power request passed down with IoCallDriver: before Windows Vista "
                        "drivers must pass power requests with PoCallDriver");
}

void PowerNoteCompletion(PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  bool owed;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    PowerIrpState& state = StateLocked(irp);
    owed = state.owner != 0 && !state.started;
    state.owner = 0;
  }
  if (owed && NeedsStartNext(minor) && PowerBeforeVista()) {
    Violation(irp, minor,
              "a query- or set-power request completed without PoStartNextPowerIrp first");
  }
}

void PowerRulesResetForNextTest() {
  std::lock_guard<std::mutex> guard(R().lock);
  R().requests.clear();
}

}  // namespace hostk

using namespace hostk;

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CheckIrpLive(Irp, "PoCallDriver");
  CheckDeviceObject(DeviceObject, "PoCallDriver");
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    BugCheck(kDriverVerifierDetectedViolation, "PoCallDriver with a request that is not IRP_MJ_POWER",
             (ULONG_PTR)Irp);
  }
  if (PowerAllPassive() && KeGetCurrentIrql() > PASSIVE_LEVEL) {
    BugCheck(kIrqlNotLessOrEqual, "PoCallDriver above PASSIVE_LEVEL: on Windows 98 and Me drivers "
             "call PoCallDriver at PASSIVE_LEVEL only", (ULONG_PTR)Irp, KeGetCurrentIrql());
  }
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  CheckPassedDown(Irp);
  return PowerDeliver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  CheckIrpLive(Irp, "PoStartNextPowerIrp");
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  {
    std::lock_guard<std::mutex> guard(R().lock);
    PowerIrpState& state = StateLocked(Irp);
    if (state.owner != 0 && state.owner == Irp->CurrentLocation) state.started = true;
  }
  PowerStartNextForDevice(Irp);
}
