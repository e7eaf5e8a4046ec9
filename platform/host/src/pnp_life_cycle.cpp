// A started device's life cycle: start (and the removal after a failed one), query-stop, stop and
// restart for a rebalance, and removal asked for with a query first.
#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/hostk/pnp.h"
#include "host/ntstatus.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

// Cancels and stops: the documentation forbids drivers to fail them, as the device would be left in
// a state nobody knows.
void SendMustSucceed(PDEVICE_OBJECT pdo, UCHAR minor, const char* what) {
  NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, minor);
  if (!NT_SUCCESS(status)) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, (ULONG_PTR)pdo, (ULONG_PTR)status, minor, 0,
                    "%s failed with 0x%08X for %p: drivers must not fail it", what,
                    (unsigned)status, (void*)pdo);
  }
}

// The platform removes a device whose start failed.
void RemoveAfterFailedStart(PDEVICE_OBJECT pdo) {
  if (!PnpHasNode(pdo)) {
    PnpSendRemove(pdo);
    return;
  }
  if (PnpParentOf(pdo) == nullptr) {
    PnpRemoveSubtree(pdo, false, false);
    return;
  }
  // A child its bus still reports keeps its node, without the children it had.
  PnpRemoveSubtree(pdo, false, false);
  PnpSetState(pdo, "StartFailed");
}

NTSTATUS StartHeld(PDEVICE_OBJECT pdo) {
  PnpQueryUnknownInterface(pdo);
  IO_STACK_LOCATION start = {};  // no resources on this bus: both lists empty
  NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, &start);
  if (!NT_SUCCESS(status)) {
    RemoveAfterFailedStart(pdo);
  } else {
    PnpQueryAfterStart(pdo);
  }
  return status;
}

NTSTATUS QueryStopHeld(PDEVICE_OBJECT pdo, bool veto) {
  NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(status)) {
    SendMustSucceed(pdo, IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE");
    return status;
  }
  PnpEnterPending(pdo, "StopPending");
  if (!veto) return STATUS_SUCCESS;
  SendMustSucceed(pdo, IRP_MN_CANCEL_STOP_DEVICE, "IRP_MN_CANCEL_STOP_DEVICE");
  PnpCancelPending(pdo);
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS StopHeld(PDEVICE_OBJECT pdo) {
  NTSTATUS status = QueryStopHeld(pdo, false);
  if (!NT_SUCCESS(status)) return status;
  // A stack that agreed to stop has promised it can release its resources.
  SendMustSucceed(pdo, IRP_MN_STOP_DEVICE, "IRP_MN_STOP_DEVICE");
  PnpSetState(pdo, "Stopped");
  return STATUS_SUCCESS;
}

// Every node of the subtree that agreed is RemovePending; `queried` lists the ones asked, the one
// that refused last. Returns the refusal, or success.
NTSTATUS QueryRemoveSubtree(PDEVICE_OBJECT top, std::vector<PDEVICE_OBJECT>* queried) {
  std::vector<PDEVICE_OBJECT> order = PnpSubtreePostOrder(top);
  if (order.empty()) order.push_back(top);  // a stack the manager has no node for
  for (PDEVICE_OBJECT pdo : order) {
    NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
    queried->push_back(pdo);
    if (!NT_SUCCESS(status)) return status;
    PnpEnterPending(pdo, "RemovePending");
  }
  return STATUS_SUCCESS;
}

// The query-remove of every node of the subtree, after the relations that tell the manager what
// else the removal takes along. When one refuses or `veto` is set, every node queried hears the
// cancel and the result is the failure (STATUS_PLUGPLAY_QUERY_VETOED for a veto); else success.
NTSTATUS QueryRemoveOrCancel(PDEVICE_OBJECT top, bool veto) {
  PnpQueryOtherRelations(top, RemovalRelations);
  std::vector<PDEVICE_OBJECT> queried;
  NTSTATUS status = QueryRemoveSubtree(top, &queried);
  if (NT_SUCCESS(status) && !veto) return STATUS_SUCCESS;
  // The stack that refused was asked too, so it hears the cancel with the others.
  for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
    SendMustSucceed(*it, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
    PnpCancelPending(*it);
  }
  return NT_SUCCESS(status) ? STATUS_PLUGPLAY_QUERY_VETOED : status;
}

NTSTATUS QueryRemoveHeld(PDEVICE_OBJECT top, bool veto) {
  NTSTATUS status = QueryRemoveOrCancel(top, veto);
  if (!NT_SUCCESS(status)) return status;
  return PnpHasNode(top) ? PnpRemoveSubtree(top, false, false) : PnpSendRemove(top);
}

// An eject: the removal agreed and done, IRP_MN_EJECT to what is left of the stack (the bus
// driver's device object), then the bus is asked for its children again; one it now leaves out
// gets its final removal.
NTSTATUS EjectHeld(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT parent = PnpParentOf(pdo);
  if (parent == nullptr) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "PnpEjectDevice: %p is no child the Plug and Play manager knows", (void*)pdo);
  }
  PnpQueryOtherRelations(pdo, EjectionRelations);
  NTSTATUS status = QueryRemoveOrCancel(pdo, false);
  if (!NT_SUCCESS(status)) return status;
  PnpRemoveSubtree(pdo, false, false);
  status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_EJECT);
  PnpEnumerateHeld(parent);
  return status;
}

// Runs one operation with the engine held, as the platform runs them one at a time.
template <typename Operation>
NTSTATUS WithEngine(const char* what, Operation operation) {
  RequireIrqlAtMost(PASSIVE_LEVEL, what);
  PnpAcquireEngine();
  NTSTATUS status = operation();
  PnpReleaseEngine();
  return status;
}

}  // namespace

NTSTATUS PnpStartDevice(PDEVICE_OBJECT physicalDevice) {
  return WithEngine("PnpStartDevice", [&] { return StartHeld(physicalDevice); });
}

NTSTATUS PnpQueryStopDevice(PDEVICE_OBJECT pdo, bool veto) {
  return WithEngine("PnpQueryStopDevice", [&] { return QueryStopHeld(pdo, veto); });
}

NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo) {
  return WithEngine("PnpStopDevice", [&] { return StopHeld(pdo); });
}

NTSTATUS PnpRebalance(PDEVICE_OBJECT pdo) {
  return WithEngine("PnpRebalance", [&] {
    NTSTATUS status = StopHeld(pdo);
    return NT_SUCCESS(status) ? StartHeld(pdo) : status;
  });
}

NTSTATUS PnpQueryRemoveDevice(PDEVICE_OBJECT pdo, bool veto) {
  return WithEngine("PnpQueryRemoveDevice", [&] { return QueryRemoveHeld(pdo, veto); });
}

NTSTATUS PnpEjectDevice(PDEVICE_OBJECT pdo) {
  return WithEngine("PnpEjectDevice", [&] { return EjectHeld(pdo); });
}

}  // namespace hostk
