// Events, mutexes and waits as the driver relies on them, under virtual time.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "support/kernel_test_util.h"

namespace {

using kxtest::kSecond;
using kxtest::Relative;
using kxtest::SystemThread;

TEST(Wait, SynchronizationEventWakesExactlyOneWaiterAndResets) {
  LONGLONG start = hostk::ClockNow();
  KEVENT event, done;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  LONG woken = 0;
  auto waiter = [&] {
    LARGE_INTEGER timeout = Relative(5 * kSecond);
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
      InterlockedIncrement(&woken);
    }
    KeSetEvent(&done, 0, FALSE);
  };
  SystemThread a(waiter), b(waiter);
  LARGE_INTEGER settle = Relative(1 * kSecond);
  KeDelayExecutionThread(KernelMode, FALSE, &settle);  // both are waiting now
  KeSetEvent(&event, 0, FALSE);
  a.Join();
  b.Join();
  EXPECT_EQ(1, woken);
  EXPECT_EQ(0, KeReadStateEvent(&event));  // consumed by the one waiter it woke
  // The other waiter ran into its time-out: 5 s after the waits began at 0.
  EXPECT_EQ(start + 5 * kSecond, hostk::ClockNow());
}

TEST(Wait, NotificationEventWakesAllAndStaysSet) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LONG woken = 0;
  auto waiter = [&] {
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) {
      InterlockedIncrement(&woken);
    }
  };
  SystemThread a(waiter), b(waiter), c(waiter);
  LARGE_INTEGER settle = Relative(kSecond);
  KeDelayExecutionThread(KernelMode, FALSE, &settle);
  EXPECT_EQ(0, KeSetEvent(&event, 0, FALSE));
  a.Join();
  b.Join();
  c.Join();
  EXPECT_EQ(3, woken);
  EXPECT_EQ(1, KeReadStateEvent(&event));
  EXPECT_EQ(1, KeResetEvent(&event));
  EXPECT_EQ(0, KeReadStateEvent(&event));
}

TEST(Wait, WaitAnyReportsTheLowestSignalledIndexAndWaitAllNeedsEvery) {
  KEVENT events[4];
  PVOID objects[4];
  KWAIT_BLOCK blocks[4];
  for (int i = 0; i < 4; i++) {
    KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
    objects[i] = &events[i];
  }
  KeSetEvent(&events[3], 0, FALSE);
  KeSetEvent(&events[2], 0, FALSE);
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(STATUS_WAIT_0 + 2, KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode,
                                                        FALSE, &zero, blocks));
  EXPECT_EQ(STATUS_WAIT_0 + 3, KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode,
                                                        FALSE, &zero, blocks));
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode,
                                                     FALSE, &zero, blocks));

  // WaitAll consumes nothing until every object is signalled.
  KeSetEvent(&events[0], 0, FALSE);
  KeSetEvent(&events[1], 0, FALSE);
  LARGE_INTEGER second = Relative(kSecond);
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode,
                                                     FALSE, &second, nullptr));
  EXPECT_EQ(1, KeReadStateEvent(&events[0]));
  KeSetEvent(&events[2], 0, FALSE);
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode,
                                                     FALSE, &second, nullptr));
  EXPECT_EQ(0, KeReadStateEvent(&events[0]) + KeReadStateEvent(&events[1]) +
                   KeReadStateEvent(&events[2]));
}

TEST(Wait, TimeOutsMoveVirtualTimeExactlyAndCostNoWallTime) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  auto wallStart = std::chrono::steady_clock::now();
  LARGE_INTEGER tenSeconds = Relative(10 * kSecond);
  ULONGLONG before = KeQueryInterruptTime();
  EXPECT_EQ(STATUS_TIMEOUT,
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tenSeconds));
  EXPECT_EQ(10 * kSecond, (LONGLONG)(KeQueryInterruptTime() - before));

  // An absolute time-out is a system time.
  LARGE_INTEGER now, absolute;
  KeQuerySystemTime(&now);
  absolute.QuadPart = now.QuadPart + 3 * kSecond;
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &absolute));
  EXPECT_EQ(13 * kSecond, (LONGLONG)(KeQueryInterruptTime() - before));

  // A stall takes its own length; a delay runs from the last clock tick, which the stall did not
  // reach.
  LONGLONG stallStart = hostk::ClockNow();
  KeStallExecutionProcessor(500);
  EXPECT_EQ(stallStart + 5000, hostk::ClockNow());
  LARGE_INTEGER delay = Relative(2 * kSecond);
  EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &delay));
  EXPECT_EQ(15 * kSecond, (LONGLONG)(KeQueryInterruptTime() - before));
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(5));
}

