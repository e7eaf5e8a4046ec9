// The adapter's start on the virtual adapter: every path's register programming compared with
// the required sequence operation by operation, the identity switch with its delayed write, the
// status values left in the registry, and the starts that must fail.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <optional>

#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/registry.h"
#include "pipeline_fixture.h"
#include "start_sequence.h"

namespace kxtest {
namespace {

using kxsim::AdapterGeneration;
using kxsim::UsbSpeed;
using kxsim::VirtualAdapterOptions;

std::vector<uint8_t> Le(ULONG v) {
  return {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
}

class StartUp : public PipelineTest {
 protected:
  void SetUp() override { hostk::RegistryClear(); }

  // The adapter added with its start options in the registry; the record's generation flag
  // deliberately wrong, so that only the start's own reading of the bridge can set it.
  void PlugFor(VirtualAdapterOptions options, UCHAR legacy, ULONG driverModel) {
    hostk::RegistrySetValue(ParametersKey(), "Legacy", REG_BINARY, {legacy});
    hostk::RegistrySetValue(ParametersKey(), "DriverModel", REG_BINARY, Le(driverModel));
    Plug(options, Start::None);
    bus_->ExtendedChip = options.Extended() ? 0 : 1;
    bus_->ConfigWordCache200 = 0x11111111;
    bus_->ConfigWordCache201 = 0x22222222;
    mark_ = adapter_->Log().Size();
  }
  // IRP_MN_START_DEVICE from the Plug and Play manager: the USB configuration reads descriptors
  // only, so the log holds the adapter's programming alone.
  NTSTATUS StartDevice() {
    return hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE);
  }
  std::vector<kxsim::AdapterOperation> Ops() const { return adapter_->Log().Since(mark_); }

  static std::string ParametersKey() {
    return hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters";
  }
  static std::string StatusKey() {
    return hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters\\0000";
  }
  static std::vector<uint8_t> StatusValue(const std::string& name) {
    auto value = hostk::RegistryGetValue(StatusKey(), name);
    if (!value) return {};
    EXPECT_EQ((ULONG)REG_BINARY, value->type) << name;
    return value->data;
  }
  static void SetStatusValue(const std::string& name, std::vector<uint8_t> bytes) {
    hostk::RegistrySetValue(StatusKey(), name, REG_BINARY, bytes);
  }
  ULONG Identity() const { return ((ULONG)(USHORT)(bus_->IdProduct + 1) << 16) | bus_->IdVendor; }

  size_t mark_ = 0;
};

TEST_F(StartUp, FullStartProgramsEveryRegisterInOrderForBothDriverModels) {
  for (ULONG driverModel : {0u, 8u}) {
    SCOPED_TRACE(driverModel);
    PlugFor({}, 0, driverModel);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice());
    StartSequence s;
    s.RR(0x90);
    s.ConfigWords(3);
    FullInitialisation(s, Identity(), driverModel);
    ExtendedFinish(s, false, driverModel);
    EXPECT_TRUE(MatchesSequence(Ops(), s));
    EXPECT_EQ(1, bus_->ExtendedChip);
    EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
    EXPECT_EQ(0x4B580200u, bus_->ConfigWordCache200);
    EXPECT_EQ(0x4B580201u, bus_->ConfigWordCache201);
    EXPECT_EQ(0u, adapter_->MalformedCommands());
    TearDown();
  }
}

TEST_F(StartUp, LegacyStartProgramsOnlyChannelsTwoAndFourOnTheBridge) {
  for (ULONG driverModel : {0u, 8u}) {
    SCOPED_TRACE(driverModel);
    VirtualAdapterOptions options;
    options.legacy = true;
    PlugFor(options, 1, driverModel);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice());
    StartSequence s;
    s.RR(0x90);
    s.ConfigWords(3);
    LegacyInitialisation(s, Identity());
    ExtendedFinish(s, true, driverModel);
    EXPECT_TRUE(MatchesSequence(Ops(), s));
    EXPECT_EQ(kLinkStateStarted, bus_->LinkState);
    TearDown();
  }
}

