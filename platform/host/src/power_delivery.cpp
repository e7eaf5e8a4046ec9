// How the power manager hands a power request to a device: every request it sends itself
// (system transitions, PoRequestPowerIrp) and every one a driver passes with PoCallDriver.
//
// IRQL, from Windows 2000 on. A device whose object has DO_POWER_PAGABLE is called at
// PASSIVE_LEVEL only: a request for it that comes at DISPATCH_LEVEL (a driver passing it from a
// completion routine or a PoRequestPowerIrp callback, or PoRequestPowerIrp itself) is queued for
// the power manager's worker thread, and the caller is answered STATUS_PENDING. A device without
// the flag must be callable at DISPATCH_LEVEL, and is always called there, so that a driver that
// forgot the flag yet waits or touches paged memory in its power path is caught in every test.
// Windows 98 and Me call every driver at PASSIVE_LEVEL.
//
// A request answered STATUS_PENDING here has its next location marked pending, so that the walk
// carries PendingReturned up to the callers that returned STATUS_PENDING for it, however the
// device it reaches later completes it.
#include <deque>
#include <mutex>

#include "host/hostk/client.h"
#include "host/hostk/clock.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/ntstatus.h"
#include "io_request_verifier.h"
#include "power_internal.h"

namespace hostk {
namespace {

// The device is not referenced: a driver keeps its device while a request for it is outstanding,
// and once the dispatch routine returns nothing here touches the device again.
struct Delivery {
  PDEVICE_OBJECT device;
  PIRP irp;
};

struct Deliveries {
  std::mutex lock;
  std::deque<Delivery> queue;  // for the worker
  PKTHREAD worker = nullptr;   // referenced by this record until the worker ends
};

Deliveries& D() {
  static Deliveries* deliveries = new Deliveries;  // outlives detached threads at exit
  return *deliveries;
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
  {
    std::lock_guard<std::mutex> guard(D().lock);
    if (Pageable(device) && KeGetCurrentIrql() > PASSIVE_LEVEL) {
      NTSTATUS status = AnswerPendingLocked(irp);
      QueueForWorkerLocked(device, irp);
      return status;
    }
  }
  return CallDevice(device, irp);
}

std::string PowerDeliveryReport() {
  std::lock_guard<std::mutex> guard(D().lock);
  std::string report;
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

void PowerDeliveryResetForNextTest() { PowerWaitForWorker(); }

}  // namespace hostk
