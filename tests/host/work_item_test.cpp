// Work items: routines run at PASSIVE_LEVEL on worker threads in the order queued, keep their
// device object referenced while queued or running, may free or queue their own item, and broken
// rules are bug checks.
#include <gtest/gtest.h>

#include "host/hostk/io.h"
#include "support/kernel_test_util.h"

namespace {

using kxtest::kMillisecond;
using kxtest::kSecond;
using kxtest::Sleep;

constexpr ULONG kWorkItemTag = hostk::PoolTag("IoWk");

void Wait(KEVENT* event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }

// Returns once every item has run and its worker has ended. The sleep is a kernel wait, so the
// clock moves only when the workers have nothing left to do.
void WaitForIdleWorkQueue() {
  do {
    Sleep(kMillisecond);
  } while (hostk::WorkQueuePendingCount() != 0);
}

// A routine that holds its worker until released.
struct Gate {
  KEVENT started;
  KEVENT release;
  PIO_WORKITEM item = nullptr;
};

VOID NTAPI GateRoutine(PDEVICE_OBJECT, PVOID context) {
  Gate* gate = (Gate*)context;
  KeSetEvent(&gate->started, IO_NO_INCREMENT, FALSE);
  Wait(&gate->release);
}

// What each recording routine saw, in the order the routines ran.
struct RunLog {
  static constexpr int kCapacity = 8;
  KSPIN_LOCK lock;
  int order[kCapacity];
  int count = 0;
  int expected = 0;
  KEVENT done;
};

struct Recording {
  RunLog* log;
  int index;
  PDEVICE_OBJECT device = nullptr;
  KIRQL irql = HIGH_LEVEL;
  PKTHREAD thread = nullptr;
};

VOID NTAPI RecordRoutine(PDEVICE_OBJECT device, PVOID context) {
  Recording* self = (Recording*)context;
  self->device = device;
  self->irql = KeGetCurrentIrql();
  self->thread = KeGetCurrentThread();
  RunLog* log = self->log;
  KIRQL old;
  KeAcquireSpinLock(&log->lock, &old);
  log->order[log->count++] = self->index;
  bool last = log->count == log->expected;
  KeReleaseSpinLock(&log->lock, old);
  if (last) KeSetEvent(&log->done, IO_NO_INCREMENT, FALSE);
}

class WorkItemTest : public testing::Test {
 protected:
  void SetUp() override {
    driver_ = hostk::IoCreateDriverObject("\\Driver\\WorkItemTest");
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
  }
  void TearDown() override {
    WaitForIdleWorkQueue();
    if (device_ != nullptr) IoDeleteDevice(device_);
    hostk::IoDeleteDriverObject(driver_);
  }

  // Queues a gate and returns once its routine holds a worker.
  void StartGate(Gate* gate) {
    KeInitializeEvent(&gate->started, NotificationEvent, FALSE);
    KeInitializeEvent(&gate->release, NotificationEvent, FALSE);
    gate->item = IoAllocateWorkItem(device_);
    ASSERT_NE(nullptr, gate->item);
    IoQueueWorkItem(gate->item, GateRoutine, DelayedWorkQueue, gate);
    Wait(&gate->started);
  }