TEST_F(StartUp, BasicStartTouchesNoConfigurationMemoryAndSetsTheLinkOnlyForModelZero) {
  for (ULONG driverModel : {0u, 8u}) {
    SCOPED_TRACE(driverModel);
    VirtualAdapterOptions options;
    options.generation = AdapterGeneration::Basic;
    PlugFor(options, 0, driverModel);
    SetStatusValue("SPI0", {0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_EQ(STATUS_SUCCESS, StartDevice());
    StartSequence s;
    s.RR(0x90);
    if (driverModel == 0) s.RW(0x50, 0xB0);
    s.RR(0x260);
    s.MR(0x00100090);
    s.RR(0x90);
    EXPECT_TRUE(MatchesSequence(Ops(), s));
    EXPECT_EQ(0, bus_->ExtendedChip);
    EXPECT_EQ(0u, bus_->LinkState);
    EXPECT_EQ(0x11111111u, bus_->ConfigWordCache200);
    EXPECT_EQ(Le(0), StatusValue("SPI0"));
    TearDown();
  }
}

TEST_F(StartUp, StatusValuesRecordWordZeroTheSpeedAndAClearedError) {
  VirtualAdapterOptions options;
  options.usbSpeed = UsbSpeed::Super;
  PlugFor(options, 0, 0);
  SetStatusValue("ErrorCode", {5, 0, 0, 0});
  SetStatusValue("UsbSpeed", {9, 9, 9, 9});
  adapter_->SetConfigWord(0, 0x12345678);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  EXPECT_EQ(Le(0x12345678), StatusValue("SPI0"));
  EXPECT_EQ(Le(bus_->UsbSpeed), StatusValue("UsbSpeed"));
  EXPECT_EQ(Le(2), StatusValue("UsbSpeed"));
  EXPECT_EQ(Le(0), StatusValue("ErrorCode"));
}

TEST_F(StartUp, FarPortSpeedFollowsTheFirstBitSetAndALinkDownKeepsIt) {
  struct Case {
    std::optional<UsbSpeed> far;
    UCHAR expected;
  };
  for (const Case& c : {Case{UsbSpeed::Full, 0}, Case{UsbSpeed::High, 1},
                        Case{UsbSpeed::Super, 2}, Case{std::nullopt, 7}}) {
    VirtualAdapterOptions options;
    options.farPortSpeed = c.far;
    PlugFor(options, 0, 0);
    bus_->FarPortSpeed = 7;
    ASSERT_EQ(STATUS_SUCCESS, StartDevice()) << "a link that is down does not fail the start";
    EXPECT_EQ(c.expected, bus_->FarPortSpeed);
    UCHAR speed = 7;
    EXPECT_EQ(c.far ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, ReadFarPortSpeed(bus_, &speed));
    EXPECT_EQ(c.expected, speed);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadFarPortSpeed(bus_, nullptr));
    TearDown();
  }
}

TEST_F(StartUp, WordZeroZeroOrUnreadableFailsTheStartBeforeAnyProgramming) {
  for (bool unreadable : {false, true}) {
    SCOPED_TRACE(unreadable);
    PlugFor({}, 0, 0);
    if (unreadable) {
      adapter_->HoldConfigBusy(100000);
    } else {
      adapter_->SetConfigWord(0, 0);
    }
    EXPECT_EQ(STATUS_UNSUCCESSFUL, StartDevice());
    std::vector<kxsim::AdapterOperation> ops = Ops();
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(kxsim::ops::RR(0x90), ops[0]);
    for (size_t i = 1; i < ops.size(); i++) EXPECT_TRUE(IsConfigMemoryAccess(ops[i])) << ops[i];
    EXPECT_TRUE(StatusValue("SPI0").empty());
    EXPECT_EQ(0u, bus_->LinkState);
    TearDown();
  }
}

// A bridge on its first-stage image: word 0 is 0x000C005A and it enumerates as PidW.
class IdentitySwitch : public StartUp {
 protected:
  static VirtualAdapterOptions FirstStage(USHORT vendor = 0x0525, USHORT product = 0x3380) {
    VirtualAdapterOptions options;
    options.firstStageImage = true;
    options.vendorWord = vendor;
    options.productWord = product;
    return options;
  }
  void Leaves(StartSequence& s) {
    s.RModify(0x8C, 0x200, 0x200);
  }
};

TEST_F(IdentitySwitch, FullSwitchWritesTheIdentityBeforeTheLayoutAndLeavesASecondLater) {
  PlugFor(FirstStage(0x1234, 0x5678), 0, 8);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  ASSERT_EQ(0x5678, bus_->IdProduct);
  StartSequence s;
  s.RR(0x90);
  s.ConfigWords(3);
  s.RW(0x320, 0x03006E01);
  for (auto [index, data] : std::vector<std::pair<ULONG, ULONG>>{
           {0x32, 0x40}, {0x72, 0x40}, {0x30, 0x40}, {0x70, 0x40}, {0x31, 0x40}, {0x71, 0x40},
           {0x04, 0x07}, {0x04, 0x08}}) {
    s.RW(0x30, index);
    s.RW(0x34, data);
  }
  s.RW(0x340, 0x00107F02);
  s.RW(0x360, 0x03006E03);
  for (auto [index, data] : std::vector<std::pair<ULONG, ULONG>>{
           {0x52, 0x40}, {0x92, 0x40}, {0x51, 0x40}, {0x91, 0x40}, {0x50, 0x40}, {0x90, 0x40}}) {
    s.RW(0x30, index);
    s.RW(0x34, data);
  }
  s.RW(0x380, 0x00107F04);
  s.RW(0x84, 0x56791234);
  EndpointLayout(s);
  EXPECT_TRUE(MatchesSequence(Ops(), s));
  EXPECT_EQ(Le(0x000C005A), StatusValue("SPI0"));
  EXPECT_TRUE(StatusValue("UsbSpeed").empty()) << "nothing of the finishing runs";
  EXPECT_EQ(0u, bus_->LinkState);
  EXPECT_EQ(2, bus_->OutstandingIo) << "the delayed write holds a reference";

  Settle(9000000);
  EXPECT_TRUE(MatchesSequence(Ops(), s)) << "nothing before a second has passed";
  Settle(2000000);
  Leaves(s);
  EXPECT_TRUE(MatchesSequence(Ops(), s));
  EXPECT_TRUE(adapter_->LeftBus());
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(IdentitySwitch, TheMakersIdentityOnlyForTheFirstStageProductWithAModel) {
  for (ULONG driverModel : {0u, 8u}) {
    SCOPED_TRACE(driverModel);
    PlugFor(FirstStage(), 0, driverModel);
    ASSERT_EQ(STATUS_SUCCESS, StartDevice());
    std::vector<kxsim::AdapterOperation> ops = Ops();
    auto write = std::find_if(ops.begin(), ops.end(), [](const kxsim::AdapterOperation& op) {
      return op.write && op.space == kxsim::AdapterSpace::BridgeRegister && op.address == 0x84;
    });
    ASSERT_NE(ops.end(), write);
    EXPECT_EQ(driverModel == 0 ? 0x33810525u : (0x70010000u | MakerVendorId), write->value);
    Settle(20000000);
    TearDown();
  }
}

TEST_F(IdentitySwitch, LegacySwitchWritesTheIdentityAndLeavesAtOnce) {
  PlugFor(FirstStage(0x1234, 0x5678), 1, 0);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  StartSequence s;
  s.RR(0x90);
  s.ConfigWords(3);
  s.RW(0x320, 0x03046001);
  s.RW(0x340, 0x03000602);
  s.RW(0x360, 0x03046003);
  s.RW(0x380, 0x03000604);
  s.RW(0x84, 0x56791234);
  s.RW(0x8C, 0x200);
  EXPECT_TRUE(MatchesSequence(Ops(), s));
  EXPECT_EQ(1, bus_->OutstandingIo);
  Settle(20000000);
  EXPECT_TRUE(MatchesSequence(Ops(), s)) << "nothing follows later";
}

// The start-up programming alone, on a record configured by hand whose product identifier is not
// the one the bridge enumerated with.
TEST_F(IdentitySwitch, AnAdapterNotEnumeratedAsPidWTakesTheFullStart) {
  Plug(FirstStage(), Start::ByHand);
  bus_->Legacy = 0;
  bus_->DriverModel = 0;
  bus_->IdProduct = 0x3381;
  mark_ = adapter_->Log().Size();
  ASSERT_EQ(STATUS_SUCCESS, StartAdapterHardware(bus_));
  StartSequence s;
  s.RR(0x90);
  s.ConfigWords(3);
  FullInitialisation(s, Identity(), 0);
  ExtendedFinish(s, false, 0);
  EXPECT_TRUE(MatchesSequence(Ops(), s));
}

TEST_F(IdentitySwitch, ADeviceStoppedBeforeTheDelayedWriteWritesNothing) {
  PlugFor(FirstStage(), 0, 0);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  size_t afterStart = adapter_->Log().Size();
  SetBusPnpState(bus_, Stopped);
  Settle(20000000);
  EXPECT_EQ(afterStart, adapter_->Log().Size());
  EXPECT_FALSE(adapter_->LeftBus());
  EXPECT_EQ(1, bus_->OutstandingIo) << "the work item dropped its reference";
  SetBusPnpState(bus_, Started);
}

TEST_F(IdentitySwitch, WithoutMemoryForTheWorkItemTheBridgeLeavesAtOnce) {
  PlugFor(FirstStage(), 0, 0);
  hostk::PoolFailTag(kTagWorkItem);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  hostk::PoolFailTag(kTagWorkItem, false);
  std::vector<kxsim::AdapterOperation> ops = Ops();
  ASSERT_GE(ops.size(), 2u);
  EXPECT_EQ(kxsim::ops::RR(0x8C), ops[ops.size() - 2]);
  EXPECT_EQ(0x200u, ops.back().value & 0x200);
  EXPECT_EQ(kxsim::ops::RW(0x8C, ops[ops.size() - 2].value | 0x200), ops.back());
  EXPECT_EQ(1, bus_->OutstandingIo);
}


// The switch's identity is made of words 1 and 2. A vendor word that never arrived must not go
// out as vendor 0: the bridge would leave the bus and come back as a device no driver matches.
TEST_F(IdentitySwitch, AnUnreadVendorWordFailsTheStartWithoutASwitch) {
  PlugFor(FirstStage(0x1234, 0x5678), 0, 0);
  adapter_->StickConfigWordRead(1, 100);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, StartDevice());
  Settle(20000000);
  for (const kxsim::AdapterOperation& op : Ops()) {
    EXPECT_FALSE(op.write && op.space == kxsim::AdapterSpace::BridgeRegister &&
                 (op.address == 0x84 || op.address == 0x8C))
        << op.ToString();
  }
  EXPECT_FALSE(adapter_->LeftBus());
}

// A register value built from a failed read would overwrite the rest of register 0x8C.
TEST_F(IdentitySwitch, AFailedReadOfTheLeaveRegisterWritesNothing) {
  PlugFor(FirstStage(), 0, 0);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  size_t afterStart = adapter_->Log().Size();
  port_->InjectFault(0x8D, kxsim::UsbFault::Short(0));
  Settle(20000000);
  port_->ClearAllFaults();
  for (const kxsim::AdapterOperation& op : adapter_->Log().Since(afterStart)) {
    EXPECT_FALSE(op.write) << op;
  }
  EXPECT_FALSE(adapter_->LeftBus());
  EXPECT_EQ(1, bus_->OutstandingIo);
}


// The generation is what the bridge answers now: a status read that fails counts as the basic
// chip, whose start needs no configuration memory.
TEST_F(StartUp, AFailedGenerationReadStartsAsTheBasicChip) {
  PlugFor({}, 0, 0);
  bus_->ExtendedChip = 1;
  kxsim::UsbFault once = kxsim::UsbFault::Short(0);
  once.uses = 1;
  port_->InjectFault(0x8D, once);
  ASSERT_EQ(STATUS_SUCCESS, StartDevice());
  StartSequence s;
  s.RR(0x90);
  s.RW(0x50, 0xB0);
  s.RR(0x260);
  s.MR(0x00100090);
  s.RR(0x90);
  EXPECT_TRUE(MatchesSequence(Ops(), s));
  EXPECT_EQ(0, bus_->ExtendedChip);
  EXPECT_EQ(Le(0), StatusValue("SPI0"));
}

// The INF installs the driver for every identity the adapter enumerates under: the first-stage
// image and the two identities the switch gives it.
TEST(AdapterInf, NamesTheFirstStageAndBothSwitchedIdentities) {
  std::ifstream file(KX_INF_PATH);
  ASSERT_TRUE(file.good());
  std::stringstream text;
  text << file.rdbuf();
  char maker[32];
  std::snprintf(maker, sizeof maker, "USB\\VID_%04X&PID_7001", MakerVendorId);
  for (std::string id : {std::string("USB\\VID_0525&PID_3380"),
                         std::string("USB\\VID_0525&PID_3381"), std::string(maker)}) {
    EXPECT_NE(std::string::npos, text.str().find(id)) << id;
  }
}

}  // namespace
}  // namespace kxtest
