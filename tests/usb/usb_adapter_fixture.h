// The driver over the simulated USB stack: an adapter device with its USB identity, the port that
// gives its physical device object, and the driver added above it.
#pragma once

#include <memory>

#include "driver/kxbus.h"
#include "sim/adapter/adapter_usb_device.h"
#include "sim/usb/usb_port.h"
#include "support/kernel_test_util.h"

namespace kxtest {

class UsbAdapterFixture : public testing::Test {
 protected:
  // Tests that need another USB identity change options_ and call Attach() again after Detach().
  void SetUp() override { Attach(); }
  void TearDown() override { Detach(); }

  void Attach() { Attach(std::make_shared<kxsim::AdapterUsbDevice>(options_)); }

  // The same over a device of the test's own making (one that misbehaves, say).
  void Attach(std::shared_ptr<kxsim::AdapterUsbDevice> device) {
    device_ = std::move(device);
    port_ = std::make_unique<kxsim::SimulatedUsbPort>(device_);
    driver_ = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
    ASSERT_NE(nullptr, driver_);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, port_->Pdo()));
    fdo_ = port_->Pdo()->AttachedDevice;
    bus_ = (BusDeviceContext*)fdo_->DeviceExtension;
  }

  void Detach() {
    if (port_ == nullptr) return;
    EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(port_->Pdo()));
    port_.reset();
    device_.reset();
  }

  // Configured and started, as after a successful start.
  void Start() {
    ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
    SetBusPnpState(bus_, Started);
  }

  kxsim::ScriptedEndpoint* Script(UCHAR endpoint) { return device_->Script(endpoint); }

  kxsim::AdapterUsbOptions options_;
  std::shared_ptr<kxsim::AdapterUsbDevice> device_;
  std::unique_ptr<kxsim::SimulatedUsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  BusDeviceContext* bus_ = nullptr;
};

}  // namespace kxtest
