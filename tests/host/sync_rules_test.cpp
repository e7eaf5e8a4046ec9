// Spin locks and IRQL, and the rules the host kernel enforces on locks, waits and threads: each
// broken rule is a bug check naming it.
#include <gtest/gtest.h>

#include "support/kernel_test_util.h"

namespace {

using kxtest::kSecond;
using kxtest::Relative;
using kxtest::SystemThread;

TEST(SpinLock, RaisesToDispatchAndExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LONG counter = 0;  // deliberately not atomic: the lock is what protects it
  auto work = [&] {
    for (int i = 0; i < 20000; i++) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      EXPECT_EQ(PASSIVE_LEVEL, old);
      if (KeGetCurrentIrql() != DISPATCH_LEVEL) ADD_FAILURE() << "not at DISPATCH_LEVEL";
      counter = counter + 1;
      KeReleaseSpinLock(&lock, old);
    }
  };
  {
    SystemThread a(work), b(work), c(work);
  }
  EXPECT_EQ(60000, counter);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST(SpinLock, AtDpcLevelVariantsKeepTheIrql) {
  KSPIN_LOCK first, second;
  KeInitializeSpinLock(&first);
  KeInitializeSpinLock(&second);
  KIRQL old;
  KeAcquireSpinLock(&first, &old);
  KeAcquireSpinLockAtDpcLevel(&second);
  EXPECT_FALSE(KeTestSpinLock(&second));
  KeReleaseSpinLockFromDpcLevel(&second);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  KeReleaseSpinLock(&first, old);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

using VerifierDeathTest = testing::Test;

TEST_F(VerifierDeathTest, WaitWithTimeOutAtDispatchLevel) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER timeout = Relative(kSecond);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*time-out other than zero");
}

TEST_F(VerifierDeathTest, ZeroTimeOutWaitAtDispatchLevelIsAllowed) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero = Relative(0);
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
  KeLowerIrql(old);
}

TEST_F(VerifierDeathTest, SpinLockReleasedAtTheWrongIrql) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeLowerIrql(PASSIVE_LEVEL);
        KeReleaseSpinLock(&lock, old);
      },
      "spin lock released at the wrong IRQL");
}

TEST_F(VerifierDeathTest, SpinLockReleasedByAnotherThread) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL held;
        SystemThread owner([&] { KeAcquireSpinLock(&lock, &held); });
      },
      "ended holding 1 spin lock");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        SystemThread owner([&] {
          KIRQL old;
          KeAcquireSpinLock(&lock, &old);
          KeStallExecutionProcessor(1000000);
          KeReleaseSpinLock(&lock, old);
        });
        kxtest::Sleep(kxtest::kMillisecond);
        KfRaiseIrql(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
      },
      "SPIN_LOCK_NOT_OWNED.*does not own it");
}

TEST_F(VerifierDeathTest, FastMutexAcquiredRecursively) {
  EXPECT_DEATH(
      {
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
      },
      "IRQL_NOT_LESS_OR_EQUAL|acquired recursively");
}

TEST_F(VerifierDeathTest, MutexReleasedByAThreadThatDoesNotOwnIt) {
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KeReleaseMutex(&mutex, FALSE);
      },
      "THREAD_NOT_MUTEX_OWNER");
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        SystemThread other([&] { KeReleaseMutex(&mutex, FALSE); });
      },
      "THREAD_NOT_MUTEX_OWNER");
}

TEST_F(VerifierDeathTest, ThreadEndingWithRaisedIrqlOrOwnedMutex) {
  EXPECT_DEATH({ SystemThread t([] { KfRaiseIrql(APC_LEVEL); }); }, "ended at IRQL 1");
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        SystemThread t([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
      },
      "ended owning 1 mutex");
}

TEST_F(VerifierDeathTest, DeadlockIsReportedWithEveryBlockedThread) {
  EXPECT_DEATH(
      {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        SystemThread t([&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
      },
      "HOST_DEADLOCK(.|\n)*thread \"test\": blocked in KeWaitForSingleObject \\(any of\\) thread"
      "(.|\n)*system thread [0-9]+\": blocked in KeWaitForSingleObject \\(any of\\) "
      "notification event");
}

TEST_F(VerifierDeathTest, IrqlMovesOnlyInTheRightDirection) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(APC_LEVEL, &old);
      },
      "IRQL_NOT_GREATER_OR_EQUAL");
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(VerifierDeathTest, WaitFromAnUnmanagedThreadIsRefused) {
  EXPECT_DEATH(
      {
        hostk::DetachCurrentThread();
        kxtest::Sleep(kSecond);
      },
      "does not manage");
}

}  // namespace

namespace {

TEST(ExtendedState, SavesAreRestoredInnermostFirstOnTheSavingThread) {
  XSTATE_SAVE outer, inner;
  ASSERT_EQ(STATUS_SUCCESS, KeSaveExtendedProcessorState(1ull << XSTATE_LEGACY_SSE, &outer));
  ASSERT_EQ(STATUS_SUCCESS, KeSaveExtendedProcessorState(1ull << XSTATE_GSSE, &inner));
  EXPECT_DEATH(KeRestoreExtendedProcessorState(&outer), "not this thread's innermost");
  KeRestoreExtendedProcessorState(&inner);
  KeRestoreExtendedProcessorState(&outer);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, KeSaveExtendedProcessorState(1ull << 9, &outer));
  EXPECT_DEATH(
      {
        kxtest::SystemThread t([] {
          static XSTATE_SAVE leaked;
          KeSaveExtendedProcessorState(1ull << XSTATE_LEGACY_SSE, &leaked);
        });
      },
      "ended with an extended processor state saved");
}

}  // namespace
