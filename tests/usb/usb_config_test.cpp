// USB configuration over the simulated stack: identity, configuration index, pipes, speed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "usb_adapter_fixture.h"

namespace {

using kxtest::UsbAdapterFixture;

using DriverUsbConfiguration = UsbAdapterFixture;

TEST_F(DriverUsbConfiguration, RecordsTheIdentityPipesAndSpeedOfTheFirstInterface) {
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_EQ(0x0525, bus_->IdVendor);
  EXPECT_EQ(0x3380, bus_->IdProduct);
  EXPECT_EQ(1, port_->ConfigurationValue());
  EXPECT_EQ(1u, bus_->UsbSpeed);  // high speed: 512-byte bulk packets
  struct {
    UCHAR endpoint;
    USBD_PIPE_HANDLE recorded;
  } pipes[] = {{0x0D, bus_->PipeCsrOut},   {0x8D, bus_->PipeCsrIn},    {0x0E, bus_->PipePciOut},
               {0x8E, bus_->PipePciIn},    {0x81, bus_->PipeDataIn1},  {0x82, bus_->PipeDataIn2},
               {0x83, bus_->PipeDataIn3},  {0x84, bus_->PipeDataIn4},  {0x01, bus_->PipeDataOut1},
               {0x02, bus_->PipeDataOut2}, {0x03, bus_->PipeDataOut3}, {0x04, bus_->PipeDataOut4}};
  for (const auto& pipe : pipes) {
    EXPECT_NE(nullptr, pipe.recorded) << std::hex << (int)pipe.endpoint;
    EXPECT_EQ(port_->PipeHandle(pipe.endpoint), pipe.recorded) << std::hex << (int)pipe.endpoint;
  }
  EXPECT_EQ(STATUS_SUCCESS, UsbDeselectConfiguration(fdo_));
  EXPECT_EQ(0, port_->ConfigurationValue());
}

TEST_F(DriverUsbConfiguration, SecondConfigurationIsChosenWhenTheDeviceOffersMoreThanOne) {
  Detach();
  options_.numConfigurations = 2;
  Attach();
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_EQ(2, port_->ConfigurationValue());  // index 1
}

TEST_F(DriverUsbConfiguration, NoConfigurationCountStillSelectsTheFirst) {
  Detach();
  options_.numConfigurations = 0;
  Attach();
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_EQ(1, port_->ConfigurationValue());  // index 0
}

// A device whose configuration descriptor answers the first read with one total length and every
// later read with another (and as many bytes as that one announces).
class ChangingDescriptorDevice : public kxsim::AdapterUsbDevice {
 public:
  ChangingDescriptorDevice(kxsim::AdapterUsbOptions options, int change)
      : AdapterUsbDevice(std::move(options)), change_(change) {}
  std::vector<uint8_t> ConfigurationDescriptor(UCHAR index) const override {
    std::vector<uint8_t> bytes = AdapterUsbDevice::ConfigurationDescriptor(index);
    if (reads_++ == 0) return bytes;
    if (change_ > 0) {
      bytes.insert(bytes.end(), {4, 0x24, 0, 0});  // a class-specific descriptor of 4 bytes
      bytes.resize(bytes.size() + change_ - 4, 0);
    } else {
      bytes.resize(bytes.size() + change_);
    }
    bytes[2] = (uint8_t)bytes.size();
    bytes[3] = (uint8_t)(bytes.size() >> 8);
    return bytes;
  }

 private:
  const int change_;
  mutable std::atomic<int> reads_{0};
};

// The parser walks the full descriptor up to its own total length, so a second answer that
// announces more than the first must never reach it; one that sends less is no descriptor either.
TEST_F(DriverUsbConfiguration, ADescriptorThatChangesBetweenTheTwoReadsIsRefused) {
  for (int change : {+64, -7}) {
    Detach();
    Attach(std::make_shared<ChangingDescriptorDevice>(options_, change));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, ConfigureDevice(fdo_)) << change;
    EXPECT_EQ(0, port_->ConfigurationValue()) << change;
    EXPECT_EQ(nullptr, bus_->PipeCsrOut) << change;
  }
}

