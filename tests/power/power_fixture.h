// The adapter started on the virtual adapter under the Plug and Play and power managers, with two
// display outputs streaming, and what the USB stack below saw of power.
#pragma once

#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/pnp.h"
#include "host/hostk/power.h"
#include "pipeline_fixture.h"

namespace kxtest {

class PowerTest : public PipelineTest {
 protected:
  static constexpr int kWidth = 320;
  static constexpr int kHeight = 240;

  PDEVICE_OBJECT Announce(LONG displayId) {
    std::vector<uint8_t> report(12 + 8 + 512, 0);
    for (int i = 0; i < 4; i++) report[i] = (uint8_t)((ULONG)displayId >> (8 * i));
    report[4] = 1;
    EXPECT_EQ(STATUS_SUCCESS, CreateDisplayChild(bus_, report.data(), (ULONG)report.size()));
    hostk::PnpWaitForEnumeration();
    return CONTAINING_RECORD(bus_->Children.Blink, ChildDeviceContext, Link)->Header.Self;
  }
  static kxsim::BgrxImage Picture(int output, int round) {
    return SyntheticDesktop(kWidth, kHeight, 1 + output + 10 * round);
  }
  void PresentRound(int round) {
    EXPECT_EQ(STATUS_SUCCESS, PresentWhole(outputs_[0], Picture(0, round)));
    EXPECT_EQ(STATUS_SUCCESS, PresentWhole(outputs_[1], Picture(1, round)));
  }
  // Both far-side displays show the pictures of `round`.
  void ExpectShown(int round) {
    EXPECT_GT(FarPsnr(1, Picture(0, round)), 30.0) << "round " << round;
    EXPECT_GT(FarPsnr(2, Picture(1, round)), 30.0) << "round " << round;
  }
  void StreamTwo() {
    outputs_[0] = Announce(1);
    outputs_[1] = Announce(2);
    for (int i = 0; i < 2; i++) {
      ASSERT_EQ(STATUS_SUCCESS, SetMode(outputs_[i], kWidth, kHeight));
    }
    PresentRound(0);
    Settle();
    ExpectShown(0);
  }
  bool InterfaceEnabled() {
    if (bus_->InterfaceName.Buffer == nullptr) return false;
    GUID extended;
    hostk::GuidFromString("{CF507BAA-C6C8-414F-9312-A3E0C2C4D858}", &extended);
    return !hostk::IoEnabledDeviceInterfaces(extended).empty();
  }
  // The power requests the USB stack received since the last call, as "Q S3", "S D0", "W S3".
  std::vector<std::string> TakePowerRequests() {
    std::vector<kxsim::UsbPowerRequest> all = port_->PowerRequests();
    std::vector<std::string> lines;
    for (size_t i = seen_; i < all.size(); i++) {
      const kxsim::UsbPowerRequest& request = all[i];
      if (request.minor == IRP_MN_WAIT_WAKE) {
        lines.push_back("W S" + std::to_string(request.state.SystemState - 1));
        continue;
      }
      bool system = request.type == SystemPowerState;
      int state = system ? request.state.SystemState - 1 : request.state.DeviceState - 1;
      lines.push_back(std::string(request.minor == IRP_MN_QUERY_POWER ? "Q " : "S ") +
                      (system ? "S" : "D") + std::to_string(state));
    }
    seen_ = all.size();
    return lines;
  }
  ChildDeviceContext* Child(int output) {
    return (ChildDeviceContext*)outputs_[output]->DeviceExtension;
  }

  PDEVICE_OBJECT outputs_[2] = {};
  size_t seen_ = 0;
};

using Requests = std::vector<std::string>;

}  // namespace kxtest
