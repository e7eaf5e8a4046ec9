// Remove locks: removal waits for every holder, late acquisitions are refused, and unbalanced use is
// a bug check that names the holders.
#include <gtest/gtest.h>

#include "support/kernel_test_util.h"

namespace {

using kxtest::kSecond;
using kxtest::Sleep;
using kxtest::SystemThread;

constexpr ULONG kLockTag = hostk::PoolTag("RmLk");

PVOID TagOf(ULONG_PTR n) { return (PVOID)n; }

class RemoveLockTest : public testing::Test {
 protected:
  void SetUp() override { IoInitializeRemoveLock(&lock_, kLockTag, 0, 0); }
  IO_REMOVE_LOCK lock_;
};

TEST_F(RemoveLockTest, ReleaseAndWaitReturnsWhenTheLastHolderReleases) {
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock_, TagOf(1)));  // the remover's own
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock_, TagOf(2)));  // a request in flight
  NTSTATUS lateAcquire = STATUS_SUCCESS;
  SystemThread holder([&] {
    Sleep(2 * kSecond);
    lateAcquire = IoAcquireRemoveLock(&lock_, TagOf(3));
    IoReleaseRemoveLock(&lock_, TagOf(2));
  });
  LONGLONG start = hostk::ClockNow();
  IoReleaseRemoveLockAndWait(&lock_, TagOf(1));
  EXPECT_EQ(2 * kSecond, hostk::ClockNow() - start);
  holder.Join();
  // Refused while the remover waited, and not counted: it would otherwise have kept it waiting.
  EXPECT_EQ(STATUS_DELETE_PENDING, lateAcquire);
  EXPECT_EQ(0, lock_.Common.IoCount);
}

TEST_F(RemoveLockTest, AcquireAfterRemovalAnswersDeletePending) {
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock_, TagOf(1)));
  LONGLONG start = hostk::ClockNow();
  IoReleaseRemoveLockAndWait(&lock_, TagOf(1));
  EXPECT_EQ(start, hostk::ClockNow());  // nobody else held it: no wait
  EXPECT_TRUE(lock_.Common.Removed);
  EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock_, TagOf(2)));
  EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock_, TagOf(1)));
  EXPECT_EQ(0, lock_.Common.IoCount);
}

TEST_F(RemoveLockTest, ConcurrentNestedAcquisitionsBalance) {
  auto work = [&](ULONG_PTR tag, bool atDispatch) {
    for (int i = 0; i < 2000; i++) {
      KIRQL old = PASSIVE_LEVEL;
      if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
      if (IoAcquireRemoveLock(&lock_, TagOf(tag)) != STATUS_SUCCESS) ADD_FAILURE();
      if (IoAcquireRemoveLock(&lock_, TagOf(tag)) != STATUS_SUCCESS) ADD_FAILURE();
      IoReleaseRemoveLock(&lock_, TagOf(tag));
      IoReleaseRemoveLock(&lock_, TagOf(tag));
      if (atDispatch) KeLowerIrql(old);
    }
  };
  {
    SystemThread a([&] { work(10, false); });
    SystemThread b([&] { work(11, true); });
    SystemThread c([&] { work(10, false); });  // a tag shared with another thread
  }
  EXPECT_EQ(1, lock_.Common.IoCount);
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock_, TagOf(1)));
  LONGLONG start = hostk::ClockNow();
  IoReleaseRemoveLockAndWait(&lock_, TagOf(1));
  EXPECT_EQ(start, hostk::ClockNow());
}

using RemoveLockDeathTest = RemoveLockTest;

TEST_F(RemoveLockDeathTest, SizeMustMatchTheRecord) {
  IO_REMOVE_LOCK other;
  EXPECT_DEATH(IoInitializeRemoveLockEx(&other, kLockTag, 0, 0, sizeof(IO_REMOVE_LOCK) - 4),
               "DRIVER_VERIFIER_DETECTED_VIOLATION.*remove lock size");
  EXPECT_DEATH(IoAcquireRemoveLockEx(&lock_, TagOf(1), __FILE__, __LINE__, 8),
               "remove lock size 8");
}

TEST_F(RemoveLockDeathTest, ReleasedMoreOftenThanAcquired) {
  EXPECT_DEATH(
      {
        IoAcquireRemoveLock(&lock_, TagOf(1));
        IoReleaseRemoveLock(&lock_, TagOf(1));
        IoReleaseRemoveLock(&lock_, TagOf(1));
      },
      "remove lock released more often than acquired");
}

TEST_F(RemoveLockDeathTest, ReleaseWithATagNeverAcquiredNamesTheHolders) {
  EXPECT_DEATH(
      {
        IoAcquireRemoveLock(&lock_, TagOf(1));
        IoAcquireRemoveLock(&lock_, TagOf(1));
        IoReleaseRemoveLock(&lock_, TagOf(2));
      },
      "tag 0x2, which was never acquired.*tag 0x1: 2 time.*remove_lock_test.cpp:");
}

TEST_F(RemoveLockDeathTest, ReleaseAndWaitWithoutAnAcquisitionOfItsOwn) {
  EXPECT_DEATH(
      {
        IoAcquireRemoveLock(&lock_, TagOf(1));
        IoReleaseRemoveLockAndWait(&lock_, TagOf(9));
      },
      "IoReleaseRemoveLockAndWait.*tag 0x9, which was never acquired");
}

TEST_F(RemoveLockDeathTest, HighWatermarkIsEnforced) {
  IO_REMOVE_LOCK bounded;
  IoInitializeRemoveLock(&bounded, kLockTag, 0, 2);
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&bounded, TagOf(1)));
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&bounded, TagOf(2)));
  EXPECT_DEATH(IoAcquireRemoveLock(&bounded, TagOf(3)),
               "acquired more than its high-water mark of 2 times.*tag 0x1.*tag 0x2");
  IoReleaseRemoveLock(&bounded, TagOf(2));
  IoReleaseRemoveLock(&bounded, TagOf(1));
}

}  // namespace
