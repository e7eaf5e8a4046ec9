// The link supervision thread on the virtual adapter: the far side announces a display, the
// driver streams to it, the far side withdraws it; blocks the thread must ignore; its stops while
// it waits and while it receives a report; receives that time out; a thread that ended on its own.
#include "host/hostk/clock.h"
#include "host/hostk/object.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/registry.h"
#include "host/hostk/trace.h"
#include "pipeline_fixture.h"
#include "support/tested_driver.h"

namespace kxtest {
namespace {

constexpr LONGLONG kSecond = 10000000;
constexpr ULONG kTagLink = KX_POOL_TAG('L', 'i', 'n', 'k');

std::vector<uint8_t> Report(LONG id, ULONG modes = 1) {
  std::vector<uint8_t> report(12 + 8 * modes + 512, 0);
  for (int i = 0; i < 4; i++) report[i] = (uint8_t)((ULONG)id >> (8 * i));
  for (int i = 0; i < 4; i++) report[4 + i] = (uint8_t)(modes >> (8 * i));
  return report;
}

// A command block as the far side sends it.
std::vector<uint8_t> Block(USHORT command, ULONG value, const char* magic = "KXgt",
                           size_t size = 1024) {
  std::vector<uint8_t> block(size, 0);
  for (int i = 0; i < 4; i++) block[i] = (uint8_t)magic[i];
  block[4] = (uint8_t)command;
  block[5] = (uint8_t)(command >> 8);
  for (int i = 0; i < 4; i++) block[6 + i] = (uint8_t)(value >> (8 * i));
  return block;
}

class LinkThread : public PipelineTest {
 protected:
  void SetUp() override {
    Plug();
    bus_->LinkMode = 1;
    bus_->LinkByDriver = 1;
  }
  void TearDown() override {
    displayDrivers_.clear();
    if (bus_ != nullptr) StopLinkThread(fdo_);
    PipelineTest::TearDown();
  }
  void Start() {
    ASSERT_TRUE(StartLinkThread(fdo_));
    Settle(kSecond / 10);  // the thread waits for its first block
  }
  ULONG ChildCount() {
    hostk::PnpWaitForEnumeration();
    return bus_->ChildCount;
  }
  PDEVICE_OBJECT ChildOf(LONG displayId) {
    for (PLIST_ENTRY e = bus_->Children.Flink; e != &bus_->Children; e = e->Flink) {
      ChildDeviceContext* child = CONTAINING_RECORD(e, ChildDeviceContext, Link);
      if (child->DisplayId == (ULONG)displayId && child->Present) return child->Header.Self;
    }
    return nullptr;
  }
  bool Running() { return Interlocked(bus_->LinkThreadRunning) != 0; }
  static size_t ThreadObjects() {
    return hostk::ObLiveObjectCount((const hostk::ObjectType*)*PsThreadType);
  }
};

TEST_F(LinkThread, AFarSideDisplayIsAnnouncedStreamedToAndWithdrawn) {
  Start();
  adapter_->AnnounceDisplay(Report(5));
  Settle(kSecond);
  ASSERT_EQ(1u, ChildCount());
  PDEVICE_OBJECT child = ChildOf(5);
  ASSERT_NE(nullptr, child);
  EXPECT_EQ(kLinkStateStarted, bus_->LinkState);

  kxsim::BgrxImage picture = SyntheticDesktop(320, 240, 3);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 320, 240));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, picture));
  // The far side may speak while frames go out: a second display comes meanwhile.
  adapter_->AnnounceDisplay(Report(6));
  Settle(kSecond);
  EXPECT_GT(FarPsnr(5, picture), 30.0);
  EXPECT_EQ(2u, ChildCount());

  displayDrivers_.clear();
  adapter_->AnnounceRemoval(5);
  Settle(kSecond);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(nullptr, ChildOf(5));
  EXPECT_NE(nullptr, ChildOf(6));
  EXPECT_TRUE(Running());
  ExpectNoViolations();
}

