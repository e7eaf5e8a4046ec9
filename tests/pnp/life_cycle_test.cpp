// The adapter's life under the Plug and Play manager, with displays streaming: a stop or removal
// asked for and cancelled, a stop and a new start, removal with children, surprise removal while
// frames are on their way, the identity switch, and the capabilities the stack below reports.
// Every scenario ends with the host's checks: no leak, no verifier report, no thread left.
#include <atomic>

#include "host/hostk/client.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/registry.h"
#include "pipeline_fixture.h"
#include "sim/adapter/adapter_port.h"
#include "sim/display/adapter_client.h"
#include "start_sequence.h"

namespace kxtest {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr double kShown = 30.0;  // PSNR (dB) of a far side that shows the picture

GUID ExtendedInterface() {
  GUID guid;
  hostk::GuidFromString("{CF507BAA-C6C8-414F-9312-A3E0C2C4D858}", &guid);
  return guid;
}

std::vector<uint8_t> Report(LONG id) {
  std::vector<uint8_t> report(12 + 8 + 512, 0);
  for (int i = 0; i < 4; i++) report[i] = (uint8_t)((ULONG)id >> (8 * i));
  report[4] = 1;
  return report;
}

class LifeCycle : public PipelineTest {
 protected:
  // A display announced to the adapter and enumerated as a child.
  PDEVICE_OBJECT Announce(LONG displayId) {
    std::vector<uint8_t> report = Report(displayId);
    EXPECT_EQ(STATUS_SUCCESS, CreateDisplayChild(bus_, report.data(), (ULONG)report.size()));
    hostk::PnpWaitForEnumeration();
    ChildDeviceContext* last = CONTAINING_RECORD(bus_->Children.Blink, ChildDeviceContext, Link);
    return last->Header.Self;
  }
  ULONG ChannelOf(PDEVICE_OBJECT child) {
    return ((ChildDeviceContext*)child->DeviceExtension)->ChannelIndex;
  }

  // Two outputs streaming their first pictures.
  void StreamTwo() {
    first_ = Announce(1);
    second_ = Announce(2);
    for (int i = 0; i < 2; i++) {
      PDEVICE_OBJECT child = i == 0 ? first_ : second_;
      ASSERT_EQ(STATUS_SUCCESS, SetMode(child, kWidth, kHeight));
      ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, Picture(i, 0)));
    }
    Settle();
    ExpectShown(0);
  }
  // Picture `round` of output `output`.
  static kxsim::BgrxImage Picture(int output, int round) {
    return SyntheticDesktop(kWidth, kHeight, 1 + output + 10 * round);
  }
  void PresentRound(int round) {
    EXPECT_EQ(STATUS_SUCCESS, PresentWhole(first_, Picture(0, round)));
    EXPECT_EQ(STATUS_SUCCESS, PresentWhole(second_, Picture(1, round)));
  }
  void ExpectShown(int round) {
    EXPECT_GT(FarPsnr(1, Picture(0, round)), kShown) << "round " << round;
    EXPECT_GT(FarPsnr(2, Picture(1, round)), kShown) << "round " << round;
  }
  // The driver loaded again (the removal unloaded it with its last device) and added over the port.
  void AddAgain() {
    driver_ = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
    ASSERT_NE(nullptr, driver_);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, port_->Pdo()));
    fdo_ = port_->Pdo()->AttachedDevice;
    bus_ = (BusDeviceContext*)fdo_->DeviceExtension;
  }
  void ExpectStartsAgain() {
    AddAgain();
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(port_->Pdo()));
    EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
  }
  // The display drivers close their handles: a removal waits for them, as on the platform.
  void CloseDisplayDrivers() { displayDrivers_.clear(); }

  std::string NodeState(PDEVICE_OBJECT pdo) {
    for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree()) {
      if (node.pdo == pdo) return node.state;
    }
    return "";
  }
  bool InterfaceEnabled() {
    return bus_->InterfaceName.Buffer != nullptr &&
           !hostk::IoEnabledDeviceInterfaces(ExtendedInterface()).empty();
  }

  PDEVICE_OBJECT first_ = nullptr;
  PDEVICE_OBJECT second_ = nullptr;
};

TEST_F(LifeCycle, StartPublishesTheExtendedInterfaceAndPowersTheAdapter) {
  Plug();
  EXPECT_EQ(Started, bus_->Header.DevicePnpState);
  EXPECT_EQ("Started", NodeState(port_->Pdo()));
  EXPECT_TRUE(InterfaceEnabled());
  std::vector<hostk::DeviceInterfaceEvent> events =
      hostk::IoDeviceInterfaceEvents(ExtendedInterface());
  ASSERT_EQ(1u, events.size());
  EXPECT_TRUE(events[0].arrival);
  EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
}

