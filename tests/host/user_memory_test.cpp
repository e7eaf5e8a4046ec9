// The user address space and the structured-exception guard: which addresses a probe accepts, the
// status it raises for the others, and what KxCallGuarded hands back.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/hostk/user_memory.h"
#include "support/kernel_test_util.h"
#include "host/ntddk.h"
#include "seh.h"

namespace {

using hostk::UserBuffer;

NTSTATUS ProbeRead(const void* address, SIZE_T length, ULONG alignment = 1) {
  return KxGuarded([=] {
    ProbeForRead(address, length, alignment);
    return STATUS_SUCCESS;
  });
}

NTSTATUS ProbeWrite(void* address, SIZE_T length, ULONG alignment = 1) {
  return KxGuarded([=] {
    ProbeForWrite(address, length, alignment);
    return STATUS_SUCCESS;
  });
}

TEST(UserMemoryRanges, AccessFollowsTheRegisteredRangeExactly) {
  UserBuffer buffer(100);
  UCHAR* data = buffer.Data();
  EXPECT_TRUE(hostk::UserRangeCheck(data, 100, true));
  EXPECT_TRUE(hostk::UserRangeCheck(data + 99, 1, false));
  EXPECT_FALSE(hostk::UserRangeCheck(data + 99, 2, false));
  EXPECT_FALSE(hostk::UserRangeCheck(data - 1, 2, false));
  EXPECT_TRUE(hostk::UserRangeCheck(data + 100, 0, false));  // the end of a range
  EXPECT_FALSE(hostk::UserRangeCheck(data + 101, 0, false));
}

TEST(UserMemoryRanges, AdjacentRangesStaySeparate) {
  alignas(16) static UCHAR memory[64];
  hostk::UserRangeId first = hostk::UserRangeRegister(memory, 32, true, true);
  hostk::UserRangeId second = hostk::UserRangeRegister(memory + 32, 32, true, true);
  EXPECT_TRUE(hostk::UserRangeCheck(memory + 32, 32, true));
  // One access may not span two allocations, even adjacent ones.
  EXPECT_FALSE(hostk::UserRangeCheck(memory + 16, 32, false));
  hostk::UserRangeUnregister(first);
  EXPECT_FALSE(hostk::UserRangeCheck(memory, 1, false));
  EXPECT_TRUE(hostk::UserRangeCheck(memory + 32, 1, false));
  hostk::UserRangeUnregister(second);
  EXPECT_EQ(hostk::UserRangeCount(), 0u);
}

TEST(UserMemoryRanges, BufferIsPlacedInItsPageAndUnregisteredWithIt) {
  const UCHAR* data;
  {
    UserBuffer buffer(10, true, true, 0xFF8);
    data = buffer.Data();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % PAGE_SIZE, 0xFF8u);
    for (size_t i = 0; i < buffer.Length(); ++i) EXPECT_EQ(data[i], 0) << i;
    EXPECT_TRUE(hostk::UserRangeCheck(data, 10, true));
  }
  EXPECT_FALSE(hostk::UserRangeCheck(data, 1, false));
}

TEST(UserMemoryRanges, IdsFromBeforeAResetAreIgnored) {
  alignas(16) static UCHAR memory[16];
  hostk::UserRangeId stale = hostk::UserRangeRegister(memory, 16, true, true);
  hostk::UserRangeUnregisterAll();
  hostk::UserRangeId fresh = hostk::UserRangeRegister(memory, 16, true, true);
  hostk::UserRangeUnregister(stale);
  EXPECT_TRUE(hostk::UserRangeCheck(memory, 16, true));
  hostk::UserRangeUnregister(fresh);
}