// None of these is a block to act on; the thread keeps waiting for the next one.
TEST_F(LinkThread, BlocksToIgnoreLeaveTheThreadWaiting) {
  Start();
  size_t before = hostk::PoolLiveCount(kTagLink);
  for (const std::vector<uint8_t>& block :
       {Block(16, 100, "KXgT"),              // wrong magic
        Block(16, 0),                        // a report of no bytes
        Block(18, 4),                        // no such command
        Block(17, 77),                       // a display never attached
        Block(16, 0x10001),                  // larger than any report
        Block(16, 0xFFFFFFF0),               // the device's word for 4 GiB
        Block(16, 600, "KXgt", 512)}) {      // half a block
    adapter_->SendFarSideMessage(block);
    Settle(kSecond);
    EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
    EXPECT_EQ(before, hostk::PoolLiveCount(kTagLink)) << "no report buffer was taken";
  }
  EXPECT_EQ(0u, ChildCount());
  EXPECT_TRUE(Running());
  // After all that, a real announcement still works.
  adapter_->AnnounceDisplay(Report(9));
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(9));
}

// The far side announces a display numbered 255 or more, which would mean every display to a
// detach: the announcement is ignored, with a warning, and the thread waits for the next one.
TEST_F(LinkThread, AnAnnouncementOfAnIdentifierFrom255IsIgnored) {
  Start();
  hostk::TraceCapture trace;
  for (LONG id : {255, 4096, -2147483647 - 1}) {
    adapter_->AnnounceDisplay(Report(id));
    Settle(kSecond);
    EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
  }
  EXPECT_EQ(0u, ChildCount());
  for (ULONG i = 0; i < kChannelCount; i++) EXPECT_EQ(1, bus_->Channels[i].Free) << i;
  if (kTestedDriverTraces) {
    EXPECT_TRUE(trace.Contains("link: display 255 ignored"));
  }
  EXPECT_TRUE(Running());
  adapter_->AnnounceDisplay(Report(254));
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(254));
}

// A report that arrives shorter than announced makes no display of what never came.
TEST_F(LinkThread, AReportCutShortMakesNoDisplay) {
  Start();
  std::vector<uint8_t> report = Report(7, 3);
  adapter_->SendFarSideMessage(Block(16, (ULONG)report.size() + 8));
  Settle(kSecond / 10);
  adapter_->SendFarSideMessage(report);
  Settle(kSecond);
  EXPECT_EQ(0u, ChildCount());
  EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
  EXPECT_TRUE(Running());
}

TEST_F(LinkThread, StartingTwiceRunsOneThread) {
  Start();
  PVOID first = bus_->LinkThreadObject;
  LONG references = Interlocked(bus_->OutstandingIo);
  EXPECT_TRUE(StartLinkThread(fdo_));
  Settle(kSecond / 10);
  EXPECT_EQ(first, bus_->LinkThreadObject);
  EXPECT_EQ(references, Interlocked(bus_->OutstandingIo)) << "one thread, one reference";
}

// A stop while the thread waits for a block cancels the receive and returns once the thread has
// ended: nothing is left on the endpoint, no reference held.
TEST_F(LinkThread, AStopWhileWaitingCancelsTheReceiveAndWaitsForTheThread) {
  Start();
  ASSERT_TRUE(adapter_->HasWaitingTransfer(adapter_->Channel1InEndpoint()));
  EXPECT_TRUE(StopLinkThread(fdo_));
  EXPECT_FALSE(Running());
  EXPECT_EQ(nullptr, bus_->LinkThreadObject);
  EXPECT_EQ(0u, port_->PendingCount(adapter_->Channel1InEndpoint()));
  Settle(kSecond / 10);  // the cancelled transfer's completion drops its reference last
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  EXPECT_TRUE(StopLinkThread(fdo_)) << "a second stop finds nothing to do";
}

// A report that is late is waited for again, ten seconds at a time, with the same size; a stop
// while the thread receives it takes effect when that receive returns.
TEST_F(LinkThread, ALateReportIsAwaitedAgainAndAStopEndsTheWait) {
  Start();
  std::vector<uint8_t> report = Report(3);
  adapter_->SendFarSideMessage(Block(16, (ULONG)report.size()));
  Settle(25 * kSecond);
  EXPECT_EQ(kLinkStateReceiving, bus_->LinkState);
  EXPECT_EQ(0u, bus_->ErrorCode) << "a time-out is not a channel error";
  adapter_->SendFarSideMessage(report);
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(3));
  EXPECT_EQ(kLinkStateStarted, bus_->LinkState);

  adapter_->SendFarSideMessage(Block(16, (ULONG)report.size()));
  Settle(kSecond);
  ASSERT_EQ(kLinkStateReceiving, bus_->LinkState);
  LONGLONG before = hostk::ClockNow();
  EXPECT_TRUE(StopLinkThread(fdo_));
  EXPECT_FALSE(Running());
  EXPECT_LE(hostk::ClockNow() - before, 10 * kSecond + kSecond / 10);
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  // Started again, the thread does not take the stale state word for a report it never had.
  Start();
  EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
  adapter_->AnnounceDisplay(Report(4));
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(4));
}