constexpr LONGLONG kDefaultTick = 156250;  // 15.625 ms

// The platform's clock moves once per tick: what the driver reads stays put between ticks.
TEST(ClockTick, InterruptTimeSystemTimeAndTickCountMoveInWholeTicks) {
  EXPECT_EQ((ULONG)kDefaultTick, KeQueryTimeIncrement());
  ULONGLONG interrupt = KeQueryInterruptTime();
  LARGE_INTEGER system, ticks;
  KeQuerySystemTime(&system);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(0u, interrupt % kDefaultTick);
  EXPECT_EQ((LONGLONG)(interrupt / kDefaultTick), ticks.QuadPart);
  KeStallExecutionProcessor(10'000);  // 10 ms: short of the next tick
  LARGE_INTEGER systemAfter;
  KeQuerySystemTime(&systemAfter);
  EXPECT_EQ(interrupt, KeQueryInterruptTime());
  EXPECT_EQ(system.QuadPart, systemAfter.QuadPart);
  KeStallExecutionProcessor(10'000);  // 20 ms in all: one tick passed
  KeQueryTickCount(&ticks);
  EXPECT_EQ(interrupt + kDefaultTick, KeQueryInterruptTime());
  EXPECT_EQ((LONGLONG)(interrupt / kDefaultTick) + 1, ticks.QuadPart);

  hostk::SetClockTick(5000);  // the finest the platform allows
  EXPECT_EQ(5000u, KeQueryTimeIncrement());
  ULONGLONG fine = KeQueryInterruptTime();
  KeStallExecutionProcessor(1200);
  EXPECT_EQ(fine + 10'000, KeQueryInterruptTime());
}

// A wait ends on the first tick at or after its time-out, counted from the last tick: a time-out
// built from many short waits lasts far longer than their sum.
TEST(ClockTick, WaitsEndOnTicks) {
  kxtest::Sleep(kDefaultTick);  // start on a tick
  LONGLONG start = hostk::ClockNow();
  for (int i = 0; i < 100; i++) kxtest::Sleep(kxtest::kMillisecond);
  EXPECT_EQ(start + 100 * kDefaultTick, hostk::ClockNow());

  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeStallExecutionProcessor(3000);  // 3 ms past the tick
  start = hostk::ClockNow();
  LARGE_INTEGER twentyMs = Relative(20 * kxtest::kMillisecond);
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &twentyMs));
  EXPECT_EQ(start - 30'000 + 2 * kDefaultTick, hostk::ClockNow());

  hostk::SetClockTick(5000);
  kxtest::Sleep(5000);  // onto the finer grid
  start = hostk::ClockNow();
  for (int i = 0; i < 100; i++) kxtest::Sleep(kxtest::kMillisecond);
  EXPECT_EQ(start + 100 * kxtest::kMillisecond, hostk::ClockNow());
}

TEST(Wait, ClockJumpsToTheEarliestDeadlineAmongThreads) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LONGLONG start = hostk::ClockNow();
  LONGLONG wokeAt[2] = {0, 0};
  SystemThread slow([&] {
    LARGE_INTEGER t = Relative(7 * kSecond);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
    wokeAt[0] = (LONGLONG)KeQueryInterruptTime();
  });
  SystemThread fast([&] {
    LARGE_INTEGER t = Relative(3 * kSecond);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
    wokeAt[1] = (LONGLONG)KeQueryInterruptTime();
  });
  slow.Join();
  fast.Join();
  EXPECT_EQ(start + 7 * kSecond, wokeAt[0]);
  EXPECT_EQ(start + 3 * kSecond, wokeAt[1]);
}

// The holder stalls under the lock while another thread spins for it: the spinner only waits for
// the holder, so the stall ends and the lock changes hands.
TEST(Wait, StallUnderASpinLockEndsWhileAnotherThreadSpinsForTheLock) {
  KSPIN_LOCK spinLock;
  KeInitializeSpinLock(&spinLock);
  KEVENT held;
  KeInitializeEvent(&held, NotificationEvent, FALSE);
  LONGLONG start = hostk::ClockNow();
  SystemThread holder([&] {
    KIRQL old;
    KeAcquireSpinLock(&spinLock, &old);
    KeSetEvent(&held, 0, FALSE);
    KeStallExecutionProcessor(50);
    KeReleaseSpinLock(&spinLock, old);
  });
  KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
  KIRQL old;
  KeAcquireSpinLock(&spinLock, &old);
  LONGLONG acquiredAt = hostk::ClockNow();
  KeReleaseSpinLock(&spinLock, old);
  holder.Join();
  EXPECT_EQ(start + 500, acquiredAt);
}

// The holder releases the lock and blocks at once, before the spinner has looked again: the
// spinner is about to run, so the host sees no deadlock. The order of those last steps is the
// machine's, hence the rounds.
TEST(Wait, HolderThatReleasesAndBlocksDoesNotStrandItsSpinner) {
  for (int round = 0; round < 100; round++) {
    KSPIN_LOCK spinLock;
    KeInitializeSpinLock(&spinLock);
    KEVENT held, done;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    SystemThread holder([&] {
      KIRQL old;
      KeAcquireSpinLock(&spinLock, &old);
      KeSetEvent(&held, 0, FALSE);
      while (hostk::DescribeThreads().find("spinning") == std::string::npos) {
      }
      KeReleaseSpinLock(&spinLock, old);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    });
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&spinLock, &old);
    KeReleaseSpinLock(&spinLock, old);
    KeSetEvent(&done, 0, FALSE);
    holder.Join();
  }
}