// While the stop is only asked for, presents are kept but nothing is sent; after the cancel the
// outputs stream again with no new mode, and what was presented meanwhile reaches the far side.
TEST_F(LifeCycle, ACancelledStopResumesEveryOutputWithoutANewMode) {
  Plug();
  StreamTwo();
  ULONG blocks = adapter_->CommandBlocks();
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_EQ(StopPending, bus_->Header.DevicePnpState);
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_EQ(0, Interlocked(bus_->WorkerRunning));
  PresentRound(1);
  Settle();
  EXPECT_EQ(blocks, adapter_->CommandBlocks()) << "nothing is sent while the stop is pending";
  ExpectShown(0);

  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_EQ(Started, bus_->Header.DevicePnpState);
  EXPECT_TRUE(InterfaceEnabled());
  Settle();
  ExpectShown(1);
  PresentRound(2);
  Settle();
  ExpectShown(2);
  ExpectNoViolations();

  // The same through the manager: a stop another device of the rebalance refused.
  EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PnpQueryStopDevice(port_->Pdo(), true));
  PresentRound(3);
  Settle();
  ExpectShown(3);
}

// A mode asked for while the stop is pending is refused, and the refusal leaves the output as it
// was: its store keeps the picture and its mode, presents go on being kept, and after the cancel
// the far side shows the last of them.
TEST_F(LifeCycle, AModeRefusedWhileTheStopIsPendingLeavesTheOutputAsItWas) {
  Plug();
  StreamTwo();
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, SetMode(first_, kWidth / 2, kHeight / 2));
  EXPECT_EQ(0, Interlocked(bus_->WorkerRunning)) << "a refused mode starts no worker";
  PresentRound(1);
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  Settle();
  ExpectShown(1);
  ExpectNoViolations();
}

// The worker cannot be started again when the cancelled stop resumes the first output (the
// second one's resumption starts it). The first output stays owed its resumption: its next present
// resumes it, and the far side shows that present.
TEST_F(LifeCycle, AnOutputWhoseResumptionFailedIsResumedByItsNextPresent) {
  Plug();
  StreamTwo();
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE));
  PresentRound(1);
  hostk::PsFailThreadCreation(1);
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  Settle();
  ASSERT_EQ(0, Interlocked(bus_->Channels[ChannelOf(first_)].Active));
  EXPECT_GT(FarPsnr(2, Picture(1, 1)), kShown);
  EXPECT_EQ(STATUS_SUCCESS, PresentWhole(first_, Picture(0, 2)));
  Settle();
  EXPECT_GT(FarPsnr(1, Picture(0, 2)), kShown);
  ExpectNoViolations();
}

// The only output's resumption fails, and so does its first present's: that present says so, and
// the next one, the worker started at last, reaches the far side.
TEST_F(LifeCycle, APresentWhoseResumptionFailsSaysSo) {
  Plug();
  first_ = Announce(1);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(first_, kWidth, kHeight));
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE));
  hostk::PsFailThreadCreation(1);
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  ASSERT_EQ(0, Interlocked(bus_->WorkerRunning));
  hostk::PsFailThreadCreation(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PresentWhole(first_, Picture(0, 1)));
  EXPECT_EQ(STATUS_SUCCESS, PresentWhole(first_, Picture(0, 2)));
  Settle();
  EXPECT_GT(FarPsnr(1, Picture(0, 2)), kShown);
  ExpectNoViolations();
}

TEST_F(LifeCycle, AVetoedRemovalLeavesTheChildrenAndTheirFramesFlowing) {
  Plug();
  StreamTwo();
  EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, hostk::PnpQueryRemoveDevice(port_->Pdo(), true));
  EXPECT_EQ(Started, bus_->Header.DevicePnpState);
  EXPECT_EQ("Started", NodeState(first_));
  EXPECT_EQ("Started", NodeState(second_));
  EXPECT_TRUE(InterfaceEnabled());
  PresentRound(1);
  Settle();
  ExpectShown(1);
  ExpectNoViolations();
}

