// Work items and the system work queues. The delayed, critical and hypercritical queues share one
// FIFO served by at most kMaxWorkers managed worker threads.
//
// A worker starts when an item is queued and fewer than kMaxWorkers are alive, and ends as soon as
// it finds the queue empty. An idle work queue therefore leaves no thread behind: no idle worker
// blocked forever for the deadlock detector to report once the last test thread leaves, and none to
// keep the clock from going back to zero between tests. A started worker counts as running before
// IoQueueWorkItem returns, so the clock cannot jump past a queued item.
#include <cstdio>
#include <mutex>
#include <new>
#include <set>

#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/clock.h"
#include "host/hostk/irql.h"
#include "host/hostk/pool.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "scheduler.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;  // from IoQueueWorkItem until a worker takes it; the routine may queue it again
  _IO_WORKITEM* next;
};

namespace hostk {
namespace {

constexpr ULONG kWorkItemTag = PoolTag("IoWk");
constexpr int kMaxWorkers = 3;

// Platform codes for broken work-item rules, with the first parameter the platform uses to say
// which rule.
constexpr ULONG_PTR kActiveItemQueued = 0x1;
constexpr ULONG_PTR kQueuedItemFreed = 0x2;
constexpr ULONG_PTR kInvalidQueueType = 0x6;
constexpr ULONG_PTR kInvalidRoutine = 0x7;

struct WorkQueue {
  std::mutex lock;
  std::set<PIO_WORKITEM> live;  // allocated and not yet freed
  PIO_WORKITEM head = nullptr;
  PIO_WORKITEM tail = nullptr;
  int workers = 0;     // alive
  size_t pending = 0;  // queued or running
  bool held = false;   // a test keeps queued items from starting
};

WorkQueue& Q() {
  static auto* queue = new WorkQueue;  // outlives detached threads at exit
  return *queue;
}

// What a worker needs of an item: the routine may free or queue the item again, so the worker
// never touches the item once the routine has started.
struct Work {
  PIO_WORKITEM item;
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
};

void CheckLiveItemLocked(PIO_WORKITEM item, const char* what) {
  if (Q().live.count(item) == 0) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "%s: %p is not a work item allocated by IoAllocateWorkItem", what, (void*)item);
  }
}

bool TakeNext(Work* work) {
  std::lock_guard<std::mutex> guard(Q().lock);
  PIO_WORKITEM item = Q().head;
  if (item == nullptr || Q().held) {
    Q().workers--;
    return false;
  }
  Q().head = item->next;
  if (Q().head == nullptr) Q().tail = nullptr;
  item->next = nullptr;
  item->queued = false;
  // From here the device object is kept by the reference alone, so the driver may delete it
  // while the routine finishes, as on the platform.
  IoNoteWorkItemQueued(item->device, -1);
  *work = {item, item->device, item->routine, item->context};
  return true;
}

// A work item routine must give the worker back as it found it, like a thread at its end.
void CheckWorkerReturn(const Work& work) {
  const HostThread* self = CurrentHostThread();
  if (self->spinLocksHeld > 0) {
    BugCheck(kDriverVerifierDetectedViolation, "work item routine returned holding a spin lock",
             (ULONG_PTR)work.routine, (ULONG_PTR)self->spinLocksHeld, (ULONG_PTR)work.context,
             (ULONG_PTR)work.item);
  }
  if (self->mutexesHeld > 0) {
    BugCheck(kThreadNotMutexOwner, "work item routine returned owning a mutex",
             (ULONG_PTR)work.routine, (ULONG_PTR)self->mutexesHeld, (ULONG_PTR)work.context,
             (ULONG_PTR)work.item);
  }
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    char rule[128];
    snprintf(rule, sizeof rule, "WORKER_THREAD_RETURNED_AT_BAD_IRQL: work item routine returned "
             "at IRQL %u", (unsigned)irql);
    BugCheck(kWorkerThreadReturnedAtBadIrql, rule, (ULONG_PTR)work.routine, irql,
             (ULONG_PTR)work.context, (ULONG_PTR)work.item);
  }
}

