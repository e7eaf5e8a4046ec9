// Wait-wake on the adapter: armed below while the adapter sleeps, and ended by the device's wake
// or a cancel; either way the request comes back to its sender with the status it ended with and
// the adapter is brought back to D0. Also the device state a sleeping system asks for while a
// wait-wake request is outstanding.
#include "power_fixture.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "support/kernel_test_util.h"

namespace kxtest {
namespace {

struct WaitWakeEnd {
  WaitWakeEnd() { KeInitializeEvent(&ended, NotificationEvent, FALSE); }
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  KEVENT ended;
  void Reset() {
    calls = 0;
    status = STATUS_PENDING;
    KeClearEvent(&ended);
  }
};

VOID NTAPI WaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                        PIO_STATUS_BLOCK status) {
  WaitWakeEnd* end = (WaitWakeEnd*)context;
  end->calls++;
  end->status = status->Status;
  KeSetEvent(&end->ended, IO_NO_INCREMENT, FALSE);
}

class WaitWake : public PowerTest {
 protected:
  void SetUp() override {
    portOptions_.deviceWake = PowerDeviceD2;
    hostk::SetWindowsVersion(hostk::WindowsRelease::WindowsXP);
  }
  // The power policy's request. Its sender has the answer at once while the request stays
  // pending below for as long as the sleep lasts: asked for on a thread of its own, so that an
  // adapter holding the sender in its dispatch routine fails the test instead of hanging it.
  void Arm() {
    auto ask = [this] {
      POWER_STATE s3;
      s3.SystemState = PowerSystemSleeping3;
      EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(port_->Pdo(), IRP_MN_WAIT_WAKE, s3, WaitWakeDone,
                                                  &end_, &irp_));
    };
    SystemThread<decltype(ask)> policy(ask);
    LARGE_INTEGER timeout = Relative(kSecond);
    if (KeWaitForSingleObject(policy.Object(), Executive, KernelMode, FALSE, &timeout) !=
        STATUS_SUCCESS) {
      ADD_FAILURE() << "the sender of the wait-wake request is held until the wait ends";
      port_->SignalWake();
    }
    ExpectArmed();
  }
  // The request's end runs at passive level after the stack below has ended it.
  void WaitForEnd() {
    LARGE_INTEGER timeout = Relative(kSecond);
    EXPECT_EQ(STATUS_SUCCESS,
              KeWaitForSingleObject(&end_.ended, Executive, KernelMode, FALSE, &timeout));
  }
  void ExpectArmed() {
    Settle(kMillisecond);
    EXPECT_TRUE(port_->WaitWakeHeld());
    EXPECT_EQ(1, bus_->WaitWakeArmed);
    EXPECT_EQ(0, end_.calls);
  }
  void ExpectEndedAwake(NTSTATUS status) {
    EXPECT_EQ(1, end_.calls);
    EXPECT_EQ(status, end_.status);
    EXPECT_EQ(0, bus_->WaitWakeArmed);
    EXPECT_EQ(0, bus_->PowerIrpRequested);
    EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  }

  WaitWakeEnd end_;
  PIRP irp_ = nullptr;
};

TEST_F(WaitWake, TheDeviceWakeEndsTheWaitAndPowersTheAdapterUp) {
  Plug();  // the manager asks for the capabilities after the start: the wake state is known
  StreamTwo();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  TakePowerRequests();
  Arm();
  EXPECT_TRUE(port_->SignalWake());
  WaitForEnd();
  ExpectEndedAwake(STATUS_SUCCESS);
  EXPECT_EQ((Requests{"W S3", "S D0"}), TakePowerRequests());
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ((Requests{"S S0"}), TakePowerRequests()) << "already in D0: no device request";
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
  PresentRound(1);
  Settle();
  ExpectShown(1);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(WaitWake, ACancelEndsTheWaitWithStatusCancelled) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  Arm();
  EXPECT_TRUE(IoCancelIrp(irp_));
  WaitForEnd();
  ExpectEndedAwake(STATUS_CANCELLED);
  EXPECT_FALSE(port_->SignalWake()) << "nothing is held any more";
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Settle(4 * kSecond);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

// A wait-wake request holds a reference on the adapter; a Plug and Play query that waits for the
// adapter to be quiet cancels it, and an adapter on its way out is not powered up for it.
TEST_F(WaitWake, ARemovalQueryEndsTheWaitWithoutPoweringUp) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  TakePowerRequests();
  Arm();
  EXPECT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE));
  WaitForEnd();
  EXPECT_EQ(1, end_.calls);
  EXPECT_EQ(STATUS_CANCELLED, end_.status);
  EXPECT_FALSE(port_->WaitWakeHeld());
  EXPECT_EQ(PowerDeviceD3, bus_->DevicePowerState);
  EXPECT_EQ((Requests{"W S3"}), TakePowerRequests());
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
}

