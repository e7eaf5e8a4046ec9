// The work three seconds after a power-up (the resume strobe, then the device interface back)
// against the paths that take the interface down: a surprise removal, a power-down and a
// query-stop that arrive while the work waits for its register read. Whichever comes second, the
// interface ends as that path leaves it, and nothing of it is left behind.
#include "power_fixture.h"
#include "sim/usb/usb_fault.h"

namespace kxtest {
namespace {

constexpr UCHAR kBridgeResultsIn = 0x8D;

class PowerUpWork : public PowerTest {
 protected:
  void SetUp() override { Plug(); }
  // Asleep and awake again; three seconds later the work reads bridge register 0x8C, and the
  // answer is held back for two seconds.
  void WakeAndHoldTheWorksRead() {
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
    Settle(29 * kSecond / 10);
    ASSERT_EQ(0u, port_->PendingCount(kBridgeResultsIn));
    port_->InjectFault(kBridgeResultsIn, kxsim::UsbFault::Delay(2 * kSecond).Times(1));
    Settle(2 * kSecond / 10);
    ASSERT_EQ(1u, port_->PendingCount(kBridgeResultsIn)) << "the work is not inside its read";
  }
  static bool AnyInterfaceEnabled() {
    GUID extended;
    hostk::GuidFromString("{CF507BAA-C6C8-414F-9312-A3E0C2C4D858}", &extended);
    return !hostk::IoEnabledDeviceInterfaces(extended).empty();
  }
};

// The removed adapter publishes nothing, and its interface name goes with it (the driver's unload
// at the end of the removal finds no pool left).
TEST_F(PowerUpWork, ASurpriseRemovalDuringItsReadLeavesNoInterface) {
  WakeAndHoldTheWorksRead();
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSurpriseRemoveDevice(port_->Pdo()));
  bus_ = nullptr;
  EXPECT_FALSE(AnyInterfaceEnabled());
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
}

// An adapter in D3 is not published; the next power-up publishes it again.
TEST_F(PowerUpWork, APowerDownDuringItsReadKeepsTheInterfaceAway) {
  WakeAndHoldTheWorksRead();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  Settle(4 * kSecond);
  EXPECT_EQ(PowerDeviceD3, bus_->DevicePowerState);
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_FALSE(AnyInterfaceEnabled());
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
}

// An adapter about to stop is not published; the cancel publishes it again.
TEST_F(PowerUpWork, AQueryStopDuringItsReadKeepsTheInterfaceAway) {
  WakeAndHoldTheWorksRead();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpQueryStopDevice(port_->Pdo()));
  EXPECT_FALSE(AnyInterfaceEnabled());
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_TRUE(InterfaceEnabled());
}

}  // namespace
}  // namespace kxtest