TEST(Wait, KernelMutexIsRecursiveAndHandsOverOnLastRelease) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  LONGLONG start = hostk::ClockNow();
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr));
  LONGLONG acquiredAt = -1;
  SystemThread other([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    acquiredAt = (LONGLONG)KeQueryInterruptTime();
    KeReleaseMutex(&mutex, FALSE);
  });
  LARGE_INTEGER second = Relative(kSecond);
  KeDelayExecutionThread(KernelMode, FALSE, &second);
  EXPECT_EQ(-1, KeReleaseMutex(&mutex, FALSE));  // still owned once
  KeDelayExecutionThread(KernelMode, FALSE, &second);
  EXPECT_EQ(-1, acquiredAt);
  EXPECT_EQ(0, KeReleaseMutex(&mutex, FALSE));
  other.Join();
  EXPECT_EQ(start + 2 * kSecond, acquiredAt);
  EXPECT_EQ(1, KeReadStateMutex(&mutex));
}

TEST(Wait, FastMutexRaisesToApcLevelAndExcludes) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  bool otherInside = false;
  SystemThread other([&] {
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex));
    ExAcquireFastMutex(&mutex);
    otherInside = true;
    ExReleaseFastMutex(&mutex);
  });
  ExAcquireFastMutex(&mutex);
  EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
  KeSetEvent(&go, 0, FALSE);
  KeStallExecutionProcessor(1000);  // the other thread is blocked on the mutex by now
  EXPECT_FALSE(otherInside);
  ExReleaseFastMutex(&mutex);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  other.Join();
  EXPECT_TRUE(otherInside);
}