TEST_F(WaitWake, ASurpriseRemovalEndsTheWait) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  Arm();
  displayDrivers_.clear();  // a removal waits for the display drivers' handles
  port_->Unplug();
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSurpriseRemoveDevice(port_->Pdo()));
  WaitForEnd();
  EXPECT_EQ(1, end_.calls);
  EXPECT_EQ(STATUS_CANCELLED, end_.status);
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
}

// Each allocation of a wake and the power-up after it fails in turn: the wait still ends once,
// with the wake's status, and the adapter is back in D0 after the system resumes.
TEST_F(WaitWake, EveryAllocationOfAWakeFailingInTurn) {
  Plug();
  bool failedAny = true;
  for (uint64_t n = 1; failedAny; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    ASSERT_LT(n, 50u) << "the wake never ran without a failure";
    end_.Reset();
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
    uint64_t failedBefore = hostk::PoolFailedCount();
    Arm();
    hostk::PoolFailNth(n);
    EXPECT_TRUE(port_->SignalWake());
    WaitForEnd();
    failedAny = hostk::PoolFailedCount() != failedBefore;
    hostk::PoolClearFaults();
    EXPECT_EQ(1, end_.calls);
    EXPECT_EQ(STATUS_SUCCESS, end_.status);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
    Settle(4 * kSecond);
    EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
    EXPECT_EQ(0, bus_->PowerIrpRequested);
    EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  }
  EXPECT_TRUE(InterfaceEnabled());
}

// Refused at once, without reaching the stack below: in D0 there is nothing to wake from.
TEST_F(WaitWake, AWaitWakeInD0IsRefused) {
  Plug();
  TakePowerRequests();
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(port_->Pdo(), IRP_MN_WAIT_WAKE, s3, WaitWakeDone, &end_, nullptr));
  EXPECT_EQ(1, end_.calls);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, end_.status);
  EXPECT_TRUE(TakePowerRequests().empty());
  EXPECT_EQ(1, bus_->OutstandingIo);
}

// A wait-wake request the adapter cannot arm (no memory for its end, or one already armed) ends
// at once with the reason, and the armed one is untouched.
TEST_F(WaitWake, ARequestThatCannotBeArmedEndsAtOnce) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  for (uint64_t n = 1; n <= 2; n++) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    end_.Reset();
    uint64_t failedBefore = hostk::PoolFailedCount();
    hostk::PoolFailNth(n);
    ASSERT_EQ(STATUS_PENDING,
              PoRequestPowerIrp(port_->Pdo(), IRP_MN_WAIT_WAKE, s3, WaitWakeDone, &end_, nullptr));
    EXPECT_EQ(failedBefore + 1, hostk::PoolFailedCount());
    hostk::PoolClearFaults();
    EXPECT_EQ(1, end_.calls);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, end_.status);
    EXPECT_FALSE(port_->WaitWakeHeld());
    EXPECT_EQ(0, bus_->WaitWakeArmed);
  }
  end_.Reset();
  Arm();
  WaitWakeEnd second;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(port_->Pdo(), IRP_MN_WAIT_WAKE, s3, WaitWakeDone, &second, nullptr));
  EXPECT_EQ(1, second.calls);
  EXPECT_EQ(STATUS_DEVICE_BUSY, second.status);
  ExpectArmed();
  EXPECT_TRUE(port_->SignalWake());
  WaitForEnd();
  ExpectEndedAwake(STATUS_SUCCESS);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Settle(4 * kSecond);
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
}

// Armed in D2, a sleeping system asks for the state the capabilities give S3 (here D1), not D3.
TEST_F(WaitWake, WhileArmedSleepTakesTheCapabilityState) {
  portOptions_.sleepingDeviceStates[2] = PowerDeviceD1;
  Plug();
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(port_->Pdo(), IRP_MN_SET_POWER, d2, nullptr, nullptr, nullptr));
  TakePowerRequests();
  Arm();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  EXPECT_EQ((Requests{"W S3", "Q S3", "S D1", "S S3"}), TakePowerRequests());
  EXPECT_TRUE(port_->SignalWake());
  WaitForEnd();
  ExpectEndedAwake(STATUS_SUCCESS);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Settle(4 * kSecond);
}

// The power-up after the wake cannot be asked for: the wait still ends, nothing is left marked
// as requested, and the next system resume brings the adapter back.
TEST_F(WaitWake, APowerUpThatCannotBeAskedForLeavesTheResumeToTheSystem) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  Arm();
  hostk::PoFailRequestPowerIrp(1);
  EXPECT_TRUE(port_->SignalWake());
  WaitForEnd();
  EXPECT_EQ(1, end_.calls);
  EXPECT_EQ(STATUS_SUCCESS, end_.status);
  EXPECT_EQ(0, bus_->PowerIrpRequested);
  EXPECT_EQ(PowerDeviceD3, bus_->DevicePowerState);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ(PowerDeviceD0, bus_->DevicePowerState);
  Settle(4 * kSecond);
  EXPECT_TRUE(InterfaceEnabled());
}

}  // namespace
}  // namespace kxtest
