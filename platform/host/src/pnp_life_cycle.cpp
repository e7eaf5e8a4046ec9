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
  for (PDEVICE_OBJECT child : PnpChildrenOf(pdo)) PnpRemoveSubtree(child, false, false);
  PnpSendRemove(pdo);
  PnpSetState(pdo, "StartFailed");
}

// After a start the platform asks the stack for its capabilities again: a function driver may
// learn them from the stack below only now.
void QueryCapabilitiesAfterStart(PDEVICE_OBJECT pdo) {
  DEVICE_CAPABILITIES capabilities;
  PnpQueryCapabilities(pdo, &capabilities);
}

NTSTATUS StartHeld(PDEVICE_OBJECT pdo) {
  IO_STACK_LOCATION start = {};  // no resources on this bus: both lists empty
  NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, &start);
  if (!NT_SUCCESS(status)) {
    RemoveAfterFailedStart(pdo);
  } else {
    QueryCapabilitiesAfterStart(pdo);
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

NTSTATUS QueryRemoveHeld(PDEVICE_OBJECT top, bool veto) {
  std::vector<PDEVICE_OBJECT> queried;
  NTSTATUS status = QueryRemoveSubtree(top, &queried);
  if (NT_SUCCESS(status) && !veto) {
    return PnpHasNode(top) ? PnpRemoveSubtree(top, false, false) : PnpSendRemove(top);
  }
  // The stack that refused was asked too, so it hears the cancel with the others.
  for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
    SendMustSucceed(*it, IRP_MN_CANCEL_REMOVE_DEVICE, "IRP_MN_CANCEL_REMOVE_DEVICE");
    PnpCancelPending(*it);
  }
  return NT_SUCCESS(status) ? STATUS_PLUGPLAY_QUERY_VETOED : status;
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

}  // namespace hostk
