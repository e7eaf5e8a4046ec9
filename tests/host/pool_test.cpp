// The pool: what a driver gets from it, what tests read from it, and the rules it enforces.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "host/hostk.h"
#include "host/ntddk.h"

namespace {

using hostk::PoolTag;

constexpr ULONG kTagA = PoolTag("PlA1");
constexpr ULONG kTagB = PoolTag("PlB2");

UCHAR* Allocate(SIZE_T size, ULONG tag = kTagA, POOL_TYPE type = NonPagedPool) {
  return static_cast<UCHAR*>(ExAllocatePoolWithTag(type, size, tag));
}

// True when every byte equals the first and is not `unlike`.
bool UniformUnlike(const UCHAR* bytes, size_t count, UCHAR unlike) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] != bytes[0] || bytes[i] == unlike) return false;
  }
  return true;
}

TEST(PoolAllocation, BodiesAreAlignedAndNotZeroed) {
  for (SIZE_T size : {1, 3, 16, 17, 100, 4096}) {
    UCHAR* body = Allocate(size);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(body) % 16, 0u) << size;
    EXPECT_TRUE(UniformUnlike(body, size, 0)) << size;
    ExFreePoolWithTag(body, kTagA);
  }
}

// A block of a page or more starts a page; a smaller one never crosses a page boundary.
TEST(PoolAllocation, BlocksKeepThePagePlacementRules) {
  std::vector<UCHAR*> blocks;
  for (SIZE_T size : {4096, 4097, 8192, 12000}) {
    UCHAR* body = Allocate(size);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(body) % PAGE_SIZE, 0u) << size;
    blocks.push_back(body);
  }
  // Many at once, so that some would straddle a boundary if placement were left to chance.
  for (SIZE_T size : {100, 1000, 2049, 3000, 4050, 4095}) {
    for (int i = 0; i < 16; ++i) {
      UCHAR* body = Allocate(size);
      uintptr_t first = reinterpret_cast<uintptr_t>(body);
      EXPECT_EQ(first / PAGE_SIZE, (first + size - 1) / PAGE_SIZE) << size;
      blocks.push_back(body);
    }
  }
  for (UCHAR* body : blocks) ExFreePoolWithTag(body, kTagA);
}

TEST(PoolAllocation, LiveBlocksCarryTagTypeSizeAndOrder) {
  UCHAR* a = Allocate(24, kTagA, NonPagedPool);
  UCHAR* b = Allocate(8, kTagB, PagedPool);
  PVOID untagged = ExAllocatePool(NonPagedPoolNx, 5);
  std::vector<hostk::PoolBlock> blocks = hostk::PoolLiveBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].tag, kTagA);
  EXPECT_EQ(blocks[0].type, NonPagedPool);
  EXPECT_EQ(blocks[0].size, 24u);
  EXPECT_EQ(blocks[1].tag, kTagB);
  EXPECT_EQ(blocks[1].type, PagedPool);
  EXPECT_EQ(blocks[2].tag, PoolTag("None"));
  EXPECT_LT(blocks[0].sequence, blocks[1].sequence);
  EXPECT_LT(blocks[1].sequence, blocks[2].sequence);
  EXPECT_EQ(hostk::PoolLiveCount(kTagB), 1u);
  ExFreePoolWithTag(a, kTagA);
  ExFreePool(b);
  ExFreePool(untagged);
  EXPECT_EQ(hostk::PoolLiveCount(), 0u);
}

TEST(PoolAllocation, FreedMemoryReadsPoison) {
  UCHAR* body = Allocate(64);
  memset(body, 0x11, 64);
  ExFreePool(body);
  EXPECT_TRUE(UniformUnlike(body, 64, 0x11));
  EXPECT_NE(body[0], 0);
}

TEST(PoolLeakReport, ListsLiveBlocksByTagWithTypes) {
  EXPECT_EQ(hostk::PoolLeakReport(), "");
  UCHAR* b = Allocate(10, kTagB, PagedPool);
  UCHAR* a1 = Allocate(16, kTagA, NonPagedPoolNx);
  UCHAR* a2 = Allocate(4, kTagA, NonPagedPool);
  EXPECT_EQ(hostk::PoolLeakReport(),
            "PlA1: 2 blocks, 20 bytes (NonPagedPool, NonPagedPoolNx)\n"
            "PlB2: 1 blocks, 10 bytes (PagedPool)\n");
  ExFreePool(a1);
  ExFreePool(a2);
  ExFreePool(b);
  EXPECT_EQ(hostk::PoolLeakReport(), "");
}