// A stop releases the configuration and the buffers; the children stay, and after the new start
// they own their channels again and their presents reach the far side without a new mode.
TEST_F(LifeCycle, StopAndStartAgainKeepEachChildOnItsChannel) {
  Plug();
  StreamTwo();
  ULONG firstChannel = ChannelOf(first_);
  ULONG secondChannel = ChannelOf(second_);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(port_->Pdo()));
  EXPECT_EQ(Stopped, bus_->Header.DevicePnpState);
  EXPECT_EQ(0, port_->ConfigurationValue());
  EXPECT_EQ(nullptr, bus_->StagingBuffer);
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, PresentWhole(first_, Picture(0, 1)));
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, SetMode(second_, kWidth, kHeight));
  EXPECT_EQ(0, Interlocked(bus_->WorkerRunning)) << "a mode set while stopped starts no worker";

  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(port_->Pdo()));
  EXPECT_NE(nullptr, bus_->StagingBuffer);
  EXPECT_NE(nullptr, bus_->EncodeBuffer);
  EXPECT_TRUE(InterfaceEnabled());
  EXPECT_EQ(0, bus_->Channels[firstChannel].Free);
  EXPECT_EQ(1, Interlocked(bus_->Channels[firstChannel].DisplayId));
  EXPECT_EQ(2, Interlocked(bus_->Channels[secondChannel].DisplayId));
  // A display the adapter announces again finds its channel taken by its own child.
  std::vector<uint8_t> again = Report(1);
  EXPECT_FALSE(NT_SUCCESS(CreateDisplayChild(bus_, again.data(), (ULONG)again.size())));
  PDEVICE_OBJECT third = Announce(3);
  EXPECT_NE(firstChannel, ChannelOf(third));
  EXPECT_NE(secondChannel, ChannelOf(third));

  PresentRound(1);
  Settle();
  ExpectShown(1);
  ExpectNoViolations();
}

// The start resets every channel, its activity included: an output that streamed before the stop
// gets its mode block at once and a running worker, with the count of active outputs right, and a
// display newly bound to a channel that was active before the stop streams from its first mode.
TEST_F(LifeCycle, AStartResumesStreamingOutputsAndFreshOnesStreamFromTheirFirstMode) {
  Plug();
  StreamTwo();
  ULONG freedChannel = ChannelOf(second_);
  displayDrivers_.clear();
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 2));
  hostk::PnpWaitForEnumeration();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(port_->Pdo()));
  ULONG modesBefore = adapter_->Display(1)->modes;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(port_->Pdo()));
  Settle();
  EXPECT_EQ(modesBefore + 1, adapter_->Display(1)->modes) << "the resumed output's mode block";
  EXPECT_EQ(1, Interlocked(bus_->WorkerRunning));
  EXPECT_EQ(1, Interlocked(bus_->ActiveOutputCount));
  EXPECT_EQ(1, Interlocked(bus_->Channels[ChannelOf(first_)].Active));

  PDEVICE_OBJECT fresh = Announce(3);
  ASSERT_EQ(freedChannel, ChannelOf(fresh));
  ASSERT_EQ(STATUS_SUCCESS, SetMode(fresh, kWidth, kHeight));
  EXPECT_EQ(1, Interlocked(bus_->Channels[freedChannel].Active));
  EXPECT_EQ(2, Interlocked(bus_->ActiveOutputCount));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(fresh, Picture(1, 2)));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(first_, Picture(0, 2)));
  Settle();
  EXPECT_GT(FarPsnr(3, Picture(1, 2)), kShown);
  EXPECT_GT(FarPsnr(1, Picture(0, 2)), kShown);
  ExpectNoViolations();
}

// A request that holds a reference on the adapter keeps a query-remove waiting until it ends.
TEST_F(LifeCycle, AQueryRemoveWaitsForTheRequestsInside) {
  Plug();
  IoCountIncrement(bus_);  // a request inside the adapter
  std::atomic<NTSTATUS> answer{STATUS_PENDING};
  SystemThread query([&] { answer = hostk::PnpQueryRemoveDevice(port_->Pdo(), true); });
  Settle(50000000);
  EXPECT_EQ(STATUS_PENDING, answer.load()) << "the query answered with a request still inside";
  EXPECT_EQ(RemovePending, bus_->Header.DevicePnpState);
  IoCountDecrement(bus_);
  query.Join();
  EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, answer.load());
  EXPECT_EQ(Started, bus_->Header.DevicePnpState);
}

