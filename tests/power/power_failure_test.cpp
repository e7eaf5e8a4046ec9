// Failures of the power paths: a device request the power manager cannot give, and every
// allocation of a sleep and resume cycle failing in turn. Each must leave the adapter usable and
// the host clean: no leak, no verifier report, every request completed once.
#include "host/hostk/pool.h"
#include "power_fixture.h"

namespace kxtest {
namespace {

class PowerFailure : public PowerTest {};

// The held system request is not stranded: it goes down at once without a device request.
TEST_F(PowerFailure, ASystemRequestWhoseDeviceRequestFailsGoesDownAtOnce) {
  hostk::SetWindowsVersion(hostk::WindowsRelease::WindowsXP);
  Plug();
  TakePowerRequests();
  hostk::PoFailRequestPowerIrp(1);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  EXPECT_EQ((Requests{"Q S3", "S S3"}), TakePowerRequests());
  EXPECT_EQ(nullptr, bus_->PendingSystemPowerIrp);
  EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  EXPECT_EQ(1, bus_->OutstandingIo);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_TRUE(InterfaceEnabled());
}

// Without its work item the interface stays away until the next power-up; that one brings it back.
TEST_F(PowerFailure, APowerUpWithoutItsWorkItemLeavesTheInterfaceForTheNextOne) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  hostk::PoolFailTag(kTagWorkItem);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  hostk::PoolFailTag(kTagWorkItem, false);
  Settle(4 * kSecond);
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_EQ(1, bus_->OutstandingIo);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
}

// The stack below cannot bring the adapter back to D0: it stays asleep and unpublished, nothing
// is left held, and the next resume that succeeds brings it all back, frames included.
TEST_F(PowerFailure, APowerUpTheStackFailsLeavesTheAdapterAsleepUntilTheNext) {
  Plug();
  StreamTwo();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  port_->FailPowerUps(1);
  hostk::PoSetSystemPowerState(PowerSystemWorking);
  EXPECT_EQ(PowerDeviceD3, bus_->DevicePowerState);
  Settle(4 * kSecond);
  EXPECT_FALSE(InterfaceEnabled());
  EXPECT_EQ(nullptr, bus_->PendingSystemPowerIrp);
  EXPECT_EQ(0, bus_->PowerIrpRequested);
  EXPECT_EQ(1, bus_->OutstandingIo);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
  PresentRound(1);
  Settle();
  ExpectShown(1);
}

// Each allocation of a sleep, a resume and the three seconds after it fails in turn, until a
// cycle runs with none failed. Whatever failed, the adapter is in D0 afterwards and streams.
TEST_F(PowerFailure, EveryAllocationOfASleepCycleFailingInTurn) {
  Plug();
  StreamTwo();
  bool failedAny = true;
  for (uint64_t n = 1; failedAny; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    uint64_t failedBefore = hostk::PoolFailedCount();
    hostk::PoolFailNth(n);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
    Settle(4 * kSecond);
    failedAny = hostk::PoolFailedCount() != failedBefore;
    hostk::PoolClearFaults();
    EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
    EXPECT_EQ(1, bus_->OutstandingIo);
    ASSERT_LT(n, 50u) << "the cycle never ran without a failure";
  }
  PresentRound(1);
  Settle();
  ExpectShown(1);
}

}  // namespace
}  // namespace kxtest