TEST(PoolLeakReport, TagNamesMaskUnprintableBytes) {
  EXPECT_EQ(hostk::PoolTagName(PoolTag("Kx01")), "Kx01");
  EXPECT_EQ(hostk::PoolTagName(0x0A434241), "ABC?");
}

TEST(PoolLeakReport, ForgottenBlocksLeaveTheBooksButMayStillBeFreed) {
  UCHAR* body = Allocate(32);
  hostk::PoolForgetLiveBlocks();
  EXPECT_EQ(hostk::PoolLiveCount(), 0u);
  EXPECT_EQ(hostk::PoolLeakReport(), "");
  ExFreePoolWithTag(body, kTagA);
}

TEST(PoolLeakReport, ResetForgetsBlocksAndClearsFaults) {
  UCHAR* kept = Allocate(8);
  hostk::PoolFailTag(kTagB);
  hostk::PoolResetForNextTest();
  EXPECT_EQ(hostk::PoolLiveCount(), 0u);
  UCHAR* b = Allocate(8, kTagB);
  EXPECT_NE(b, nullptr);
  ExFreePool(b);
  ExFreePool(kept);
}

// Which of `count` allocations fail, freeing the others at once.
std::vector<bool> FailurePattern(int count) {
  std::vector<bool> failed;
  for (int i = 0; i < count; ++i) {
    UCHAR* body = Allocate(8);
    failed.push_back(body == nullptr);
    if (body != nullptr) ExFreePool(body);
  }
  return failed;
}

std::vector<bool> RandomPattern(uint64_t seed, uint64_t alsoFailNth = 0) {
  hostk::PoolFailRandom(0.25, seed);
  if (alsoFailNth != 0) hostk::PoolFailNth(alsoFailNth);
  std::vector<bool> failed = FailurePattern(200);
  hostk::PoolClearFaults();
  return failed;
}

TEST(PoolFaults, NthFailsExactlyThatAllocationOnce) {
  uint64_t failedBefore = hostk::PoolFailedCount();
  hostk::PoolFailNth(3);
  std::vector<bool> expected{false, false, true, false, false};
  EXPECT_EQ(FailurePattern(5), expected);
  EXPECT_EQ(hostk::PoolFailedCount() - failedBefore, 1u);
}

TEST(PoolFaults, TagFailsOnlyItsAllocationsUntilTurnedOff) {
  hostk::PoolFailTag(kTagB);
  EXPECT_EQ(Allocate(8, kTagB), nullptr);
  UCHAR* a = Allocate(8, kTagA);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(hostk::PoolLiveCount(), 1u);
  hostk::PoolFailTag(kTagB, false);
  UCHAR* b = Allocate(8, kTagB);
  EXPECT_NE(b, nullptr);
  ExFreePool(a);
  ExFreePool(b);
}

TEST(PoolFaults, RandomFailuresReplayForTheSameSeed) {
  std::vector<bool> first = RandomPattern(42);
  EXPECT_EQ(RandomPattern(42), first);
  EXPECT_NE(RandomPattern(43), first);
  size_t failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 25u);
  EXPECT_LT(failures, 75u);
}

TEST(PoolFaults, RandomPatternDoesNotShiftWhenAnotherFaultFires) {
  std::vector<bool> expected = RandomPattern(7);
  expected[4] = true;
  EXPECT_EQ(RandomPattern(7, 5), expected);
}

// The limit is a size, not a count: the largest allowed block still comes, the next byte does not,
// and a failure by size keeps the Nth-allocation count in step.
TEST(PoolFaults, LargerThanTheLimitFailsUntilCleared) {
  hostk::PoolFailLarger(4096);
  EXPECT_EQ(Allocate(4097), nullptr);
  UCHAR* largest = Allocate(4096);
  EXPECT_NE(largest, nullptr);
  hostk::PoolFailNth(2);
  EXPECT_EQ(Allocate(1 << 20), nullptr);
  EXPECT_EQ(Allocate(8), nullptr) << "the oversized attempt counted as the first";
  hostk::PoolClearFaults();
  UCHAR* big = Allocate(1 << 20);
  EXPECT_NE(big, nullptr);
  ExFreePool(largest);
  ExFreePool(big);
}

TEST(PoolFaults, ClearStopsEveryFault) {
  hostk::PoolFailNth(1);
  hostk::PoolFailTag(kTagA);
  hostk::PoolFailRandom(1.0, 1);
  hostk::PoolFailLarger(1);
  hostk::PoolClearFaults();
  EXPECT_EQ(FailurePattern(3), std::vector<bool>(3, false));
}