// A start that fails after the USB configuration is followed by the removal, which gives the
// configuration back and leaves nothing; the adapter, put right and added again, starts.
TEST_F(LifeCycle, AFailedStartAndItsRemovalLeaveNothingBehind) {
  Plug({}, Start::None);
  adapter_->SetConfigWord(0, 0);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PnpStartDevice(port_->Pdo()));
  EXPECT_EQ(nullptr, port_->Pdo()->AttachedDevice);
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_EQ(0, port_->ConfigurationValue());
  EXPECT_TRUE(hostk::IoEnabledDeviceInterfaces(ExtendedInterface()).empty());
  EXPECT_EQ("", hostk::PoolLeakReport());

  adapter_->SetConfigWord(0, kxsim::kFinishedImageWord0);
  ExpectStartsAgain();
}

// The stop released the frame pipeline's buffers; a start that cannot have them back fails.
TEST_F(LifeCycle, AStartWithoutMemoryForTheFrameBuffersFails) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(port_->Pdo()));
  hostk::PoolFailTag(kTagFrameBuffers);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, hostk::PnpStartDevice(port_->Pdo()));
  hostk::PoolFailTag(kTagFrameBuffers, false);
  EXPECT_EQ(nullptr, port_->Pdo()->AttachedDevice);
  EXPECT_EQ("", hostk::PoolLeakReport());
  ExpectStartsAgain();
}

// Windows asks the whole tree, children first, and removes it children first.
TEST_F(LifeCycle, AnAgreedRemovalTakesTheChildrenFirstAndLeavesNothing) {
  Plug();
  StreamTwo();
  CloseDisplayDrivers();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpQueryRemoveDevice(port_->Pdo()));
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_EQ(nullptr, port_->Pdo()->AttachedDevice);
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagFrameBuffers));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagFrameStore));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagBus));
}

TEST_F(LifeCycle, SurpriseRemovalWhileFramesAreOnTheirWay) {
  Plug();
  StreamTwo();
  PresentRound(1);  // the worker is sending when the adapter goes
  CloseDisplayDrivers();
  port_->Unplug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSurpriseRemoveDevice(port_->Pdo()));
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_EQ(nullptr, port_->Pdo()->AttachedDevice);
}

// The display stack keeps its control handle on the adapter until the interface's removal tells
// it the adapter is gone: the removal waits for that close, and until then the handle's requests
// fail, the adapter being no longer started.
TEST_F(LifeCycle, ARemovalAfterSurpriseRemovalWaitsForTheLastHandleToClose) {
  Plug();
  StreamTwo();
  CloseDisplayDrivers();
  auto client = std::make_unique<kxsim::AdapterClient>();
  ASSERT_EQ(STATUS_SUCCESS, client->Open());
  std::string name = client->InterfaceName();
  NTSTATUS whileLeaving = STATUS_SUCCESS;
  bool stillAttached = false;
  int watch = hostk::IoWatchDeviceInterfaces(
      ExtendedInterface(),
      [&](const hostk::DeviceInterfaceEvent& event) {
        if (event.arrival || client == nullptr) return;
        ULONG speed;
        whileLeaving = client->GetUsbSpeed(&speed);
        stillAttached = port_->Pdo()->AttachedDevice != nullptr;
        client.reset();
      },
      false);
  port_->Unplug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSurpriseRemoveDevice(port_->Pdo()));
  hostk::IoUnwatchDeviceInterfaces(watch);
  EXPECT_EQ(nullptr, client);
  EXPECT_TRUE(stillAttached);
  // The adapter answers a device that is no longer started; once deleted, the I/O manager would.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, whileLeaving);
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_EQ(nullptr, port_->Pdo()->AttachedDevice);
}

TEST_F(LifeCycle, CapabilitiesTakeTheLightestSleepStateTheStackOffers) {
  struct Case {
    DEVICE_POWER_STATE s1, s2, s3;
    ULONG sleep;
  };
  for (const Case& c : {Case{PowerDeviceD1, PowerDeviceD3, PowerDeviceD3, PowerDeviceD1},
                        Case{PowerDeviceD1, PowerDeviceD2, PowerDeviceD3, PowerDeviceD2},
                        Case{PowerDeviceD3, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2},
                        Case{PowerDeviceD0, PowerDeviceD3, PowerDeviceD3, PowerDeviceD2}}) {
    portOptions_.sleepingDeviceStates[0] = c.s1;
    portOptions_.sleepingDeviceStates[1] = c.s2;
    portOptions_.sleepingDeviceStates[2] = c.s3;
    Plug();
    DEVICE_CAPABILITIES capabilities = {};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    IO_STACK_LOCATION parameters = {};
    parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP,
                                                    IRP_MN_QUERY_CAPABILITIES, &parameters));
    EXPECT_EQ(c.sleep, bus_->SleepDeviceState);
    EXPECT_EQ(1u, capabilities.SurpriseRemovalOK);
    EXPECT_EQ(c.s1, bus_->AdapterCapabilities.DeviceState[PowerSystemSleeping1]);

    capabilities.Size = sizeof capabilities - 4;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP,
                                                         IRP_MN_QUERY_CAPABILITIES, &parameters));
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 0;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP,
                                                         IRP_MN_QUERY_CAPABILITIES, &parameters));
    TearDown();
  }
}

