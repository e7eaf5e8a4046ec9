// How the power manager hands a power request to a device: every request it sends itself
// (system transitions, PoRequestPowerIrp) and every one a driver passes with PoCallDriver.
//
// IRQL, from Windows 2000 on. A device whose object has DO_POWER_PAGABLE is called at
// PASSIVE_LEVEL only: a request for it that comes at DISPATCH_LEVEL (a driver passing it from a
// completion routine or a PoRequestPowerIrp callback, or PoRequestPowerIrp itself) is queued for
// the power manager's worker thread, and the caller is answered STATUS_PENDING. A device without
// the flag must be callable at DISPATCH_LEVEL, and is always called there, so that a driver that
// forgot the flag yet waits or touches paged memory in its power path is caught in every test.
// Windows 98 and Me call every driver at PASSIVE_LEVEL: what they are asked for above it waits for
// the worker too.
//
// One request at a time, before Windows Vista. Each device object has one system and one device
// power request active at a time (IRP_MN_QUERY_POWER and IRP_MN_SET_POWER, by the type of their
// state): a later one for the same device and type is held, and the caller answered
// STATUS_PENDING, until the driver of the device calls PoStartNextPowerIrp for the active one,
// with its own stack location current; the held request then goes to the worker. From Vista on
// PoStartNextPowerIrp does nothing and nothing is held here.
//
// A request answered STATUS_PENDING here has its next location marked pending, so that the walk
// carries PendingReturned up to the callers that returned STATUS_PENDING for it, however the
// device it reaches later completes it.
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "host/hostk/client.h"
#include "host/hostk/clock.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/ntstatus.h"
#include "io_request_verifier.h"
#include "power_internal.h"

namespace hostk {
namespace {

enum class PowerKind { None, System, Device };

// A device's active request of one kind, and the ones held behind it in arrival order.
struct Slot {
  PIRP active = nullptr;
  std::deque<PIRP> held;
};

// The device is not referenced: a driver keeps its device while a request for it is outstanding,
// and once the dispatch routine returns nothing here touches the device again.
struct Delivery {
  PDEVICE_OBJECT device;
  PIRP irp;
};

struct Deliveries {
  std::mutex lock;
  std::map<std::pair<PDEVICE_OBJECT, PowerKind>, Slot> slots;
  std::deque<Delivery> queue;  // for the worker
  PKTHREAD worker = nullptr;   // referenced by this record until the worker ends
};

Deliveries& D() {
  static Deliveries* deliveries = new Deliveries;  // outlives detached threads at exit
  return *deliveries;
}

PowerKind KindOf(const IO_STACK_LOCATION* stack) {
  if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
    return PowerKind::None;
  }
  return stack->Parameters.Power.Type == SystemPowerState ? PowerKind::System : PowerKind::Device;
}

bool Pageable(PDEVICE_OBJECT device) { return (device->Flags & DO_POWER_PAGABLE) != 0; }

NTSTATUS CallDevice(PDEVICE_OBJECT device, PIRP irp) {
  bool raise = !Pageable(device) && !PowerAllPassive() && KeGetCurrentIrql() < DISPATCH_LEVEL;
  KIRQL irql = PASSIVE_LEVEL;
  if (raise) KeRaiseIrql(DISPATCH_LEVEL, &irql);
  PowerNoteDelivered();
  NTSTATUS status = IofCallDriver(device, irp);
  if (raise) KeLowerIrql(irql);
  return status;
}

void WorkerMain(void*) {
  for (;;) {
    Delivery next;
    {
      std::unique_lock<std::mutex> guard(D().lock);
      if (D().queue.empty()) {
        PKTHREAD self = D().worker;
        D().worker = nullptr;
        guard.unlock();
        ObfDereferenceObject(self);
        return;
      }
      next = D().queue.front();
      D().queue.pop_front();
    }
    CallDevice(next.device, next.irp);
  }
}

void QueueForWorkerLocked(PDEVICE_OBJECT device, PIRP irp) {
  D().queue.push_back({device, irp});
  if (D().worker == nullptr) {
    D().worker = StartHostThreadObject("power manager", WorkerMain, nullptr);
  }
}

// What the caller's STATUS_PENDING needs: the location the device will get is marked now, as the
// device itself would have marked it.
NTSTATUS AnswerPendingLocked(PIRP irp) {
  IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  IrpNoteMarkedBySender(irp, (CHAR)(irp->CurrentLocation - 1));
  return STATUS_PENDING;
}

}  // namespace

bool PowerAllPassive() { return GetWindowsVersion() < WindowsRelease::Windows2000; }
bool PowerBeforeVista() { return GetWindowsVersion() < WindowsRelease::WindowsVista; }

NTSTATUS PowerDeliver(PDEVICE_OBJECT device, PIRP irp) {
  PowerKind kind = KindOf(IoGetNextIrpStackLocation(irp));
  {
    std::lock_guard<std::mutex> guard(D().lock);
    if (kind != PowerKind::None && PowerBeforeVista()) {
      Slot& slot = D().slots[{device, kind}];
      if (slot.active != nullptr) {
        slot.held.push_back(irp);
        return AnswerPendingLocked(irp);
      }
      slot.active = irp;
    }
    if ((Pageable(device) || PowerAllPassive()) && KeGetCurrentIrql() > PASSIVE_LEVEL) {
      NTSTATUS status = AnswerPendingLocked(irp);
      QueueForWorkerLocked(device, irp);
      return status;
    }
  }
  return CallDevice(device, irp);
}

void PowerStartNextForDevice(PIRP irp) {
  // Above the top of the stack (after IoSkipCurrentIrpStackLocation in the top driver) no device's
  // location is current: nothing starts, the deadlock the platform warns of.
  if (!PowerBeforeVista() || irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) {
    return;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PowerKind kind = KindOf(stack);
  if (kind == PowerKind::None) return;
  std::lock_guard<std::mutex> guard(D().lock);
  auto it = D().slots.find({stack->DeviceObject, kind});
  if (it == D().slots.end() || it->second.active != irp) return;
  Slot& slot = it->second;
  if (slot.held.empty()) {
    D().slots.erase(it);
    return;
  }
  slot.active = slot.held.front();
  slot.held.pop_front();
  QueueForWorkerLocked(stack->DeviceObject, slot.active);
}

std::string PowerDeliveryReport() {
  std::lock_guard<std::mutex> guard(D().lock);
  size_t held = 0;
  for (const auto& entry : D().slots) held += entry.second.held.size();
  std::string report;
  if (held > 0) {
    report += std::to_string(held) +
              " power request(s) held for a device whose driver never called "
              "PoStartNextPowerIrp for the request before\n";
  }
  if (!D().queue.empty()) {
    report += std::to_string(D().queue.size()) + " power request(s) not yet delivered\n";
  }
  return report;
}

void PowerWaitForWorker() {
  for (;;) {
    PKTHREAD worker;
    {
      std::lock_guard<std::mutex> guard(D().lock);
      worker = D().worker;
      if (worker == nullptr) break;
      ObfReferenceObject(worker);
    }
    KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(worker);
  }
}

void PowerDeliveryResetForNextTest() {
  PowerWaitForWorker();
  std::lock_guard<std::mutex> guard(D().lock);
  D().slots.clear();
}

}  // namespace hostk