// A thread that ended by itself (a failed receive) keeps no reference on the adapter and leaves
// its pipe reset, and the next start gives up its old thread object before making a new thread,
// which hears the far side again.
TEST_F(LinkThread, AThreadThatEndedByItselfIsReplacedCleanly) {
  Start();
  size_t threadObjects = ThreadObjects();
  // The receive waiting for the block is under way; the report's receive is the next to start.
  port_->InjectFault(adapter_->Channel1InEndpoint(), kxsim::UsbFault::Stall());
  adapter_->SendFarSideMessage(Block(16, 600));
  Settle(kSecond);
  EXPECT_FALSE(Running());
  EXPECT_NE(0u, bus_->ErrorCode & 0x1) << "the failed report receive is a channel 1 error";
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagLink));
  EXPECT_FALSE(port_->IsHalted(adapter_->Channel1InEndpoint()));
  port_->ClearAllFaults();
  Start();
  EXPECT_TRUE(Running());
  EXPECT_EQ(threadObjects, ThreadObjects()) << "the ended thread's object was let go";
  adapter_->AnnounceDisplay(Report(13));
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(13));
}

// A block receive that fails halts the pipe: the thread recovers it and keeps listening, so the
// far side's next announcement is still heard, and a one-off failure records nothing.
TEST_F(LinkThread, AFailedBlockReceiveIsRecoveredAndTheThreadListensOn) {
  port_->InjectFault(adapter_->Channel1InEndpoint(), kxsim::UsbFault::Stall());
  Start();
  EXPECT_FALSE(port_->IsHalted(adapter_->Channel1InEndpoint())) << "the pipe was reset";
  adapter_->AnnounceDisplay(Report(11));
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(11));
  EXPECT_TRUE(Running());
  EXPECT_EQ(0u, bus_->ErrorCode);
  EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
}

// A pipe that keeps failing ends the thread with the failure recorded, its pipe left reset: the
// next entry into link supervision hears the far side again.
TEST_F(LinkThread, ABlockReceiveThatKeepsFailingEndsTheThreadWithTheFailureRecorded) {
  port_->InjectFault(adapter_->Channel1InEndpoint(), kxsim::UsbFault::Stall().Times(100));
  Start();
  Settle(kSecond);
  EXPECT_FALSE(Running());
  EXPECT_NE(0u, bus_->ErrorCode & 0x1) << "the failed receives are a channel 1 error";
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagLink));
  EXPECT_FALSE(port_->IsHalted(adapter_->Channel1InEndpoint()));
  port_->ClearAllFaults();
  Start();
  adapter_->AnnounceDisplay(Report(12));
  Settle(kSecond);
  EXPECT_NE(nullptr, ChildOf(12));
  EXPECT_TRUE(Running());
}

TEST_F(LinkThread, WithoutMemoryForTheReportTheThreadEnds) {
  Start();
  hostk::PoolFailTag(kTagLink);
  adapter_->AnnounceDisplay(Report(8));
  Settle(kSecond);
  hostk::PoolFailTag(kTagLink, false);
  EXPECT_FALSE(Running());
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
}

// The Plug and Play manager's stop and removal stop the thread before they wait for quiet.
// A stop ends link supervision; the start after it brings the thread back, so that a display the
// far side announces afterwards appears.
TEST_F(LinkThread, AStopAndANewStartBringTheThreadBackForTheNextDisplay) {
  Start();
  adapter_->AnnounceDisplay(Report(5));
  Settle(kSecond);
  ASSERT_EQ(1u, ChildCount());
  hostk::RegistrySetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters", "LinkByDriver",
                          REG_BINARY, {1});  // the start reads it again
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(port_->Pdo()));
  EXPECT_FALSE(Running());
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(port_->Pdo()));
  Settle(kSecond / 10);
  EXPECT_TRUE(Running());
  adapter_->AnnounceDisplay(Report(6));
  Settle(kSecond);
  EXPECT_EQ(2u, ChildCount());
  EXPECT_NE(nullptr, ChildOf(6));
  ExpectNoViolations();
}

TEST_F(LinkThread, ARemovalStopsTheThread) {
  Start();
  displayDrivers_.clear();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(port_->Pdo()));
  bus_ = nullptr;
  port_.reset();
}

}  // namespace
}  // namespace kxtest
