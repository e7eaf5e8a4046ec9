// A loaded driver with one adapter added over a plain bus device, and a client to open handles on
// it. Tests of later layers read as scenarios on top of this.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/kxbus.h"
#include "support/kernel_test_util.h"

namespace kxtest {

class AdapterFixture : public testing::Test {
 protected:
  void SetUp() override {
    LoadDriver();
    pdo_ = hostk::PnpCreatePlainBusDevice();
    // The device under the adapter stands in for a USB hub's port, whose physical device object
    // is pageable: the adapter's pageable function device may not sit above one that is not.
    pdo_->Flags |= DO_POWER_PAGABLE;
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, pdo_));
    fdo_ = pdo_->AttachedDevice;
    bus_ = (BusDeviceContext*)fdo_->DeviceExtension;
  }

  void TearDown() override {
    client_.reset();
    if (fdo_ != nullptr) {
      EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(pdo_));
    }
    hostk::PnpDeletePlainBusDevice(pdo_);
  }

  void LoadDriver() {
    driver_ = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
    ASSERT_NE(nullptr, driver_);
  }

  // The path of a key below the driver's service key ("" for the service key itself).
  static std::string KeyPath(const std::string& subkey = "") {
    std::string path = hostk::ServiceKeyPath("KxBusIdd");
    return subkey.empty() ? path : path + "\\" + subkey;
  }
  static void SetParameter(const std::string& name, std::vector<uint8_t> bytes) {
    hostk::RegistrySetValue(KeyPath("Parameters"), name, REG_BINARY, bytes);
  }

  // Until the adapter's start sequence exists, a test puts it into the started state itself.
  void MarkStarted() { SetBusPnpState(bus_, Started); }

  NTSTATUS Open(HANDLE* handle, const std::string& fileName = "") {
    return client().OpenDevice(fdo_, handle, fileName);
  }
  ULONG SelectorOf(HANDLE handle) {
    return (ULONG)(ULONG_PTR)client().FileObjectOf(handle)->FsContext;
  }
  hostk::Client& client() {
    if (!client_) client_ = std::make_unique<hostk::Client>();
    return *client_;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  BusDeviceContext* bus_ = nullptr;
  std::unique_ptr<hostk::Client> client_;
};

}  // namespace kxtest
