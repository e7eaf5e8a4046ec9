// System sleep and hibernation with two outputs streaming: the adapter's device requests, its
// output and interface while it sleeps, frames flowing again after the resume, and a power
// request to an adapter that never started. Each test ends with the host's checks (no leak, no
// verifier report, no thread or power request left).
#include "power_fixture.h"

namespace kxtest {
namespace {

constexpr ULONG kFarSideDeviceControl = 0x8C;
constexpr ULONG kOutputOn = 0x8;

class SystemSleep : public PowerTest {
 protected:
  // After the wake the interface is back three seconds later, not before.
  void ExpectInterfaceBackAfterThreeSeconds() {
    EXPECT_FALSE(InterfaceEnabled());
    Settle(29 * kSecond / 10);
    EXPECT_FALSE(InterfaceEnabled()) << "back before three seconds";
    Settle(2 * kSecond / 10);
    EXPECT_TRUE(InterfaceEnabled());
  }
};

// On Windows XP, so that the verifier holds the driver to PoStartNextPowerIrp and PoCallDriver.
TEST_F(SystemSleep, SleepAndResumeWhileTwoOutputsStream) {
  hostk::SetWindowsVersion(hostk::WindowsRelease::WindowsXP);
  Plug();
  StreamTwo();
  TakePowerRequests();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  // The system request is held while the device request it asked for goes down first.
  EXPECT_EQ((Requests{"Q S3", "S D3", "S S3"}), TakePowerRequests());
  EXPECT_EQ(PowerDeviceD3, bus_->DevicePowerState);
  EXPECT_EQ(nullptr, bus_->PendingSystemPowerIrp);
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_EQ(0u, adapter_->FarSideRegister(kFarSideDeviceControl) & kOutputOn);
  for (int i = 0; i < 2; i++) EXPECT_EQ(PowerSystemSleeping3, Child(i)->SystemPowerState);

  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ((Requests{"S D0", "S S0"}), TakePowerRequests());
  EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  for (int i = 0; i < 2; i++) EXPECT_EQ(PowerSystemWorking, Child(i)->SystemPowerState);
  ExpectInterfaceBackAfterThreeSeconds();
  PresentRound(1);
  Settle();
  ExpectShown(1);
  EXPECT_EQ(1, bus_->OutstandingIo) << "every power request gave its reference back";
  ExpectNoViolations();
}

TEST_F(SystemSleep, HibernationPowersTheAdapterDownAndBack) {
  Plug();
  StreamTwo();
  TakePowerRequests();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemHibernate));
  EXPECT_EQ((Requests{"Q S4", "S D3", "S S4"}), TakePowerRequests());
  EXPECT_EQ(PowerDeviceD3, bus_->DevicePowerState);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ((Requests{"S D0", "S S0"}), TakePowerRequests());
  ExpectInterfaceBackAfterThreeSeconds();
  PresentRound(1);
  Settle();
  ExpectShown(1);
}

// Another D3 while in D3 neither powers the output down again nor touches the interface; a
// working-state request while in D0 needs no device request.
TEST_F(SystemSleep, RequestsThatChangeNothingGoStraightDown) {
  Plug();
  TakePowerRequests();
  IO_STACK_LOCATION working = {};
  working.Parameters.Power.Type = SystemPowerState;
  working.Parameters.Power.State.SystemState = PowerSystemWorking;
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, &working));
  EXPECT_EQ((Requests{"S S0"}), TakePowerRequests());

  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  size_t mark = adapter_->Log().Size();
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(port_->Pdo(), IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, adapter_->Log().Since(mark).size()) << "the output is powered down once";
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
}

TEST_F(SystemSleep, AnAdapterNeverStartedPassesPowerDownWithoutAReference) {
  Plug({}, Start::None);
  IO_STACK_LOCATION sleep = {};
  sleep.Parameters.Power.Type = SystemPowerState;
  sleep.Parameters.Power.State.SystemState = PowerSystemSleeping3;
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_POWER, IRP_MN_SET_POWER, &sleep));
  EXPECT_EQ((Requests{"S S3"}), TakePowerRequests());
  EXPECT_EQ(1, bus_->OutstandingIo);
}

// A display child records what it is told and answers every request itself.
TEST_F(SystemSleep, AChildRecordsItsDeviceState) {
  Plug();
  outputs_[0] = Announce(1);
  TakePowerRequests();
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(outputs_[0], IRP_MN_SET_POWER, d2, nullptr, nullptr, nullptr));
  EXPECT_EQ(PowerDeviceD2, Child(0)->DevicePowerState);
  EXPECT_EQ(PowerDeviceD2, hostk::PoDevicePowerStateOf(outputs_[0]));
  EXPECT_TRUE(TakePowerRequests().empty()) << "a child's request never reaches the USB stack";
}

}  // namespace
}  // namespace kxtest
