// System power transitions through the device tree, in the order the platform sends them (see
// hostk/power.h), and the power manager's end-of-test checks.
#include <atomic>
#include <vector>

#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/hostk/pnp.h"
#include "host/hostk/power.h"
#include "host/ntstatus.h"
#include "pnp_internal.h"
#include "power_internal.h"

namespace hostk {
namespace {

std::atomic<int> gSystemState{PowerSystemWorking};

bool IsSleepState(SYSTEM_POWER_STATE state) {
  return state >= PowerSystemSleeping1 && state <= PowerSystemHibernate;
}

POWER_ACTION ActionOf(SYSTEM_POWER_STATE state) {
  if (state == PowerSystemHibernate) return PowerActionHibernate;
  return IsSleepState(state) ? PowerActionSleep : PowerActionNone;
}

struct SystemRequestEnd {
  KEVENT done;
  NTSTATUS status;
};

// The manager's own location is above the stack: the walk ends here and the request is freed.
NTSTATUS NTAPI SystemRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  SystemRequestEnd* end = static_cast<SystemRequestEnd*>(context);
  end->status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  KeSetEvent(&end->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// One request to the top of the node's stack, delivered as the power manager delivers every
// request (power_delivery.cpp), and waited for.
NTSTATUS SendSystemRequest(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state,
                           POWER_ACTION action) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    BugCheck(kDriverVerifierDetectedViolation, "PoSetSystemPowerState: no request");
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = minor;
  stack->Parameters.Power.Type = SystemPowerState;
  stack->Parameters.Power.State.SystemState = state;
  stack->Parameters.Power.ShutdownType = action;
  SystemRequestEnd end;
  KeInitializeEvent(&end.done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SystemRequestDone, &end, TRUE, TRUE, TRUE);
  PowerDeliver(top, irp);
  KeWaitForSingleObject(&end.done, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(top);
  return end.status;
}

// Started nodes, each parent before its children.
std::vector<PDEVICE_OBJECT> PoweredNodesParentsFirst() {
  std::vector<PDEVICE_OBJECT> nodes;
  for (const PnpDeviceNodeInfo& node : PnpDeviceTree()) {
    if (node.state == "Started") nodes.push_back(node.pdo);
  }
  return nodes;
}

// Every node is asked, children first; a refusal tells those asked that the system stays working.
NTSTATUS QueryEveryNode(const std::vector<PDEVICE_OBJECT>& parentsFirst,
                        SYSTEM_POWER_STATE target) {
  std::vector<PDEVICE_OBJECT> queried;
  for (auto it = parentsFirst.rbegin(); it != parentsFirst.rend(); ++it) {
    NTSTATUS status = SendSystemRequest(*it, IRP_MN_QUERY_POWER, target, ActionOf(target));
    queried.push_back(*it);
    if (NT_SUCCESS(status)) continue;
    for (auto back = queried.rbegin(); back != queried.rend(); ++back) {
      SendSystemRequest(*back, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
    }
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS GoToSleep(SYSTEM_POWER_STATE target) {
  std::vector<PDEVICE_OBJECT> nodes = PoweredNodesParentsFirst();
  NTSTATUS status = QueryEveryNode(nodes, target);
  if (!NT_SUCCESS(status)) return status;
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
    SendSystemRequest(*it, IRP_MN_SET_POWER, target, ActionOf(target));
  }
  gSystemState.store(target);
  return STATUS_SUCCESS;
}

void WakeUp() {
  for (PDEVICE_OBJECT pdo : PoweredNodesParentsFirst()) {
    SendSystemRequest(pdo, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
  }
  gSystemState.store(PowerSystemWorking);
}

}  // namespace

NTSTATUS PoSetSystemPowerState(SYSTEM_POWER_STATE target) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PoSetSystemPowerState");
  SYSTEM_POWER_STATE current = PoCurrentSystemPowerState();
  if (target == current) return STATUS_SUCCESS;
  bool sleep = current == PowerSystemWorking && IsSleepState(target);
  bool wake = IsSleepState(current) && target == PowerSystemWorking;
  if (!sleep && !wake) return STATUS_INVALID_PARAMETER;
  // The platform holds Plug and Play operations while the system changes state.
  PnpAcquireEngine();
  NTSTATUS status = STATUS_SUCCESS;
  if (sleep) {
    status = GoToSleep(target);
  } else {
    WakeUp();
  }
  PnpReleaseEngine();
  return status;
}

SYSTEM_POWER_STATE PoCurrentSystemPowerState() {
  return (SYSTEM_POWER_STATE)gSystemState.load();
}

void PoWaitForIdle() {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PoWaitForIdle");
  PowerWaitForWorker();
}

std::string PoReport() {
  std::string report;
  int outstanding = PowerRequestsOutstanding();
  if (outstanding != 0) {
    report += std::to_string(outstanding) +
              " power request(s) of PoRequestPowerIrp not finished (callback not called)\n";
  }
  report += PowerDeliveryReport();
  if (PoCurrentSystemPowerState() != PowerSystemWorking) {
    report += "the system was left in state S" +
              std::to_string(PoCurrentSystemPowerState() - PowerSystemWorking) + "\n";
  }
  return report;
}

void PoResetForNextTest() {
  PowerDeliveryResetForNextTest();
  gSystemState.store(PowerSystemWorking);
  PowerRequestsResetForNextTest();
  PowerRulesResetForNextTest();
}

}  // namespace hostk
