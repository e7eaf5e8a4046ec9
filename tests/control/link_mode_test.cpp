// Link modes through the control codes: bridge register 0x50, the "LinkMode" registry value, the
// link thread started on entering mode 1 and ended before the bridge leaves it, and link select.
#include <atomic>
#include <thread>

#include "adapter_codes_fixture.h"
#include "host/hostk/clock.h"
#include "host/hostk/pnp.h"
#include "host/hostk/user_memory.h"
#include "host/hostk/registry.h"

namespace kxtest {
namespace {

class LinkModes : public AdapterCodes {
 protected:
  // The values the driver gave bridge register 0x50 since `mark`, in order.
  std::vector<ULONG> Register50Writes(size_t mark) {
    std::vector<ULONG> values;
    for (const kxsim::AdapterOperation& op : adapter_->Log().Since(mark)) {
      if (op.space == kxsim::AdapterSpace::BridgeRegister && op.write && op.address == 0x50) {
        values.push_back(op.value);
      }
    }
    return values;
  }
  std::optional<Bytes> RecordedMode() {
    auto value = hostk::RegistryGetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters",
                                         "LinkMode");
    if (!value) return std::nullopt;
    EXPECT_EQ((ULONG)REG_BINARY, value->type);
    return value->data;
  }
  Reply SetMode(ULONG mode) { return Call(IOCTL_BUS_SET_LINK_MODE, U32(mode), 0); }
  bool ThreadRunning() { return InterlockedCompareExchange(&bus_->LinkThreadRunning, 0, 0) != 0; }

  struct WaitingRead {
    std::unique_ptr<hostk::UserBuffer> buffer;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0xDEAD;
    std::thread reader;
  };
  // A read of `length` bytes on `handle` from a thread of the client process; returned once the
  // thread is the host kernel's, so virtual time waits for it.
  void ReadOnThread(HANDLE handle, ULONG length, WaitingRead* read) {
    read->buffer = std::make_unique<hostk::UserBuffer>(length);
    std::atomic<bool> attached{false};
    read->reader = std::thread([this, handle, length, read, &attached] {
      hostk::ManagedThreadScope scope("reader");
      attached = true;
      read->status = client().Read(handle, read->buffer->Data(), length, &read->information);
    });
    while (!attached) std::this_thread::yield();
  }
};

TEST_F(LinkModes, EachModeGivesRegister50ItsValueAndIsRecorded) {
  struct ModeCase {
    ULONG mode;
    std::vector<ULONG> register50;
  };
  const ModeCase kModes[] = {
      {1, {0xB0}}, {2, {0xB8}}, {0, {0xF0}}, {7, {}}, {1, {0xB0}}, {0xFFFFFFFF, {}},
  };
  StartWith();
  EXPECT_EQ(U32(0), Call(IOCTL_BUS_GET_LINK_MODE, {}, 4).out) << "a new adapter is in mode 0";
  for (const ModeCase& c : kModes) {
    SCOPED_TRACE(c.mode);
    bus_->LinkState = 0;
    size_t mark = adapter_->Log().Size();
    Reply reply = SetMode(c.mode);
    EXPECT_EQ(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(0u, reply.information);
    EXPECT_EQ(c.register50, Register50Writes(mark));
    EXPECT_EQ(U32(c.mode), RecordedMode().value_or(Bytes{}));
    EXPECT_EQ(c.mode == 1 ? kLinkStateStarted : 0u, bus_->LinkState);
    Reply get = Call(IOCTL_BUS_GET_LINK_MODE, {}, 4);
    EXPECT_EQ(STATUS_SUCCESS, get.status);
    EXPECT_EQ(U32(c.mode), get.out);
  }
  EXPECT_FALSE(ThreadRunning()) << "without LinkByDriver no thread listens";
}

TEST_F(LinkModes, OnlyDriverModel0ChoosesTheMode) {
  StartWith(8);
  size_t mark = adapter_->Log().Size();
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SetMode(1).status);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Call(IOCTL_BUS_GET_LINK_MODE, {}, 4).status);
  EXPECT_TRUE(Register50Writes(mark).empty());
  EXPECT_FALSE(RecordedMode().has_value());
  EXPECT_EQ(0u, bus_->LinkMode);
}

TEST_F(LinkModes, LinkSelectWritesRegister50WithDriverModel0Or8) {
  struct SelectCase {
    ULONG driverModel;
    ULONG input;
    std::vector<ULONG> register50;
    NTSTATUS status;
  };
  const SelectCase kCases[] = {
      {0, 1, {0xB0}, STATUS_SUCCESS},     {0, 0, {0xB8}, STATUS_SUCCESS},
      {8, 0x100, {0xB0}, STATUS_SUCCESS}, {8, 0, {0xB8}, STATUS_SUCCESS},
      {3, 1, {}, STATUS_UNSUCCESSFUL},
  };
  StartWith();
  for (const SelectCase& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.driverModel << " " << c.input);
    bus_->DriverModel = c.driverModel;
    size_t mark = adapter_->Log().Size();
    EXPECT_EQ(c.status, Call(IOCTL_BUS_SET_LINK_SELECT, U32(c.input), 0).status);
    EXPECT_EQ(c.register50, Register50Writes(mark));
  }
  EXPECT_FALSE(RecordedMode().has_value()) << "link select is not a mode";
}