TEST(PoolIrql, NonPagedPoolAtDispatchLevelIsAllowed) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  UCHAR* body = Allocate(8, kTagA, NonPagedPoolNx);
  EXPECT_NE(body, nullptr);
  ExFreePool(body);
  KfLowerIrql(old);
}

TEST(PoolDeathTest, DamagedGuardsAreBugChecks) {
  EXPECT_DEATH(
      {
        UCHAR* body = Allocate(32);
        body[-1] = 0;
        ExFreePool(body);
      },
      "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION.*guard bytes damaged before the block.*'PlA1'");
  EXPECT_DEATH(
      {
        UCHAR* body = Allocate(13);
        body[13] = 0;
        ExFreePool(body);
      },
      "guard bytes damaged after the block.*'PlA1' \\(13 bytes\\)");
}

TEST(PoolDeathTest, FreesOfWhatThePoolDidNotHandOutAreBugChecks) {
  EXPECT_DEATH(
      {
        UCHAR* body = Allocate(16);
        ExFreePool(body);
        ExFreePool(body);
      },
      "BAD_POOL_CALLER.*double free.*'PlA1'");
  EXPECT_DEATH(
      {
        int local = 0;
        ExFreePool(&local);
      },
      "BAD_POOL_CALLER.*free of an address not from the pool");
  EXPECT_DEATH(ExFreePool(Allocate(16) + 8), "lies 8 bytes into the block");
  EXPECT_DEATH(ExFreePoolWithTag(Allocate(16, kTagA), kTagB),
               "BAD_POOL_CALLER.*wrong tag.*'PlA1'.*'PlB2'");
  EXPECT_DEATH(
      {
        UCHAR* body = Allocate(16);
        ExFreePool(body);
        hostk::PoolResetForNextTest();
        ExFreePool(body);
      },
      "free of an address not from the pool");
}

TEST(PoolDeathTest, ZeroBytesIsABugCheck) {
  EXPECT_DEATH(Allocate(0), "DRIVER_VERIFIER_DETECTED_VIOLATION.*zero bytes.*'PlA1'");
}

TEST(PoolDeathTest, PagedPoolAtDispatchLevelIsABugCheck) {
  EXPECT_DEATH(
      {
        KfRaiseIrql(DISPATCH_LEVEL);
        Allocate(8, kTagA, PagedPool);
      },
      "DRIVER_VERIFIER_DETECTED_VIOLATION.*paged pool allocation at DISPATCH_LEVEL");
  EXPECT_DEATH(
      {
        UCHAR* body = Allocate(8, kTagA, PagedPoolCacheAligned);
        KfRaiseIrql(DISPATCH_LEVEL);
        ExFreePool(body);
      },
      "paged pool free at DISPATCH_LEVEL");
}

TEST(PoolDeathTest, WriteAfterFreeIsFoundWhenTheQuarantineLetsGo) {
  EXPECT_DEATH(
      {
        UCHAR* body = Allocate(16);
        ExFreePool(body);
        body[3] = 1;
        hostk::PoolResetForNextTest();
      },
      "DRIVER_CORRUPTED_EXPOOL.*write after free.*'PlA1'.*offset 3");
}

TEST(PoolConcurrency, CountsStayRightUnderConcurrentAllocation) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  constexpr size_t kKept = 5;
  const ULONG failingTag = PoolTag("PcXX");
  hostk::PoolFailTag(failingTag);
  uint64_t failedBefore = hostk::PoolFailedCount();
  std::vector<std::vector<UCHAR*>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &kept, failingTag] {
      ULONG tag = PoolTag("Pc00") + ((ULONG)t << 24);
      std::vector<UCHAR*>& mine = kept[t];
      for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(Allocate(1 + i % 50, failingTag), nullptr);
        mine.push_back(Allocate(1 + i % 100, tag));
        if (mine.size() > kKept) {
          ExFreePoolWithTag(mine.front(), tag);
          mine.erase(mine.begin());
        }
        if (i % 500 == 0) hostk::PoolLeakReport();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  hostk::PoolClearFaults();
  EXPECT_EQ(hostk::PoolFailedCount() - failedBefore, (uint64_t)kThreads * kRounds);
  EXPECT_EQ(hostk::PoolLiveCount(), kThreads * kKept);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(hostk::PoolLiveCount(PoolTag("Pc00") + ((ULONG)t << 24)), kKept);
    for (UCHAR* body : kept[t]) ExFreePool(body);
  }
}

}  // namespace