// A driver built against the platform's headers initialises its fast mutexes itself, inline: the
// lock bit set and an unsignalled synchronization event. Two waiters queue on such a mutex, each
// release hands it to one of them, and the last release leaves it free.
TEST(Wait, FastMutexInitialisedAsThePlatformsHeadersDoIsHandedOver) {
  FAST_MUTEX mutex;
  memset(&mutex, 0xCC, sizeof mutex);
  mutex.Count = 1;
  mutex.Owner = nullptr;
  mutex.Contention = 0;
  KeInitializeEvent(&mutex.Event, SynchronizationEvent, FALSE);
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  LONG inside = 0;
  LONG entered = 0;
  auto waiter = [&] {
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(1, InterlockedIncrement(&inside)) << "one owner at a time";
    InterlockedIncrement(&entered);
    kxtest::Sleep(kSecond);
    InterlockedDecrement(&inside);
    ExReleaseFastMutex(&mutex);
  };
  {
    SystemThread first(waiter);
    SystemThread second(waiter);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(0, mutex.Count & 1) << "held";
    KeSetEvent(&go, 0, FALSE);
    KeStallExecutionProcessor(1000);  // both are blocked on the mutex by now
    EXPECT_EQ(0, InterlockedCompareExchange(&entered, 0, 0)) << "both wait while it is held";
    EXPECT_EQ(8, mutex.Count) << "two waiters counted above the lock bit";
    ExReleaseFastMutex(&mutex);
  }
  EXPECT_EQ(2, entered);
  EXPECT_EQ(2u, mutex.Contention);
  EXPECT_EQ(1, mutex.Count) << "free, no waiter";
  EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
  ExReleaseFastMutex(&mutex);
}

TEST(Wait, ThreadObjectIsSignalledWhenItsThreadEnds) {
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  SystemThread worker([&] {
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
    ADD_FAILURE() << "PsTerminateSystemThread returned";
  });
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(STATUS_TIMEOUT,
            KeWaitForSingleObject(worker.Object(), Executive, KernelMode, FALSE, &zero));
  EXPECT_EQ(1u, hostk::LiveSystemThreadCount());
  KeSetEvent(&release, 0, FALSE);
  worker.Join();
  EXPECT_EQ(0u, hostk::LiveSystemThreadCount());
}

// The processor time of system threads counts the work they did, and an ended thread's time stays
// in the total; a host thread that is no system thread adds nothing.
// Busy for 20 ms of the calling thread's processor time.
void Spin(void* = nullptr) {
  auto used = [] {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return LONGLONG(now.tv_sec) * 10000000 + now.tv_nsec / 100;
  };
  LONGLONG start = used();
  volatile uint64_t sum = 0;
  while (used() - start < 200000) sum = sum + 1;
}

TEST(Wait, SystemThreadProcessorTimeCountsTheirWorkEndedOrNot) {
  LONGLONG before = hostk::SystemThreadProcessorTime();
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  SystemThread worker([&] {
    Spin();
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
  });
  kxtest::Sleep(kSecond / 10);  // the worker has spun and waits
  LONGLONG running = hostk::SystemThreadProcessorTime();
  EXPECT_GE(running - before, 200000) << "20 ms of work while the thread still runs";
  KeSetEvent(&release, 0, FALSE);
  worker.Join();
  EXPECT_GE(hostk::SystemThreadProcessorTime(), running) << "the ended thread's time is kept";

  LONGLONG afterSystem = hostk::SystemThreadProcessorTime();
  static KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  hostk::StartHostThread("busy service", [](void*) {
    Spin();
    KeSetEvent(&done, 0, FALSE);
  }, nullptr);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(afterSystem, hostk::SystemThreadProcessorTime());
}

// The host kernel's own threads (work queues, the simulated USB host controller) idle without a
// deadline; that alone is no deadlock, but it does not rescue a test thread waiting for nothing.
TEST(Wait, IdleServiceThreadsAreNotADeadlockButDoNotHideOne) {
  static KEVENT stop, stopped;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  KeInitializeEvent(&stopped, NotificationEvent, FALSE);
  hostk::StartHostThread("idle service", [](void*) {
    KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&stopped, 0, FALSE);
  }, nullptr);
  LONGLONG start = hostk::ClockNow();
  kxtest::Sleep(kSecond);  // the service is idle now and time still moves for this thread
  EXPECT_EQ(start + kSecond, hostk::ClockNow());
  EXPECT_EQ(0u, hostk::LiveSystemThreadCount());
  EXPECT_DEATH(
      {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
      },
      "HOST_DEADLOCK(.|\n)*idle service");
  KeSetEvent(&stop, 0, FALSE);
  KeWaitForSingleObject(&stopped, Executive, KernelMode, FALSE, nullptr);
}

TEST(Wait, RealModeTimesOutOnTheWallClock) {
  hostk::SetClockMode(hostk::ClockMode::Real);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER twentyMs = Relative(200'000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &twentyMs));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  hostk::SetClockMode(hostk::ClockMode::Virtual);
}

}  // namespace