TEST(UserMemoryProbe, UnregisteredAddressesRaiseAccessViolation) {
  UCHAR kernelStack[32] = {};
  UserBuffer buffer(32);
  EXPECT_EQ(ProbeRead(kernelStack, sizeof kernelStack), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(ProbeWrite(kernelStack, sizeof kernelStack), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(ProbeRead(buffer.Data() + 1, 32), STATUS_ACCESS_VIOLATION);  // one byte past the end
}

TEST(UserMemoryProbe, ProtectionIsEnforcedPerAccess) {
  UserBuffer readOnly(64, true, false);
  EXPECT_EQ(ProbeRead(readOnly.Data(), 64), STATUS_SUCCESS);
  EXPECT_EQ(ProbeWrite(readOnly.Data(), 64), STATUS_ACCESS_VIOLATION);
  readOnly.Protect(false, false);
  EXPECT_EQ(ProbeRead(readOnly.Data(), 1), STATUS_ACCESS_VIOLATION);
}

TEST(UserMemoryProbe, MisalignmentIsReportedBeforeTheRange) {
  UserBuffer buffer(64);
  EXPECT_EQ(ProbeRead(buffer.Data() + 2, 8, 4), STATUS_DATATYPE_MISALIGNMENT);
  EXPECT_EQ(ProbeWrite(buffer.Data() + 8, 8, 16), STATUS_DATATYPE_MISALIGNMENT);
  EXPECT_EQ(ProbeRead(buffer.Data() + 8, 8, 8), STATUS_SUCCESS);
  // An unregistered, misaligned address reports the misalignment, as the platform checks it first.
  EXPECT_EQ(ProbeRead(reinterpret_cast<void*>(0x1001), 4, 2), STATUS_DATATYPE_MISALIGNMENT);
}

TEST(UserMemoryProbe, ZeroLengthChecksNothing) {
  EXPECT_EQ(ProbeRead(reinterpret_cast<void*>(0x1001), 0, 4), STATUS_SUCCESS);
  EXPECT_EQ(ProbeWrite(nullptr, 0, 8), STATUS_SUCCESS);
}

TEST(UserMemoryProbe, WrappingRangeRaisesAccessViolation) {
  UserBuffer buffer(16);
  EXPECT_EQ(ProbeRead(buffer.Data(), SIZE_MAX), STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(ProbeWrite(reinterpret_cast<void*>(UINTPTR_MAX - 3), 8), STATUS_ACCESS_VIOLATION);
}

// A client's user address is valid only in the client process. A system thread (or a work item,
// or a completion on the host's own threads) that probes or locks it is a verifier report; the
// client's own thread, and a system thread with a buffer of its own, are not.
TEST(UserMemoryContext, ClientAddressTouchedFromTheSystemProcessIsReported) {
  UserBuffer buffer(64);
  EXPECT_EQ(ProbeRead(buffer.Data(), 64), STATUS_SUCCESS);
  kxtest::SystemThread own([] {
    UserBuffer mine(16);
    EXPECT_EQ(ProbeWrite(mine.Data(), 16), STATUS_SUCCESS);
  });
  own.Join();
  EXPECT_DEATH(
      {
        kxtest::SystemThread worker([&] { ProbeRead(buffer.Data(), 64); });
      },
      "DRIVER_VERIFIER_DETECTED_VIOLATION.*ProbeForRead.*client process.*system process");
  EXPECT_DEATH(
      {
        kxtest::SystemThread worker([&] {
          PMDL mdl = IoAllocateMdl(buffer.Data(), 64, FALSE, FALSE, nullptr);
          MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
        });
      },
      "MmProbeAndLockPages.*client process.*system process");
}

// The page right after a client's buffer is not the client's: the host may map a system view of an
// MDL there, and a transfer on that view is the system process's own. Only an empty access may
// stand at a range's end.
TEST(UserMemoryContext, TheAddressJustPastAClientRangeIsNotTheClients) {
  alignas(4096) static UCHAR pages[2 * PAGE_SIZE];
  hostk::UserRangeId id = hostk::UserRangeRegister(pages, PAGE_SIZE, true, true);
  UCHAR* after = pages + PAGE_SIZE;
  EXPECT_FALSE(hostk::UserRangeContains(after));
  EXPECT_FALSE(hostk::UserRangeCheck(after, 1, false));
  EXPECT_TRUE(hostk::UserRangeCheck(after, 0, false));
  int fd;
  int64_t offset;
  EXPECT_FALSE(hostk::UserRangeBacking(after, &fd, &offset));
  kxtest::SystemThread controller(
      [&] { hostk::UserRangeCheckContext(after, 256, "USB transfer buffer"); });
  controller.Join();
  EXPECT_DEATH(
      {
        kxtest::SystemThread worker(
            [&] { hostk::UserRangeCheckContext(after - 1, 1, "USB transfer buffer"); });
      },
      "USB transfer buffer.*client process.*system process");
  hostk::UserRangeUnregister(id);
}

NTSTATUS NTAPI RaiseFromContext(PVOID context) {
  ExRaiseStatus(*static_cast<NTSTATUS*>(context));
  return STATUS_SUCCESS;
}

TEST(UserMemoryGuard, CallGuardedReturnsTheRoutinesStatusOrTheRaisedOne) {
  NTSTATUS raised = STATUS_INVALID_USER_BUFFER;
  EXPECT_EQ(KxCallGuarded(RaiseFromContext, &raised), STATUS_INVALID_USER_BUFFER);
  EXPECT_EQ(KxGuarded([] { return STATUS_PENDING; }), STATUS_PENDING);
}

TEST(UserMemoryGuard, RaiseEndsTheBodyAndKeepsWhatItWrote) {
  UserBuffer buffer(8);
  int steps = 0;
  NTSTATUS status = KxGuarded([&] {
    ++steps;
    ProbeForWrite(buffer.Data(), 8, 1);
    ++steps;
    ProbeForRead(buffer.Data(), 9, 1);
    ++steps;
    return STATUS_SUCCESS;
  });
  EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
  EXPECT_EQ(steps, 2);
}

TEST(UserMemoryGuard, InnerGuardHandlesItsOwnRaise) {
  NTSTATUS inner = STATUS_SUCCESS;
  NTSTATUS outer = KxGuarded([&] {
    inner = KxGuarded([] {
      ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
      return STATUS_SUCCESS;
    });
    return STATUS_SUCCESS;
  });
  EXPECT_EQ(inner, STATUS_DATATYPE_MISALIGNMENT);
  EXPECT_EQ(outer, STATUS_SUCCESS);
}

using UserMemoryDeathTest = testing::Test;

TEST_F(UserMemoryDeathTest, ProbeAlignmentMustBeAPowerOfTwoUpToSixteen) {
  UserBuffer buffer(64);
  EXPECT_DEATH(ProbeRead(buffer.Data(), 8, 3), "assertion failed: ProbeForRead with alignment 3");
  EXPECT_DEATH(ProbeWrite(buffer.Data(), 8, 32), "ProbeForWrite with alignment 32");
}

TEST_F(UserMemoryDeathTest, ProbeAtDispatchLevel) {
  UserBuffer buffer(64);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ProbeRead(buffer.Data(), 8);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*ProbeForRead");
}

// A touch past a buffer's last page without a probe faults instead of reading whatever follows.
TEST_F(UserMemoryDeathTest, ThePageAfterABufferIsInaccessible) {
  UserBuffer buffer(100);
  EXPECT_DEATH(*(volatile UCHAR*)(buffer.Data() + PAGE_SIZE) = 1, "");
}

TEST_F(UserMemoryDeathTest, OverlappingRegistration) {
  UserBuffer buffer(64);
  EXPECT_DEATH(hostk::UserRangeRegister(buffer.Data() + 63, 8, true, true),
               "usage error.*overlaps a registered range");
}

}  // namespace
