// The bandwidth model: bytes on the bus cost time on the host clock, when it is on.
#include "sim/usb/usb_bandwidth.h"
#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::UsbBandwidthModel;
using kxsim::UsbSpeed;

TEST(UsbBandwidthModel, WireTimeIsBytesOverTheDataRateRoundedUp) {
  EXPECT_EQ(0, UsbBandwidthModel::WireTime(UsbSpeed::High, 0));
  // 60 MB/s at high speed: 60 bytes take one microsecond.
  EXPECT_EQ(10, UsbBandwidthModel::WireTime(UsbSpeed::High, 60));
  EXPECT_EQ(11, UsbBandwidthModel::WireTime(UsbSpeed::High, 61));
  // 1.5 MB/s at full speed, 500 MB/s of data at SuperSpeed.
  EXPECT_EQ(kSecond, UsbBandwidthModel::WireTime(UsbSpeed::Full, 1'500'000));
  EXPECT_EQ(2 * kMillisecond, UsbBandwidthModel::WireTime(UsbSpeed::Super, 1'000'000));
}

TEST(UsbBandwidthModel, Usb2SharesOneLaneAndSuperSpeedHasOneEachWay) {
  UsbBandwidthModel high(UsbSpeed::High);
  EXPECT_EQ(110, high.Reserve(false, 600, 10));
  EXPECT_EQ(210, high.Reserve(true, 600, 10));   // waits for the OUT transfer
  EXPECT_EQ(1000, high.Reserve(true, 0, 1000));  // nothing to move, no time
  UsbBandwidthModel super(UsbSpeed::Super);
  EXPECT_EQ(20010, super.Reserve(false, 1'000'000, 10));
  EXPECT_EQ(20010, super.Reserve(true, 1'000'000, 10));
}

class UsbBandwidth : public UsbPortTest {
 protected:
  void OpenAt(UsbSpeed speed, bool model) {
    kxsim::AdapterUsbOptions options;
    options.speed = speed;
    kxsim::UsbPortOptions portOptions;
    portOptions.bandwidthModel = model;
    Open(options, portOptions);
    ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  }

  LONGLONG TimeToSend(ULONG bytes) {
    std::vector<uint8_t> data(bytes);
    LONGLONG start = hostk::ClockNow();
    EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, data.data(), bytes));
    return hostk::ClockNow() - start;
  }
};

TEST_F(UsbBandwidth, OffByDefaultTransfersTakeNoTime) {
  OpenAt(UsbSpeed::Full, false);
  EXPECT_EQ(0, TimeToSend(1 << 20));
}

TEST_F(UsbBandwidth, AMegabyteAtEachSpeed) {
  const UsbSpeed speeds[] = {UsbSpeed::Full, UsbSpeed::High, UsbSpeed::Super};
  for (UsbSpeed speed : speeds) {
    OpenAt(speed, true);
    EXPECT_EQ(UsbBandwidthModel::WireTime(speed, 1 << 20), TimeToSend(1 << 20));
    port_.reset();
  }
  // High speed: 1 MiB in about 17.5 ms.
  EXPECT_EQ(174763, UsbBandwidthModel::WireTime(UsbSpeed::High, 1 << 20));
}

TEST_F(UsbBandwidth, TransfersOnTwoEndpointsShareTheHighSpeedBus) {
  OpenAt(UsbSpeed::High, true);
  std::vector<uint8_t> out(60'000), in(60'000);
  Script(0x81).QueueIn(std::vector<uint8_t>(60'000, 1));
  AsyncUrb send(Pdo()), receive(Pdo());
  send.BuildBulk(Pipe(0x02), out.data(), 60'000, 0);
  receive.BuildBulk(Pipe(0x81), in.data(), 60'000, USBD_SHORT_TRANSFER_OK);
  LONGLONG start = hostk::ClockNow();
  ASSERT_EQ(STATUS_PENDING, send.Send());
  ASSERT_EQ(STATUS_PENDING, receive.Send());
  ASSERT_TRUE(send.Wait());
  ASSERT_TRUE(receive.Wait());
  EXPECT_EQ(2 * kMillisecond, hostk::ClockNow() - start);  // one after the other
}

TEST_F(UsbBandwidth, SwitchedOnAtRunTime) {
  OpenAt(UsbSpeed::Super, false);
  EXPECT_EQ(0, TimeToSend(500'000));
  port_->SetBandwidthModel(true);
  EXPECT_EQ(kMillisecond, TimeToSend(500'000));
}

}  // namespace
}  // namespace kxtest