// With LinkByDriver the thread runs exactly while the adapter is in mode 1.
TEST_F(LinkModes, Mode1RunsOneLinkThreadUntilItIsLeft) {
  StartWith(0, true);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(1).status);
  ASSERT_TRUE(ThreadRunning());
  PVOID thread = bus_->LinkThreadObject;
  ASSERT_NE(nullptr, thread);
  ObReferenceObject(thread);
  for (int again = 0; again < 2; again++) {
    ASSERT_EQ(STATUS_SUCCESS, SetMode(1).status);
    EXPECT_TRUE(ThreadRunning());
    EXPECT_EQ(thread, bus_->LinkThreadObject) << "entering mode 1 again keeps the one thread";
    LARGE_INTEGER now = {};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now));
  }
  size_t mark = adapter_->Log().Size();
  ASSERT_EQ(STATUS_SUCCESS, SetMode(0).status);
  LARGE_INTEGER now = {};
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now))
      << "the thread has ended when the request completes";
  ObDereferenceObject(thread);
  EXPECT_FALSE(ThreadRunning());
  EXPECT_EQ(std::vector<ULONG>{0xF0}, Register50Writes(mark));
  // Nothing of the thread's reached the adapter after the bridge left mode 1.
  std::vector<kxsim::AdapterOperation> after = adapter_->Log().Since(mark);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(0x50u, after.back().address);
}

TEST_F(LinkModes, LeavingMode1ForAnyModeEndsTheThread) {
  StartWith(0, true);
  for (ULONG next : {2u, 7u, 0u}) {
    SCOPED_TRACE(next);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(1).status);
    ASSERT_TRUE(ThreadRunning());
    ASSERT_EQ(STATUS_SUCCESS, SetMode(next).status);
    EXPECT_FALSE(ThreadRunning());
  }
}

// Link supervision owns data channel 1 in mode 1: a transfer-set read already waiting there when
// the mode is entered ends (cancelled, and no channel error: the driver ended it), so the far
// side's announcement reaches the link thread. The other channels' reads wait on.
TEST_F(LinkModes, EnteringMode1EndsTheReadsWaitingOnChannel1Only) {
  StartWith(0, true);
  HANDLE first = Open("\\DMASET0"), second = Open("\\DMASET1");
  WaitingRead onFirst, onSecond;
  ReadOnThread(first, 1024, &onFirst);
  ReadOnThread(second, 64, &onSecond);
  Settle(kSecond);
  ASSERT_EQ(STATUS_PENDING, onFirst.status);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(1).status);
  Settle(kSecond);
  adapter_->AnnounceDisplay(DisplayReportBytes(21, 1));
  Settle(kSecond);
  onFirst.reader.join();
  EXPECT_EQ(STATUS_CANCELLED, onFirst.status);
  EXPECT_EQ(0u, onFirst.information);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(1u, bus_->ChildCount) << "the announced display appears";
  EXPECT_EQ(0u, bus_->ErrorCode);
  EXPECT_EQ(STATUS_PENDING, onSecond.status);
  Bytes sent(64, 0x5A);
  adapter_->QueueIn(0x82, sent);
  onSecond.reader.join();
  EXPECT_EQ(STATUS_SUCCESS, onSecond.status);
  EXPECT_EQ(sent, Bytes(onSecond.buffer->Data(), onSecond.buffer->Data() + 64));
  // While the mode holds, channel 1 takes no read; once it is left, it serves again.
  WaitingRead refused;
  ReadOnThread(first, 64, &refused);
  refused.reader.join();
  EXPECT_EQ(STATUS_INVALID_HANDLE, refused.status);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(0).status);
  WaitingRead again;
  ReadOnThread(first, 64, &again);
  Settle(kSecond);
  adapter_->QueueIn(0x81, sent);
  again.reader.join();
  EXPECT_EQ(STATUS_SUCCESS, again.status);
  EXPECT_EQ(64u, again.information);
}

// Two mode changes at once, one leaving mode 1 and one entering it, both held at the link lock
// until they have both arrived: whichever goes second decides, and the thread, the mode and
// register 0x50 agree on it (never mode 0 with a link thread reading channel 1).
TEST_F(LinkModes, TwoChangesAtOnceLeaveTheThreadAndTheModeAgreeing) {
  StartWith(0, true);
  for (int round = 0; round < 8; round++) {
    SCOPED_TRACE(round);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(1).status);
    ASSERT_TRUE(ThreadRunning());
    client();  // the control handle, opened before the callers share it
    size_t mark = adapter_->Log().Size();
    KeWaitForSingleObject(&bus_->LinkLock, Executive, KernelMode, FALSE, nullptr);
    Reply replies[2];
    std::thread callers[2];
    for (int i = 0; i < 2; i++) {
      callers[i] = std::thread([this, i, round, &replies] {
        hostk::ManagedThreadScope scope("mode caller");
        replies[i] = SetMode((i + round) % 2 == 0 ? 0 : 1);
      });
    }
    Settle(kSecond / 10);
    KeReleaseMutex(&bus_->LinkLock, FALSE);
    for (std::thread& caller : callers) caller.join();
    Settle(kSecond / 10);
    EXPECT_EQ(STATUS_SUCCESS, replies[0].status);
    EXPECT_EQ(STATUS_SUCCESS, replies[1].status);
    std::vector<ULONG> writes = Register50Writes(mark);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(bus_->LinkMode == 1, ThreadRunning()) << "mode " << bus_->LinkMode;
    EXPECT_EQ(bus_->LinkMode == 1 ? 0xB0u : 0xF0u, writes.back());
  }
}

}  // namespace
}  // namespace kxtest