  // Holds every worker (the queue has three) with a gate, and queues one more item behind them.
  PIO_WORKITEM QueueBehindGates(Gate (&gates)[3], Gate* next) {
    for (Gate& gate : gates) StartGate(&gate);
    KeInitializeEvent(&next->started, NotificationEvent, FALSE);
    KeInitializeEvent(&next->release, NotificationEvent, FALSE);
    next->item = IoAllocateWorkItem(device_);
    IoQueueWorkItem(next->item, GateRoutine, DelayedWorkQueue, next);
    return next->item;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(WorkItemTest, RoutinesRunAtPassiveLevelOnWorkersInTheOrderQueued) {
  // Two gates hold two of the three workers, so the recorded items run one after another on the
  // third, in the order the queue hands them out.
  Gate gates[2];
  for (Gate& gate : gates) StartGate(&gate);
  constexpr int kItems = 6;
  RunLog log;
  KeInitializeSpinLock(&log.lock);
  KeInitializeEvent(&log.done, NotificationEvent, FALSE);
  log.expected = kItems;
  Recording runs[kItems];
  PIO_WORKITEM items[kItems];
  for (int i = 0; i < kItems; i++) {
    runs[i].log = &log;
    runs[i].index = i;
    items[i] = IoAllocateWorkItem(device_);
    ASSERT_NE(nullptr, items[i]);
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queuing is allowed up to DISPATCH_LEVEL
  for (int i = 0; i < kItems; i++) {
    IoQueueWorkItem(items[i], RecordRoutine, i % 2 ? CriticalWorkQueue : DelayedWorkQueue,
                    &runs[i]);
  }
  KeLowerIrql(old);
  Wait(&log.done);
  for (int i = 0; i < kItems; i++) {
    EXPECT_EQ(i, log.order[i]);
    EXPECT_EQ(PASSIVE_LEVEL, runs[i].irql);
    EXPECT_EQ(device_, runs[i].device);
    EXPECT_NE(KeGetCurrentThread(), runs[i].thread);
  }
  for (Gate& gate : gates) KeSetEvent(&gate.release, IO_NO_INCREMENT, FALSE);
  WaitForIdleWorkQueue();
  for (PIO_WORKITEM item : items) IoFreeWorkItem(item);
  for (Gate& gate : gates) IoFreeWorkItem(gate.item);
}

TEST_F(WorkItemTest, QueuedOrRunningItemsHoldTheirDeviceObject) {
  LONG idle = hostk::ObReferenceCount(device_);
  Gate gates[3], queued;
  QueueBehindGates(gates, &queued);
  EXPECT_EQ(idle + 4, hostk::ObReferenceCount(device_));
  EXPECT_EQ(1, hostk::IoQueuedWorkItemCount(device_));  // only the one not yet started
  EXPECT_EQ(4u, hostk::WorkQueuePendingCount());
  for (Gate& gate : gates) KeSetEvent(&gate.release, IO_NO_INCREMENT, FALSE);
  Wait(&queued.started);
  EXPECT_EQ(0, hostk::IoQueuedWorkItemCount(device_));
  KeSetEvent(&queued.release, IO_NO_INCREMENT, FALSE);
  WaitForIdleWorkQueue();
  EXPECT_EQ(idle, hostk::ObReferenceCount(device_));
  for (Gate& gate : gates) IoFreeWorkItem(gate.item);
  IoFreeWorkItem(queued.item);
}

// The usual end of a device: the routine gives back the remove lock as its last act, and the
// remover deletes the device at once, while the worker has yet to return from the routine.
TEST_F(WorkItemTest, DeviceDeletedWhileItsRoutineFinishesStaysUntilTheWorkerLetsGo) {
  Gate gate;
  StartGate(&gate);
  PDEVICE_OBJECT device = device_;
  device_ = nullptr;
  IoDeleteDevice(device);
  EXPECT_TRUE(hostk::IoIsDeviceDeleted(device));
  EXPECT_EQ(1, hostk::ObReferenceCount(device));  // the worker's
  KeSetEvent(&gate.release, IO_NO_INCREMENT, FALSE);
  WaitForIdleWorkQueue();
  EXPECT_EQ(nullptr, hostk::ObTypeOf(device));  // gone with the last reference
  IoFreeWorkItem(gate.item);
}

struct Sleeper {
  KEVENT done;
  LONGLONG wokeAt = 0;
};

VOID NTAPI SleepRoutine(PDEVICE_OBJECT, PVOID context) {
  Sleeper* self = (Sleeper*)context;
  Sleep(3 * kSecond);
  self->wokeAt = hostk::ClockNow();
  KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, WaitsInARoutineRunOnTheVirtualClock) {
  Sleeper sleeper;
  KeInitializeEvent(&sleeper.done, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(device_);
  ASSERT_NE(nullptr, item);
  LONGLONG start = hostk::ClockNow();
  IoQueueWorkItem(item, SleepRoutine, DelayedWorkQueue, &sleeper);
  Wait(&sleeper.done);
  EXPECT_EQ(3 * kSecond, sleeper.wokeAt - start);
  WaitForIdleWorkQueue();
  IoFreeWorkItem(item);
}

// Queues its own item again until it has run three times, then frees it.
struct Repeater {
  PIO_WORKITEM item;
  int runs = 0;
  KEVENT freed;
};

VOID NTAPI RepeatRoutine(PDEVICE_OBJECT, PVOID context) {
  Repeater* self = (Repeater*)context;
  if (++self->runs < 3) {
    IoQueueWorkItem(self->item, RepeatRoutine, DelayedWorkQueue, self);
    return;
  }
  IoFreeWorkItem(self->item);
  KeSetEvent(&self->freed, IO_NO_INCREMENT, FALSE);
}

TEST_F(WorkItemTest, RoutineMayQueueAgainAndFreeItsOwnItem) {
  Repeater repeater;
  KeInitializeEvent(&repeater.freed, NotificationEvent, FALSE);
  repeater.item = IoAllocateWorkItem(device_);
  ASSERT_NE(nullptr, repeater.item);
  EXPECT_EQ(1u, hostk::PoolLiveCount(kWorkItemTag));
  IoQueueWorkItem(repeater.item, RepeatRoutine, DelayedWorkQueue, &repeater);
  Wait(&repeater.freed);
  WaitForIdleWorkQueue();
  EXPECT_EQ(3, repeater.runs);
  EXPECT_EQ(0u, hostk::PoolLiveCount(kWorkItemTag));
  EXPECT_EQ(0, hostk::IoQueuedWorkItemCount(device_));
}

TEST_F(WorkItemTest, AllocationFailureReturnsNull) {
  hostk::PoolFailTag(kWorkItemTag);
  EXPECT_EQ(nullptr, IoAllocateWorkItem(device_));
  hostk::PoolFailTag(kWorkItemTag, false);
  EXPECT_EQ(0u, hostk::PoolLiveCount(kWorkItemTag));
}

VOID NTAPI ReturnAtDispatchLevel(PDEVICE_OBJECT, PVOID) { KfRaiseIrql(DISPATCH_LEVEL); }

VOID NTAPI ReturnHoldingSpinLock(PDEVICE_OBJECT, PVOID context) {
  KfAcquireSpinLock((PKSPIN_LOCK)context);
}

using WorkItemDeathTest = WorkItemTest;

TEST_F(WorkItemDeathTest, DeletingADeviceWithAQueuedItem) {
  EXPECT_DEATH(
      {
        Gate gates[3];
        Gate queued;
        QueueBehindGates(gates, &queued);
        IoDeleteDevice(device_);
      },
      "IoDeleteDevice: work items are still queued");
}

TEST_F(WorkItemDeathTest, QueueingOrFreeingAQueuedItem) {
  EXPECT_DEATH(
      {
        Gate gates[3];
        Gate queued;
        IoQueueWorkItem(QueueBehindGates(gates, &queued), GateRoutine, DelayedWorkQueue, &queued);
      },
      "IoQueueWorkItem: the work item is already queued");
  EXPECT_DEATH(
      {
        Gate gates[3];
        Gate queued;
        IoFreeWorkItem(QueueBehindGates(gates, &queued));
      },
      "IoFreeWorkItem: the work item is still queued");
}

TEST_F(WorkItemDeathTest, RoutineReturningAtDispatchLevel) {
  PIO_WORKITEM item = IoAllocateWorkItem(device_);
  EXPECT_DEATH(
      {
        IoQueueWorkItem(item, ReturnAtDispatchLevel, DelayedWorkQueue, nullptr);
        Sleep(kSecond);
      },
      "returned at IRQL 2");
  IoFreeWorkItem(item);
}

TEST_F(WorkItemDeathTest, RoutineReturningWithASpinLockHeld) {
  PIO_WORKITEM item = IoAllocateWorkItem(device_);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(
      {
        IoQueueWorkItem(item, ReturnHoldingSpinLock, DelayedWorkQueue, &lock);
        Sleep(kSecond);
      },
      "returned holding a spin lock");
  IoFreeWorkItem(item);
}

}  // namespace