// A device whose configuration loses endpoint 0x8E once `shrunk` is set.
class ShrinkingDevice : public kxsim::AdapterUsbDevice {
 public:
  explicit ShrinkingDevice(kxsim::AdapterUsbOptions options)
      : AdapterUsbDevice(options), smaller_(options.RemoveEndpoint(0x8E)) {}
  std::vector<uint8_t> ConfigurationDescriptor(UCHAR index) const override {
    return shrunk ? smaller_.ConfigurationDescriptor(index)
                  : AdapterUsbDevice::ConfigurationDescriptor(index);
  }
  std::atomic<bool> shrunk{false};

 private:
  kxsim::AdapterUsbDevice smaller_;
};

// A handle ends with the configuration it was opened in: configured again without endpoint 0x8E,
// the record has no pipe for it, and the internal bus path sends nothing.
TEST_F(DriverUsbConfiguration, AnEndpointTheNextConfigurationLacksKeepsNoOldHandle) {
  Detach();
  auto device = std::make_shared<ShrinkingDevice>(options_);
  Attach(device);
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  ASSERT_NE(nullptr, bus_->PipePciIn);
  ASSERT_EQ(STATUS_SUCCESS, UsbDeselectConfiguration(fdo_));
  device->shrunk = true;
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_EQ(nullptr, bus_->PipePciIn);
  EXPECT_NE(nullptr, bus_->PipePciOut);
  EXPECT_EQ(port_->PipeHandle(0x8D), bus_->PipeCsrIn);
  SetBusPnpState(bus_, Started);
  ULONG urbs = port_->Counters().urbs;
  EXPECT_EQ(0u, PciMemRead(bus_, 0x30000090));
  EXPECT_EQ(urbs + 1, port_->Counters().urbs) << "the command only: no receive on a closed pipe";
}

// A device whose configuration descriptor is rewritten the same way at every read; its total
// length then counts the bytes it sends, unless the rewrite set it itself.
class RewrittenDescriptorDevice : public kxsim::AdapterUsbDevice {
 public:
  using Rewrite = std::function<void(std::vector<uint8_t>&)>;
  RewrittenDescriptorDevice(kxsim::AdapterUsbOptions options, Rewrite rewrite, bool keepTotal)
      : AdapterUsbDevice(std::move(options)), rewrite_(std::move(rewrite)), keepTotal_(keepTotal) {}
  std::vector<uint8_t> ConfigurationDescriptor(UCHAR index) const override {
    std::vector<uint8_t> bytes = AdapterUsbDevice::ConfigurationDescriptor(index);
    rewrite_(bytes);
    if (!keepTotal_) {
      bytes[2] = (uint8_t)bytes.size();
      bytes[3] = (uint8_t)(bytes.size() >> 8);
    }
    return bytes;
  }

 private:
  const Rewrite rewrite_;
  const bool keepTotal_;
};

void Append(std::vector<uint8_t>& bytes, std::initializer_list<uint8_t> more) {
  bytes.insert(bytes.end(), more);
}