// Every allocation of the start path fails once. A start that fails is followed by the removal,
// which must leave nothing; the adapter added again then starts.
TEST_F(LifeCycle, EveryAllocationFailureOfTheStartLeavesNothingBehind) {
  Plug({}, Start::None);
  for (uint64_t n = 1;; n++) {
    SCOPED_TRACE(n);
    uint64_t failedBefore = hostk::PoolFailedCount();
    hostk::PoolFailNth(n);
    NTSTATUS status = hostk::PnpStartDevice(port_->Pdo());
    hostk::PoolClearFaults();
    bool injected = hostk::PoolFailedCount() != failedBefore;
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(port_->Pdo()));
    }
    EXPECT_EQ(nullptr, port_->Pdo()->AttachedDevice);
    EXPECT_EQ("", hostk::PoolLeakReport());
    EXPECT_EQ(0, port_->PendingCount());
    if (!injected) break;
    AddAgain();
  }
  ExpectStartsAgain();
}

// A bridge on its first-stage image takes its final identity and leaves the bus; the old stack is
// surprise-removed and removed, and the adapter that comes back under its new identity is added
// and takes the whole start, with the initialisation its Legacy option asks for.
TEST_F(LifeCycle, TheIdentitySwitchBringsTheAdapterBackUnderItsNewIdentity) {
  for (UCHAR legacy : {0, 1}) {
    SCOPED_TRACE(legacy);
    hostk::RegistrySetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters", "Legacy",
                            REG_BINARY, {legacy});
    kxsim::VirtualAdapterOptions options;
    options.firstStageImage = true;
    options.legacy = legacy != 0;
    auto adapter = std::make_shared<kxsim::VirtualAdapter>(options);
    kxsim::AdapterPort port(adapter);
    std::atomic<size_t> mark{0};
    std::atomic<NTSTATUS> restart{STATUS_PENDING};
    port.SetArrivalHandler([&](PDEVICE_OBJECT pdo) {
      mark = adapter->Log().Size();
      PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
      if (driver != nullptr && NT_SUCCESS(hostk::PnpAddDevice(driver, pdo))) {
        restart = hostk::PnpStartDevice(pdo);
      }
    });
    PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver, port.Pdo()));
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(port.Pdo()));
    EXPECT_EQ(nullptr, ((BusDeviceContext*)port.Pdo()->AttachedDevice->DeviceExtension)
                           ->InterfaceName.Buffer) << "an adapter about to leave is not published";

    ASSERT_TRUE(port.WaitForReenumerations(1, 30 * 10000000LL));
    EXPECT_EQ(STATUS_SUCCESS, restart.load());
    PDEVICE_OBJECT pdo = port.Pdo();
    ASSERT_NE(nullptr, pdo->AttachedDevice);
    BusDeviceContext* bus = (BusDeviceContext*)pdo->AttachedDevice->DeviceExtension;
    EXPECT_EQ(options.productWord + 1, bus->IdProduct);
    EXPECT_EQ(kLinkStateStarted, bus->LinkState);
    std::vector<hostk::DeviceInterfaceEvent> events =
        hostk::IoDeviceInterfaceEvents(ExtendedInterface());
    ASSERT_EQ(1u, events.size());
    EXPECT_TRUE(events[0].arrival);
    ULONG identity = ((ULONG)(USHORT)(bus->IdProduct + 1) << 16) | bus->IdVendor;
    StartSequence s;
    s.RR(0x90);
    s.ConfigWords(3);
    if (legacy) {
      LegacyInitialisation(s, identity);
    } else {
      FullInitialisation(s, identity, 0);
    }
    ExtendedFinish(s, legacy != 0, 0);
    EXPECT_TRUE(MatchesSequence(adapter->Log().Since(mark), s));
    EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(pdo));
    hostk::IoDeviceInterfacesResetForNextTest();
  }
}

}  // namespace
}  // namespace kxtest
