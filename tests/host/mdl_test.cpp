// Memory descriptor lists: the life of an MDL over user memory and pool, partial MDLs, the flags a
// driver reads, injected failures, and the rules a broken driver runs into.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/hostk.h"
#include "host/hostk/user_memory.h"
#include "host/ntddk.h"
#include "seh.h"

namespace {

using hostk::UserBuffer;

constexpr ULONG kTag = hostk::PoolTag("MdlT");

NTSTATUS Lock(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  return KxGuarded([=] {
    MmProbeAndLockPages(mdl, mode, operation);
    return STATUS_SUCCESS;
  });
}

PMDL AllocateOver(const void* address, ULONG length) {
  return IoAllocateMdl(const_cast<void*>(address), length, FALSE, FALSE, NULL);
}

// An MDL over the buffer, locked for writing and mapped.
PMDL LockedAndMapped(UserBuffer& buffer) {
  PMDL mdl = AllocateOver(buffer.Data(), (ULONG)buffer.Length());
  EXPECT_EQ(Lock(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
  EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  return mdl;
}

void UnlockAndFree(PMDL mdl) {
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

TEST(MdlAllocation, DescribesTheBufferPageByPage) {
  UserBuffer buffer(0x2000, true, true, 0x123);
  PMDL mdl = AllocateOver(buffer.Data(), 0x2000);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(mdl->StartVa, buffer.Data() - 0x123);
  EXPECT_EQ(mdl->ByteOffset, 0x123u);
  EXPECT_EQ(MmGetMdlByteCount(mdl), 0x2000u);
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer.Data());
  EXPECT_EQ(mdl->Size, (CSHORT)(sizeof(MDL) + 3 * sizeof(ULONG)));  // 0x123 + 0x2000 spans 3 pages
  EXPECT_EQ(mdl->MdlFlags, 0);
  EXPECT_EQ(mdl->Next, nullptr);
  EXPECT_EQ(hostk::MdlLiveCount(), 1u);
  EXPECT_NE(hostk::MdlLeakReport().find("+ 8192 bytes (no flags)"), std::string::npos);
  IoFreeMdl(mdl);
  EXPECT_EQ(hostk::MdlLiveCount(), 0u);
  EXPECT_EQ(hostk::MdlLeakReport(), "");
}

TEST(MdlAllocation, InjectedFailureHitsTheNthAllocationOnly) {
  UserBuffer buffer(16);
  hostk::MdlFailNext(2);
  PMDL first = AllocateOver(buffer.Data(), 16);
  PMDL second = AllocateOver(buffer.Data(), 16);
  PMDL third = AllocateOver(buffer.Data(), 16);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(hostk::MdlLiveCount(), 2u);
  IoFreeMdl(first);
  IoFreeMdl(third);
}

TEST(MdlAllocation, RequestChainTakesPrimaryThenSecondaryBuffers) {
  UserBuffer buffer(64);
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  PMDL primary = IoAllocateMdl(buffer.Data(), 16, FALSE, FALSE, irp);
  PMDL second = IoAllocateMdl(buffer.Data() + 16, 16, TRUE, FALSE, irp);
  PMDL third = IoAllocateMdl(buffer.Data() + 32, 16, TRUE, FALSE, irp);
  EXPECT_EQ(irp->MdlAddress, primary);
  EXPECT_EQ(primary->Next, second);
  EXPECT_EQ(second->Next, third);
  EXPECT_EQ(third->Next, nullptr);
  irp->MdlAddress = NULL;
  IoFreeMdl(primary);
  IoFreeMdl(second);
  IoFreeMdl(third);
  IoFreeIrp(irp);
}

TEST(MdlUserBuffer, LockMapWriteUnlockFree) {
  UserBuffer buffer(3 * PAGE_SIZE, true, true, 0x80);
  PMDL mdl = AllocateOver(buffer.Data(), (ULONG)buffer.Length());
  ASSERT_EQ(Lock(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
  EXPECT_EQ(mdl->MdlFlags, MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
  auto* system = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(system, nullptr);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(mdl->MappedSystemVa, system);
  // A second request for the address reuses the mapping.
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system);
  system[0] = 0x5A;
  system[buffer.Length() - 1] = 0xA5;
  EXPECT_EQ(buffer.Data()[0], 0x5A);
  EXPECT_EQ(buffer.Data()[buffer.Length() - 1], 0xA5);
  // Unlocking releases the mapping with the pages.
  MmUnlockPages(mdl);
  EXPECT_EQ(mdl->MdlFlags, 0);
  IoFreeMdl(mdl);
}

// A system mapping is a second view of the user's pages: its own address, the same bytes, written
// either way, and gone when the MDL is unlocked.
TEST(MdlUserBuffer, SystemMappingIsASecondViewAtItsOwnAddress) {
  UserBuffer buffer(2 * PAGE_SIZE, true, true, 0x234);
  PMDL mdl = LockedAndMapped(buffer);
  auto* system = static_cast<UCHAR*>(mdl->MappedSystemVa);
  EXPECT_NE(system, buffer.Data());
  EXPECT_EQ(reinterpret_cast<uintptr_t>(system) % PAGE_SIZE, 0x234u);  // the same byte offset
  system[0] = 0x11;
  buffer.Data()[2 * PAGE_SIZE - 1] = 0x22;
  EXPECT_EQ(buffer.Data()[0], 0x11);
  EXPECT_EQ(system[2 * PAGE_SIZE - 1], 0x22);
  // A second MDL over the same pages gets a view of its own.
  PMDL other = LockedAndMapped(buffer);
  EXPECT_NE(other->MappedSystemVa, mdl->MappedSystemVa);
  EXPECT_EQ(static_cast<UCHAR*>(other->MappedSystemVa)[0], 0x11);
  UnlockAndFree(other);
  UnlockAndFree(mdl);
  // Kernel memory is in system space already and keeps its address.
  UCHAR onStack[64];
  PMDL kernel = AllocateOver(onStack, sizeof onStack);
  ASSERT_EQ(Lock(kernel, KernelMode, IoWriteAccess), STATUS_SUCCESS);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(kernel, NormalPagePriority), onStack);
  UnlockAndFree(kernel);
}

long ThreadPageFaults() {
  rusage usage;
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_minflt;
}

// One byte of each page of `length` bytes at `view`, summed. Not instrumented, so that a
// sanitizer's shadow of the view is not what faults.
__attribute__((no_sanitize_address, no_sanitize_thread)) size_t SumOfPageBytes(
    const volatile UCHAR* view, size_t length) {
  size_t sum = 0;
  for (size_t at = 0; at < length; at += PAGE_SIZE) sum += view[at];
  return sum;
}

// The rows of a glyph on a 1080p desktop, and the whole desktop: views of both sizes the host
// opens in their own ways.
constexpr size_t kDesktopBytes = 1920 * 1080 * 4;
constexpr size_t kGlyphRowsBytes = 16 * 1920 * 4;

// A view of `length` bytes at `offset` into `buffer`, locked and mapped.
PMDL ViewOf(UserBuffer& buffer, size_t offset, size_t length) {
  PMDL mdl = AllocateOver(buffer.Data() + offset, ULONG(length));
  EXPECT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  return mdl;
}

// The platform fills in a view's page-table entries when it maps the pages, so reading through a
// fresh view never faults, however often the same pages are mapped again.
TEST(MdlUserBuffer, AFreshViewReadsWithoutAPageFault) {
  UserBuffer buffer(kDesktopBytes, true, true, 0x40);
  std::memset(buffer.Data(), 0x5A, buffer.Length());
  for (size_t length : {kGlyphRowsBytes, kDesktopBytes}) {
    size_t pages = (length + PAGE_SIZE - 1) / PAGE_SIZE;
    for (int round = 0; round < 3; round++) {
      size_t offset = length == kDesktopBytes ? 0 : size_t(round) * 5 * PAGE_SIZE;
      PMDL mdl = ViewOf(buffer, offset, length);
      const volatile UCHAR* system = static_cast<UCHAR*>(mdl->MappedSystemVa);
      long before = ThreadPageFaults();
      size_t sum = SumOfPageBytes(system, length);
      EXPECT_EQ(ThreadPageFaults() - before, 0) << length << " bytes, round " << round;
      EXPECT_EQ(sum, 0x5A * pages);
      UnlockAndFree(mdl);
    }
  }
}

// A view is gone with its mapping: a touch of it faults, small or large, and the next view of the
// same pages, wherever the host opens it, still shows them.
TEST(MdlUserBuffer, ATouchOfAClosedViewFaults) {
  UserBuffer buffer(kDesktopBytes, true, true, 0);
  std::memset(buffer.Data(), 0x33, buffer.Length());
  for (size_t length : {kGlyphRowsBytes, kDesktopBytes}) {
    PMDL mdl = ViewOf(buffer, 0, length);
    const volatile UCHAR* closed = static_cast<UCHAR*>(mdl->MappedSystemVa);
    UnlockAndFree(mdl);
    EXPECT_DEATH(SumOfPageBytes(closed, PAGE_SIZE), "") << length << " bytes";
    EXPECT_DEATH(SumOfPageBytes(closed + length - PAGE_SIZE, PAGE_SIZE), "") << length << " bytes";
    PMDL again = ViewOf(buffer, 0, length);
    EXPECT_EQ(SumOfPageBytes(static_cast<UCHAR*>(again->MappedSystemVa), length),
              0x33 * (length / PAGE_SIZE));
    UnlockAndFree(again);
  }
}

// Views over overlapping pages, opened and closed in any order: every open view shows the
// buffer's bytes as they are now, and a write through any of them reaches the buffer.
void CheckOverlappingViewsInAnyOrder() {
  constexpr size_t kPages = 40;
  UserBuffer buffer(kPages * PAGE_SIZE);
  for (size_t i = 0; i < buffer.Length(); i++) buffer.Data()[i] = UCHAR(i * 7 + i / PAGE_SIZE);
  unsigned seed = testing::UnitTest::GetInstance()->random_seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  struct View {
    PMDL mdl;
    size_t first;
    size_t pages;
  };
  std::vector<View> open;
  for (int step = 0; step < 300; step++) {
    if (open.size() < 3 && (open.empty() || random() % 2 == 0)) {
      size_t first = random() % kPages;
      size_t pages = 1 + random() % (kPages - first);
      PMDL mdl = AllocateOver(buffer.Data() + first * PAGE_SIZE, ULONG(pages * PAGE_SIZE));
      ASSERT_EQ(Lock(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
      ASSERT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
      open.push_back({mdl, first, pages});
    } else {
      size_t which = random() % open.size();
      UnlockAndFree(open[which].mdl);
      open.erase(open.begin() + long(which));
    }
    for (const View& view : open) {
      auto* system = static_cast<UCHAR*>(view.mdl->MappedSystemVa);
      const UCHAR* user = buffer.Data() + view.first * PAGE_SIZE;
      ASSERT_EQ(std::memcmp(system, user, view.pages * PAGE_SIZE), 0) << "step " << step;
      size_t at = random() % (view.pages * PAGE_SIZE);
      system[at] = UCHAR(system[at] + 1);
      ASSERT_EQ(system[at], user[at]) << "step " << step;
    }
  }
  for (const View& view : open) UnlockAndFree(view.mdl);
}

TEST(MdlUserBuffer, OverlappingViewsInAnyOrderShowTheSameBytes) {
  CheckOverlappingViewsInAnyOrder();
}

TEST(MdlUserBuffer, OverlappingResidentViewsInAnyOrderShowTheSameBytes) {
  hostk::UserRangeKeepViewsResident(true);
  CheckOverlappingViewsInAnyOrder();
}

// The process's mappings of user buffers' files: the buffers and the host's windows onto them
// (the allocators of a sanitizer build map memory of their own at any time).
std::string UserBufferMappings() {
  std::ifstream maps("/proc/self/maps");
  std::string mappings, line;
  while (std::getline(maps, line)) {
    if (line.find("hostk-user-buffer") != std::string::npos) mappings += line + "\n";
  }
  return mappings;
}

// Resident views cost the page tables nothing: once the range has its window, views of any size
// and place are open without a mapping made, moved or protected anew, and read without a fault.
// Two views at once still have addresses of their own.
TEST(MdlUserBuffer, ResidentViewsLeaveThePageTablesAlone) {
  hostk::UserRangeKeepViewsResident(true);
  UserBuffer buffer(kDesktopBytes, true, true, 0x40);
  std::memset(buffer.Data(), 0x21, buffer.Length());
  UnlockAndFree(ViewOf(buffer, 0, kDesktopBytes));
  std::string before = UserBufferMappings();
  ASSERT_NE(before, "");
  for (int round = 0; round < 3; round++) {
    for (size_t length : {kGlyphRowsBytes, kDesktopBytes}) {
      size_t offset = length == kDesktopBytes ? 0 : size_t(round) * 7 * PAGE_SIZE;
      PMDL mdl = ViewOf(buffer, offset, length);
      long faults = ThreadPageFaults();
      size_t sum = SumOfPageBytes(static_cast<UCHAR*>(mdl->MappedSystemVa), length);
      EXPECT_EQ(ThreadPageFaults() - faults, 0) << length << " bytes, round " << round;
      EXPECT_EQ(sum, 0x21 * ((length + PAGE_SIZE - 1) / PAGE_SIZE));
      EXPECT_EQ(UserBufferMappings(), before) << length << " bytes, round " << round;
      UnlockAndFree(mdl);
    }
  }
  PMDL first = ViewOf(buffer, 0, PAGE_SIZE);
  PMDL second = ViewOf(buffer, 0, PAGE_SIZE);
  EXPECT_NE(first->MappedSystemVa, second->MappedSystemVa);
  static_cast<UCHAR*>(first->MappedSystemVa)[5] = 0x77;
  EXPECT_EQ(static_cast<UCHAR*>(second->MappedSystemVa)[5], 0x77);
  EXPECT_EQ(buffer.Data()[5], 0x77);
  UnlockAndFree(first);
  UnlockAndFree(second);
}

TEST(MdlUserBuffer, ReadLockHasNoWriteFlagAndUnmapIsExplicit) {
  UserBuffer buffer(100, true, false);
  PMDL mdl = AllocateOver(buffer.Data(), 100);
  ASSERT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_EQ(mdl->MdlFlags, MDL_PAGES_LOCKED);
  PVOID system = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE,
                                              NormalPagePriority | MdlMappingNoExecute);
  ASSERT_NE(system, nullptr);
  MmUnmapLockedPages(system, mdl);
  EXPECT_EQ(mdl->MdlFlags, MDL_PAGES_LOCKED);
  UnlockAndFree(mdl);
}

TEST(MdlUserBuffer, LockWithoutTheAccessRaisesAndLeavesTheMdlUnlocked) {
  UserBuffer readOnly(64, true, false);
  UserBuffer noAccess(64, false, false);
  UCHAR kernelStack[64];
  PMDL write = AllocateOver(readOnly.Data(), 64);
  PMDL read = AllocateOver(noAccess.Data(), 64);
  PMDL stack = AllocateOver(kernelStack, 64);
  PMDL overrun = AllocateOver(readOnly.Data(), 65);
  EXPECT_EQ(Lock(write, UserMode, IoWriteAccess), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(Lock(write, UserMode, IoModifyAccess), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(Lock(read, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(Lock(stack, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(Lock(overrun, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
  for (PMDL mdl : {write, read, stack, overrun}) {
    EXPECT_EQ(mdl->MdlFlags, 0);
    IoFreeMdl(mdl);
  }
}

TEST(MdlPool, KernelModeLocksPoolButUserModeMayNot) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 300, kTag);
  PMDL mdl = AllocateOver(static_cast<UCHAR*>(block) + 100, 200);
  EXPECT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
  ASSERT_EQ(Lock(mdl, KernelMode, IoModifyAccess), STATUS_SUCCESS);
  UnlockAndFree(mdl);
  PMDL beyond = AllocateOver(block, 301);
  EXPECT_EQ(Lock(beyond, KernelMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
  IoFreeMdl(beyond);
  ExFreePoolWithTag(block, kTag);
}

UCHAR gDriverGlobal[300];

// Kernel memory that is not pool (a driver's stack, its globals) is locked for a kernel-mode
// caller as it is; only user mode is refused.
TEST(MdlKernelMemory, KernelModeLocksStackAndGlobalBuffers) {
  UCHAR onStack[200];
  for (UCHAR* buffer : {onStack, gDriverGlobal}) {
    PMDL mdl = AllocateOver(buffer, 200);
    EXPECT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    ASSERT_EQ(Lock(mdl, KernelMode, IoWriteAccess), STATUS_SUCCESS);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    UnlockAndFree(mdl);
  }
}

TEST(MdlPool, NonPagedPoolMdlHasItsSystemAddressWithoutMapping) {
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 5000, kTag));
  PMDL mdl = AllocateOver(block, 5000);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_EQ(mdl->MdlFlags, MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);
  EXPECT_EQ(mdl->MdlFlags, MDL_SOURCE_IS_NONPAGED_POOL);
  IoFreeMdl(mdl);  // nothing to unlock or unmap
  ExFreePoolWithTag(block, kTag);
}

TEST(MdlMapping, InjectedFailureReturnsNullOnceAndChangesNothing) {
  UserBuffer buffer(64);
  PMDL mdl = AllocateOver(buffer.Data(), 64);
  ASSERT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  hostk::MmFailNextMapping();
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  EXPECT_EQ(mdl->MdlFlags, MDL_PAGES_LOCKED);
  EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  UnlockAndFree(mdl);
}

TEST(MdlPartial, SharesTheMappingOfAMappedSource) {
  UserBuffer buffer(4 * PAGE_SIZE);
  PMDL source = LockedAndMapped(buffer);
  PMDL partial = AllocateOver(buffer.Data() + 0x1800, 0x1000);
  IoBuildPartialMdl(source, partial, buffer.Data() + 0x1800, 0x1000);
  EXPECT_EQ(partial->MdlFlags, MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARENT_MAPPED_SYSTEM_VA);
  EXPECT_EQ(partial->ByteOffset, 0x800u);
  EXPECT_EQ(MmGetMdlVirtualAddress(partial), buffer.Data() + 0x1800);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority),
            static_cast<UCHAR*>(source->MappedSystemVa) + 0x1800);
  IoFreeMdl(partial);  // the mapping is the source's
  EXPECT_TRUE(source->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  UnlockAndFree(source);
}

TEST(MdlPartial, MapsItselfWhenTheSourceIsNotMappedAndIsFreedMapped) {
  UserBuffer buffer(2 * PAGE_SIZE);
  PMDL source = AllocateOver(buffer.Data(), (ULONG)buffer.Length());
  ASSERT_EQ(Lock(source, UserMode, IoWriteAccess), STATUS_SUCCESS);
  PMDL partial = AllocateOver(buffer.Data(), (ULONG)buffer.Length());
  IoBuildPartialMdl(source, partial, buffer.Data() + 100, 0);  // the rest of the source
  EXPECT_EQ(partial->MdlFlags, MDL_PARTIAL);
  EXPECT_EQ(MmGetMdlByteCount(partial), 2 * PAGE_SIZE - 100);
  auto* system = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
  ASSERT_NE(system, nullptr);
  system[0] = 0x3C;
  EXPECT_EQ(buffer.Data()[100], 0x3C);
  EXPECT_EQ(partial->MdlFlags, MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
  EXPECT_FALSE(source->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  IoFreeMdl(partial);  // releases the partial's own mapping, as documented
  UnlockAndFree(source);
}

TEST(MdlPartial, PreparedForReuseTakesTheNextSubRange) {
  UserBuffer buffer(2 * PAGE_SIZE);
  PMDL source = AllocateOver(buffer.Data(), (ULONG)buffer.Length());
  ASSERT_EQ(Lock(source, UserMode, IoReadAccess), STATUS_SUCCESS);
  PMDL partial = AllocateOver(nullptr, PAGE_SIZE);
  for (ULONG offset : {0u, (ULONG)PAGE_SIZE}) {
    IoBuildPartialMdl(source, partial, buffer.Data() + offset, PAGE_SIZE);
    auto* system = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
    system[0] = (UCHAR)(offset >> 8 | 1);
    EXPECT_EQ(buffer.Data()[offset], (UCHAR)(offset >> 8 | 1));
    MmPrepareMdlForReuse(partial);
    EXPECT_FALSE(partial->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  }
  IoFreeMdl(partial);
  UnlockAndFree(source);
}

TEST(MdlPartial, InheritsTheAddressOfNonPagedPool) {
  auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 2000, kTag));
  PMDL source = AllocateOver(block, 2000);
  MmBuildMdlForNonPagedPool(source);
  PMDL partial = AllocateOver(block + 500, 1000);
  IoBuildPartialMdl(source, partial, block + 500, 1000);
  EXPECT_EQ(partial->MdlFlags, MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), block + 500);
  IoFreeMdl(partial);
  IoFreeMdl(source);
  ExFreePoolWithTag(block, kTag);
}

// Rules a broken driver breaks. Each death test ends in the bug check the platform's verifier
// raises; the child process dies, so nothing it allocated is left behind.
using MdlDeathTest = testing::Test;

TEST_F(MdlDeathTest, FreeingALockedMdl) {
  UserBuffer buffer(64);
  PMDL mdl = AllocateOver(buffer.Data(), 64);
  ASSERT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_DEATH(IoFreeMdl(mdl), "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS.*still locked");
  UnlockAndFree(mdl);
}

TEST_F(MdlDeathTest, FreeingAMappedMdl) {
  UserBuffer buffer(64);
  PMDL mdl = LockedAndMapped(buffer);
  EXPECT_DEATH(IoFreeMdl(mdl), "DRIVER_VERIFIER_DETECTED_VIOLATION.*still mapped.*0xb8");
  UnlockAndFree(mdl);
}

// A system view ends with the MDL's unlock: the driver that keeps its address faults on the next
// touch, as on the platform, though the host keeps the view's pages mapped for the next one.
TEST_F(MdlDeathTest, TouchingASystemViewAfterTheUnlock) {
  UserBuffer buffer(3 * PAGE_SIZE);
  PMDL mdl = LockedAndMapped(buffer);
  volatile UCHAR* system = static_cast<UCHAR*>(mdl->MappedSystemVa);
  system[PAGE_SIZE] = 1;
  UnlockAndFree(mdl);
  EXPECT_DEATH(system[PAGE_SIZE] = 2, "");
  PMDL next = LockedAndMapped(buffer);
  static_cast<UCHAR*>(next->MappedSystemVa)[PAGE_SIZE] = 3;
  EXPECT_EQ(3, buffer.Data()[PAGE_SIZE]) << "the next view sees and changes the same pages";
  UnlockAndFree(next);
}

// Views made after resident ones are closed as before: the resident windows are not reused.
TEST_F(MdlDeathTest, TouchingAViewClosedAfterResidentViewsEnded) {
  UserBuffer buffer(3 * PAGE_SIZE);
  hostk::UserRangeKeepViewsResident(true);
  UnlockAndFree(LockedAndMapped(buffer));
  hostk::UserRangeKeepViewsResident(false);
  PMDL mdl = LockedAndMapped(buffer);
  volatile UCHAR* system = static_cast<UCHAR*>(mdl->MappedSystemVa);
  system[PAGE_SIZE] = 1;
  UnlockAndFree(mdl);
  EXPECT_DEATH(system[PAGE_SIZE] = 2, "");
}

TEST_F(MdlDeathTest, FreeingTwice) {
  UserBuffer buffer(64);
  PMDL mdl = AllocateOver(buffer.Data(), 64);
  IoFreeMdl(mdl);
  EXPECT_DEATH(IoFreeMdl(mdl), "not a live MDL");
}

TEST_F(MdlDeathTest, BufferGoneWhileLocked) {
  EXPECT_DEATH(
      {
        UserBuffer buffer(64);
        PMDL mdl = AllocateOver(buffer.Data(), 64);
        Lock(mdl, UserMode, IoReadAccess);
      },
      "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS.*went away");
}

// User memory registered without a file behind it cannot be mapped a second time; its own user
// address must never come back as the system address.
TEST_F(MdlDeathTest, MappingUserMemoryWithNoFileBehindIt) {
  alignas(4096) static UCHAR memory[4096];
  hostk::UserRangeId id = hostk::UserRangeRegister(memory, 64, true, true);
  PMDL mdl = AllocateOver(memory, 64);
  ASSERT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_DEATH(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), "no file behind it");
  UnlockAndFree(mdl);
  hostk::UserRangeUnregister(id);
}

TEST_F(MdlDeathTest, LockingTwice) {
  UserBuffer buffer(64);
  PMDL mdl = AllocateOver(buffer.Data(), 64);
  ASSERT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_DEATH(Lock(mdl, UserMode, IoReadAccess), "MmProbeAndLockPages.*0xb0");
  UnlockAndFree(mdl);
}

TEST_F(MdlDeathTest, UnlockingWhatIsNotLocked) {
  UserBuffer buffer(64);
  PMDL mdl = AllocateOver(buffer.Data(), 64);
  EXPECT_DEATH(MmUnlockPages(mdl), "not locked.*0x7c");
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
  PMDL pool = AllocateOver(block, 64);
  MmBuildMdlForNonPagedPool(pool);
  EXPECT_DEATH(MmUnlockPages(pool), "nonpaged pool.*0x7d");
  IoFreeMdl(pool);
  ExFreePoolWithTag(block, kTag);
  IoFreeMdl(mdl);
}

TEST_F(MdlDeathTest, SecondaryBufferOfARequestWithoutPrimary) {
  UserBuffer buffer(64);
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_DEATH(IoAllocateMdl(buffer.Data(), 64, TRUE, FALSE, irp), "SecondaryBuffer TRUE.*no MDL");
  IoFreeIrp(irp);
}

// The I/O manager unlocks every MDL on a threaded request it finishes, so one it cannot unlock is
// the driver's bug, even when the driver hung it there after the request was built.
TEST_F(MdlDeathTest, ThreadedRequestEndsWithAnMdlThatCannotBeUnlocked) {
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxMdlChain");
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
          PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
          PMDL pool = IoAllocateMdl(block, 64, FALSE, FALSE, irp);
          MmBuildMdlForNonPagedPool(pool);
          irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        };
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, 0),
                                                 device, nullptr, 0, nullptr, 0, TRUE, &event,
                                                 &iosb);
        IoCallDriver(device, irp);
      },
      "nonpaged pool.*0x7d");
}

TEST_F(MdlDeathTest, MappingRules) {
  UserBuffer buffer(64);
  PMDL mdl = AllocateOver(buffer.Data(), 64);
  EXPECT_DEATH(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), "not locked.*0xb3");
  ASSERT_EQ(Lock(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_DEATH(
      MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, TRUE, NormalPagePriority),
      "BugCheckOnFailure TRUE.*0x82");
  EXPECT_DEATH(
      MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, NULL, FALSE, NormalPagePriority),
      "not supported by the host kernel");
  PVOID system = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  EXPECT_DEATH(
      MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority),
      "mapped already.*0xb2");
  EXPECT_DEATH(MmUnmapLockedPages(static_cast<UCHAR*>(system) + 1, mdl),
               "0x000000DA.*is mapped at");
  MmUnmapLockedPages(system, mdl);
  EXPECT_DEATH(MmUnmapLockedPages(system, mdl), "no mapping of its own");
  UnlockAndFree(mdl);
}

TEST_F(MdlDeathTest, PartialMdlRules) {
  UserBuffer buffer(2 * PAGE_SIZE);
  PMDL source = AllocateOver(buffer.Data(), PAGE_SIZE);
  PMDL partial = AllocateOver(buffer.Data(), PAGE_SIZE);
  EXPECT_DEATH(IoBuildPartialMdl(source, partial, buffer.Data(), 16), "must be locked.*0x140");
  ASSERT_EQ(Lock(source, UserMode, IoReadAccess), STATUS_SUCCESS);
  EXPECT_DEATH(IoBuildPartialMdl(source, partial, buffer.Data() + PAGE_SIZE - 8, 16),
               "not a sub-range");
  EXPECT_DEATH(IoBuildPartialMdl(source, partial, buffer.Data() - 1, 0), "not a sub-range");
  IoBuildPartialMdl(source, partial, buffer.Data() + 16, 32);
  EXPECT_DEATH(MmUnlockPages(partial), "partial MDL.*0xb4");
  ASSERT_NE(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), nullptr);
  EXPECT_DEATH(IoBuildPartialMdl(source, partial, buffer.Data(), 16), "MmPrepareMdlForReuse");
  MmPrepareMdlForReuse(partial);
  IoBuildPartialMdl(source, partial, buffer.Data(), 16);
  // A partial MDL is only as locked as its source.
  MmUnlockPages(source);
  EXPECT_DEATH(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority),
               "source was unlocked or freed");
  IoFreeMdl(partial);
  IoFreeMdl(source);
}

TEST_F(MdlDeathTest, NonPagedPoolMdlNeedsNonPagedPool) {
  UserBuffer buffer(64);
  PMDL user = AllocateOver(buffer.Data(), 64);
  EXPECT_DEATH(MmBuildMdlForNonPagedPool(user), "not inside one live nonpaged pool block.*0x7f");
  PVOID paged = ExAllocatePoolWithTag(PagedPool, 64, kTag);
  PMDL pagedMdl = AllocateOver(paged, 64);
  EXPECT_DEATH(MmBuildMdlForNonPagedPool(pagedMdl), "is paged pool");
  IoFreeMdl(pagedMdl);
  ExFreePoolWithTag(paged, kTag);
  IoFreeMdl(user);
}

}  // namespace