// The descriptors' length chain is walked before any parser sees it: a descriptor of no length
// (which a parser never gets past), one running past the total length, a configuration, interface
// or endpoint descriptor too short for its fields, and a total length above what arrived are all
// a device that does not say what it has. Nothing is selected for it.
TEST_F(DriverUsbConfiguration, ABrokenDescriptorChainIsADataError) {
  struct Case {
    const char* what;
    RewrittenDescriptorDevice::Rewrite rewrite;
    bool keepTotal;
  } cases[] = {
      {"no length at the end", [](std::vector<uint8_t>& b) { Append(b, {0, 0x24}); }, false},
      {"no length before the interface",
       [](std::vector<uint8_t>& b) { b.insert(b.begin() + 9, {0, 0x24}); }, false},
      {"the configuration's own length 0", [](std::vector<uint8_t>& b) { b[0] = 0; }, false},
      {"running past the total", [](std::vector<uint8_t>& b) { Append(b, {9, 0x24, 0, 0}); },
       false},
      {"an interface cut short",
       [](std::vector<uint8_t>& b) { Append(b, {5, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0}); },
       false},
      {"an endpoint cut short",
       [](std::vector<uint8_t>& b) { Append(b, {4, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x85, 2}); },
       false},
      {"a total above what arrives",
       [](std::vector<uint8_t>& b) {
         b[2] = (uint8_t)(b.size() + 16);
         b[3] = (uint8_t)((b.size() + 16) >> 8);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Detach();
    Attach(std::make_shared<RewrittenDescriptorDevice>(options_, c.rewrite, c.keepTotal));
    ULONG selections = port_->Counters().selections;
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, ConfigureDevice(fdo_));
    EXPECT_EQ(selections, port_->Counters().selections) << "nothing went to the USB stack";
    EXPECT_EQ(nullptr, bus_->PipeCsrOut);
  }
  // A whole descriptor of a kind the driver does not know is no fault.
  Detach();
  Attach(std::make_shared<RewrittenDescriptorDevice>(
      options_, [](std::vector<uint8_t>& b) { Append(b, {4, 0x24, 0, 0}); }, false));
  EXPECT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_NE(nullptr, bus_->PipeCsrOut);
}

TEST_F(DriverUsbConfiguration, SpeedComesFromTheBulkPacketSizeOfEndpoint01Only) {
  struct Case {
    kxsim::UsbSpeed speed;
    bool interrupt01;
    ULONG expected;
  } cases[] = {{kxsim::UsbSpeed::Full, false, 0},
               {kxsim::UsbSpeed::High, false, 1},
               {kxsim::UsbSpeed::Super, false, 2},
               {kxsim::UsbSpeed::Super, true, 7}};  // an interrupt 0x01 leaves the field alone
  for (const Case& c : cases) {
    Detach();
    options_ = {};
    options_.speed = c.speed;
    if (c.interrupt01) options_.MakeInterrupt(0x01);
    Attach();
    bus_->UsbSpeed = 7;
    ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
    EXPECT_EQ(c.expected, bus_->UsbSpeed);
    // An interrupt 0x01 is still a data channel pipe.
    EXPECT_NE(nullptr, bus_->PipeDataOut1);
  }
}

TEST_F(DriverUsbConfiguration, LegacyAdaptersKeepTheRegisterPipesButNoDataChannels) {
  bus_->Legacy = 1;
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_NE(nullptr, bus_->PipeCsrOut);
  EXPECT_NE(nullptr, bus_->PipePciIn);
  EXPECT_EQ(nullptr, bus_->PipeDataIn1);
  EXPECT_EQ(nullptr, bus_->PipeDataOut4);
}

TEST_F(DriverUsbConfiguration, OnlyBulkRegisterPipesAndOnlyTheFirstInterfaceCount) {
  Detach();
  options_.MakeInterrupt(0x0D).MakeInterrupt(0x81).RemoveEndpoint(0x84);
  kxsim::UsbInterfaceLayout second;
  second.number = 1;
  second.endpoints = {{0x84, USB_ENDPOINT_TYPE_BULK}};
  options_.AddInterface(second);
  Attach();
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_EQ(nullptr, bus_->PipeCsrOut);         // interrupt 0x0D is not a register pipe
  EXPECT_NE(nullptr, bus_->PipeDataIn1);        // interrupt 0x81 is a data channel
  EXPECT_EQ(nullptr, bus_->PipeDataIn4);        // 0x84 lives in the second interface only
  EXPECT_NE(nullptr, port_->PipeHandle(0x84));  // ...though it was opened
}

TEST_F(DriverUsbConfiguration, AFailingDescriptorReadFailsTheConfiguration) {
  port_->InjectFault(0x00, kxsim::UsbFault::DeviceGone(STATUS_NO_SUCH_DEVICE).Times(1));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, ConfigureDevice(fdo_));
  EXPECT_EQ(0, port_->ConfigurationValue());
}

TEST_F(DriverUsbConfiguration, EveryAllocationFailureIsReportedAndLeavesNothing) {
  for (const char* tag : {"URBC", "DDSC", "CURB", "CDES", "INFL", "USBD", "DUSB"}) {
    hostk::PoolFailTag(KX_POOL_TAG(tag[0], tag[1], tag[2], tag[3]));
    NTSTATUS status = strcmp(tag, "DUSB") == 0 ? UsbDeselectConfiguration(fdo_)
                                               : ConfigureDevice(fdo_);
    hostk::PoolClearFaults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << tag;
  }
  // The second configuration descriptor buffer (the full one) on its own.
  hostk::PoolFailNth(5);  // URBC, DDSC, CURB, CDES (header), then CDES (full)
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ConfigureDevice(fdo_));
  hostk::PoolClearFaults();
  hostk::IoFailIrpAllocation(1);  // the threaded request of the first descriptor read
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ConfigureDevice(fdo_));
  EXPECT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
}

}  // namespace