void Run(const Work& work) {
  work.routine(work.device, work.context);
  CheckWorkerReturn(work);
  ObfDereferenceObject(work.device);
  std::lock_guard<std::mutex> guard(Q().lock);
  Q().pending--;
}

void WorkerMain(void*) {
  Work work;
  while (TakeNext(&work)) Run(work);
}

void CheckQueueArguments(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE type) {
  if (type != CriticalWorkQueue && type != DelayedWorkQueue && type != HyperCriticalWorkQueue) {
    BugCheck(kWorkerInvalid, "IoQueueWorkItem: invalid queue type", kInvalidQueueType,
             (ULONG_PTR)item, (ULONG_PTR)type);
  }
  if (routine == nullptr) {
    BugCheck(kWorkerInvalid, "IoQueueWorkItem: no worker routine", kInvalidRoutine,
             (ULONG_PTR)item, (ULONG_PTR)type);
  }
}

}  // namespace

void WorkQueueHold(bool held) {
  int start = 0;
  {
    std::lock_guard<std::mutex> guard(Q().lock);
    Q().held = held;
    if (!held) {
      size_t queued = 0;
      for (PIO_WORKITEM item = Q().head; item != nullptr; item = item->next) queued++;
      while (Q().workers < kMaxWorkers && (size_t)start < queued) {
        Q().workers++;
        start++;
      }
    }
  }
  for (int i = 0; i < start; i++) StartHostThread("work queue worker", WorkerMain, nullptr);
}

size_t WorkQueuePendingCount() {
  std::lock_guard<std::mutex> guard(Q().lock);
  return Q().pending;
}

}  // namespace hostk

using namespace hostk;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  if (hostk::AllocationSiteCallFails()) return NULL;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
  CheckDeviceObject(DeviceObject, "IoAllocateWorkItem");
  void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_IO_WORKITEM), kWorkItemTag);
  if (memory == nullptr) return nullptr;
  PIO_WORKITEM item = new (memory) _IO_WORKITEM{DeviceObject, nullptr, nullptr, false, nullptr};
  std::lock_guard<std::mutex> guard(Q().lock);
  Q().live.insert(item);
  return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
  {
    std::lock_guard<std::mutex> guard(Q().lock);
    CheckLiveItemLocked(IoWorkItem, "IoFreeWorkItem");
    if (IoWorkItem->queued) {
      BugCheck(kWorkerInvalid, "IoFreeWorkItem: the work item is still queued", kQueuedItemFreed,
               (ULONG_PTR)IoWorkItem, (ULONG_PTR)IoWorkItem->routine);
    }
    Q().live.erase(IoWorkItem);
  }
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
  CheckQueueArguments(IoWorkItem, WorkerRoutine, QueueType);
  bool startWorker;
  {
    std::lock_guard<std::mutex> guard(Q().lock);
    CheckLiveItemLocked(IoWorkItem, "IoQueueWorkItem");
    if (IoWorkItem->queued) {
      BugCheck(kWorkerInvalid, "IoQueueWorkItem: the work item is already queued",
               kActiveItemQueued, (ULONG_PTR)IoWorkItem, (ULONG_PTR)QueueType);
    }
    // The device object, and with it the driver, stays while the item is queued or running;
    // deleting the device while the item is still queued is a broken rule (IoDeleteDevice).
    ObfReferenceObject(IoWorkItem->device);
    IoNoteWorkItemQueued(IoWorkItem->device, +1);
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    if (Q().tail != nullptr) Q().tail->next = IoWorkItem;
    else Q().head = IoWorkItem;
    Q().tail = IoWorkItem;
    Q().pending++;
    startWorker = !Q().held && Q().workers < kMaxWorkers;
    if (startWorker) Q().workers++;
  }
  if (startWorker) StartHostThread("work queue worker", WorkerMain, nullptr);
}
