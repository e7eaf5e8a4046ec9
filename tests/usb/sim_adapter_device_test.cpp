// The adapter's USB identity: its descriptors, the layout options tests use, and its endpoints.
#include "sim/usb/usb_descriptors.h"
#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterUsbDevice;
using kxsim::AdapterUsbOptions;
using kxsim::ParsedConfiguration;
using kxsim::UsbSpeed;

ParsedConfiguration Parse(const AdapterUsbDevice& device, UCHAR index = 0) {
  std::vector<uint8_t> bytes = device.ConfigurationDescriptor(index);
  ParsedConfiguration parsed;
  EXPECT_TRUE(kxsim::ParseConfiguration(bytes.data(), bytes.size(), &parsed));
  return parsed;
}

TEST(AdapterUsbDevice, DefaultLayoutIsTheBridgesOneInterface) {
  AdapterUsbDevice device;
  std::vector<uint8_t> descriptor = device.DeviceDescriptor();
  ASSERT_EQ(18u, descriptor.size());
  EXPECT_EQ(0x0200, descriptor[2] | descriptor[3] << 8);
  EXPECT_EQ(64, descriptor[7]);
  EXPECT_EQ(0x0525, descriptor[8] | descriptor[9] << 8);
  EXPECT_EQ(0x3380, descriptor[10] | descriptor[11] << 8);
  EXPECT_EQ(1, descriptor[17]);

  ParsedConfiguration parsed = Parse(device);
  EXPECT_EQ(1, parsed.value);
  ASSERT_EQ(1u, parsed.interfaces.size());
  EXPECT_EQ(0xFF, parsed.interfaces[0].interfaceClass);
  std::vector<UCHAR> addresses;
  for (const auto& endpoint : parsed.interfaces[0].endpoints) {
    addresses.push_back(endpoint.address);
    EXPECT_EQ(USB_ENDPOINT_TYPE_BULK, endpoint.attributes);
    EXPECT_EQ(512, endpoint.maxPacketSize);
    EXPECT_NE(nullptr, device.Script(endpoint.address));
  }
  EXPECT_EQ(
      (std::vector<UCHAR>{0x01, 0x02, 0x03, 0x04, 0x81, 0x82, 0x83, 0x84, 0x0D, 0x8D, 0x0E, 0x8E}),
      addresses);
  EXPECT_TRUE(device.ConfigurationDescriptor(1).empty());
}

TEST(AdapterUsbDevice, SuperSpeedIdentity) {
  AdapterUsbOptions options;
  options.speed = UsbSpeed::Super;
  AdapterUsbDevice device(options);
  std::vector<uint8_t> descriptor = device.DeviceDescriptor();
  EXPECT_EQ(0x0300, descriptor[2] | descriptor[3] << 8);
  EXPECT_EQ(9, descriptor[7]);  // 2^9 = 512 bytes on endpoint 0
  EXPECT_EQ(1024, Parse(device).interfaces[0].endpoints[0].maxPacketSize);
}

TEST(AdapterUsbDevice, LayoutOptionsChangeWhatTheDescriptorsSay) {
  AdapterUsbOptions options;
  options.numConfigurations = 3;
  options.declaredInterfaces = 2;
  options.MakeInterrupt(0x01, 5).SetMaxPacketSize(0x8E, 8).RemoveEndpoint(0x04);
  AdapterUsbDevice device(options);
  EXPECT_EQ(3, device.DeviceDescriptor()[17]);
  EXPECT_EQ(3, Parse(device, 2).value);
  EXPECT_TRUE(device.ConfigurationDescriptor(3).empty());
  ParsedConfiguration parsed = Parse(device);
  EXPECT_EQ(2, parsed.declaredInterfaces);
  ASSERT_EQ(1u, parsed.interfaces.size());
  const auto& endpoints = parsed.interfaces[0].endpoints;
  ASSERT_EQ(11u, endpoints.size());
  EXPECT_EQ(USB_ENDPOINT_TYPE_INTERRUPT, endpoints[0].attributes);
  EXPECT_EQ(5, endpoints[0].interval);
  EXPECT_EQ(8, endpoints.back().maxPacketSize);
  EXPECT_EQ(nullptr, device.Script(0x04));
}

class AdapterEndpoints : public UsbPortTest {
 protected:
  void SetUp() override {
    Open();
    ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  }
};

TEST_F(AdapterEndpoints, WaitForReceivedWaitsInVirtualTime) {
  uint8_t data[3] = {1, 2, 3};
  LONGLONG start = hostk::ClockNow();
  EXPECT_FALSE(Script(0x02).WaitForReceived(1, 2 * kSecond));
  EXPECT_EQ(2 * kSecond, hostk::ClockNow() - start);
  ASSERT_EQ(STATUS_SUCCESS, Bulk(0x02, data, 3));
  EXPECT_TRUE(Script(0x02).WaitForReceived(1, kSecond));
  EXPECT_EQ(1u, Script(0x02).TakeReceived().size());
  EXPECT_EQ(0u, Script(0x02).ReceivedCount());
}

TEST_F(AdapterEndpoints, AnswersAreSeparatedByShortPackets) {
  Script(0x83).QueueIn({1, 2});
  Script(0x83).QueueIn({3});
  EXPECT_EQ(2u, Script(0x83).QueuedInCount());
  uint8_t buffer[16];
  ULONG moved = 0;
  ASSERT_EQ(STATUS_SUCCESS, Bulk(0x83, buffer, 16, &moved));
  EXPECT_EQ(2u, moved);
  ASSERT_EQ(STATUS_SUCCESS, Bulk(0x83, buffer, 16, &moved));
  EXPECT_EQ(1u, moved);
  EXPECT_EQ(3, buffer[0]);
}

// A handler standing in for a chip behind an endpoint: it sees every transfer and pipe reset.
class Echo : public kxsim::UsbEndpointHandler {
 public:
  void Transfer(const std::shared_ptr<kxsim::UsbTransfer>& transfer) override {
    for (ULONG i = 0; i < transfer->Length(); i++) transfer->Buffer()[i] = (UCHAR)(0xF0 + i);
    transfer->Complete(transfer->Length());
    transfers++;
  }
  void Reset() override { resets++; }
  int transfers = 0;
  int resets = 0;
};

TEST_F(AdapterEndpoints, AHandlerTakesTheScriptsPlace) {
  auto echo = std::make_shared<Echo>();
  device_->SetHandler(0x8E, echo);
  uint8_t buffer[4] = {};
  ULONG moved = 0;
  ASSERT_EQ(STATUS_SUCCESS, Bulk(0x8E, buffer, 4, &moved));
  EXPECT_EQ(4u, moved);
  EXPECT_EQ(0xF3, buffer[3]);
  ASSERT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x8E)));
  EXPECT_EQ(1, echo->transfers);
  EXPECT_EQ(1, echo->resets);
  EXPECT_EQ(1u, device_->ResetCount(0x8E));
}

}  // namespace
}  // namespace kxtest
