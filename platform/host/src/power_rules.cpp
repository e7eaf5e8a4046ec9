// PoStartNextPowerIrp and PoCallDriver, and the rules a driver keeps with them before Windows Vista.
//
// Each power request has one owner at a time: the stack location of the driver it was last
// dispatched to, until that driver passes it on or completes it. PoStartNextPowerIrp counts only
// while the current location is the owner's: after IoSkipCurrentIrpStackLocation it is not, which
// is the mistake the platform documents as a possible deadlock. During the completion walk the
// request has no owner, and completion routines may call PoStartNextPowerIrp freely.
#include <map>
#include <mutex>

#include "host/hostk/bugcheck.h"
#include "host/hostk/client.h"
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

thread_local bool tPassedWithPoCallDriver = false;

bool RulesApply() { return GetWindowsVersion() < WindowsRelease::WindowsVista; }

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

[[noreturn]] void Violation(PIRP irp, const char* rule) {
  BugCheckParamsF(kDriverVerifierDetectedViolation, 0x500, (ULONG_PTR)irp,
                  IoGetCurrentIrpStackLocation(irp)->MinorFunction, 0, "%s (request %p)", rule,
                  (void*)irp);
}

}  // namespace

void PowerNoteDispatch(PIRP irp) {
  bool viaPo = tPassedWithPoCallDriver;
  tPassedWithPoCallDriver = false;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  bool started;
  CHAR owner;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    PowerIrpState& state = StateLocked(irp);
    owner = state.owner;
    started = state.started;
    state.owner = irp->CurrentLocation;
    state.started = false;
  }
  // The sender (the power manager) owns nothing: the rules bind the drivers of the stack.
  if (owner == 0 || !RulesApply()) return;
  if (!viaPo) {
    Violation(irp, "a power request passed down with IoCallDriver: before Windows Vista drivers "
                   "must pass power requests with PoCallDriver");
  }
  if (NeedsStartNext(minor) && !started) {
    Violation(irp, "a query- or set-power request passed down without PoStartNextPowerIrp first, "
                   "while the current stack location was the driver's own");
  }
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
  if (owed && NeedsStartNext(minor) && RulesApply()) {
    Violation(irp, "a query- or set-power request completed without PoStartNextPowerIrp first");
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
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    BugCheck(kDriverVerifierDetectedViolation, "PoCallDriver with a request that is not IRP_MJ_POWER",
             (ULONG_PTR)Irp);
  }
  tPassedWithPoCallDriver = true;
  return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  CheckIrpLive(Irp, "PoStartNextPowerIrp");
  std::lock_guard<std::mutex> guard(R().lock);
  PowerIrpState& state = StateLocked(Irp);
  if (state.owner != 0 && state.owner == Irp->CurrentLocation) state.started = true;
}
