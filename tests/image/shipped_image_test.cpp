// The shipped KxBusIdd.sys on the host kernel: loaded, its DriverEntry run by the Plug and Play
// manager over the virtual adapter, started, asked control codes, given a display that shows a
// picture, removed and unloaded, with the verifier on throughout. The same scenario runs against
// the driver compiled for the host, and both must answer alike: a difference is a fault of the
// image's build (a layout, a calling convention, code the cross compiler generated) or of the
// boundary between it and the host kernel.
#include <filesystem>
#include <memory>

#include "driver/kxbus.h"
#include "host/hostk/driver_image.h"
#include "host/hostk/registry.h"
#include "sim/adapter/virtual_adapter.h"
#include "sim/display/display_driver.h"
#include "sim/usb/usb_port.h"
#include "support/kernel_test_util.h"
#include "tools/kxsim/libjpeg_peer.h"

namespace kxtest {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr LONG kDisplayId = 7;
constexpr int kWidth = 64;
constexpr int kHeight = 48;

Bytes U32(ULONG value) {
  return {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}

// A display report: identifier, one 8-byte mode, the report word, 512 bytes of display data.
Bytes DisplayReport(LONG id) {
  Bytes report = U32((ULONG)id);
  Bytes rest = {1, 0, 0, 0, 0x78, 0x56, 0, 0};
  report.insert(report.end(), rest.begin(), rest.end());
  for (int i = 0; i < 8 + 512; i++) report.push_back((uint8_t)(i * 7 + 1));
  return report;
}

kxsim::BgrxImage Picture() {
  kxsim::BgrxImage image;
  image.width = kWidth;
  image.height = kHeight;
  image.pixels.resize((size_t)kWidth * kHeight * 4);
  for (int y = 0; y < kHeight; y++) {
    for (int x = 0; x < kWidth; x++) {
      uint8_t* p = &image.pixels[((size_t)y * kWidth + x) * 4];
      p[0] = (uint8_t)(x * 4);
      p[1] = (uint8_t)(y * 5);
      p[2] = (uint8_t)((x + y) * 2);
    }
  }
  return image;
}

struct Reply {
  NTSTATUS status;
  ULONG_PTR information;
  Bytes out;
  bool operator==(const Reply& o) const {
    return status == o.status && information == o.information && out == o.out;
  }
};

std::ostream& operator<<(std::ostream& os, const Reply& reply) {
  os << std::hex << "{status 0x" << (ULONG)reply.status << ", information " << std::dec
     << reply.information << ", out";
  for (uint8_t byte : reply.out) os << " " << std::hex << (int)byte;
  return os << std::dec << "}";
}

enum class BadBuffer { None, RefusedByTheProbe, PagesGone };

// What one run saw, for the comparison between the two builds.
struct Observed {
  NTSTATUS start = STATUS_PENDING;
  std::vector<Reply> replies;
  NTSTATUS setMode = STATUS_PENDING;
  NTSTATUS present = STATUS_PENDING;
  NTSTATUS badPresent = STATUS_PENDING;
  double farPsnr = 0;
  ULONG violations = 0;
  NTSTATUS remove = STATUS_PENDING;
};

class Scenario {
 public:
  explicit Scenario(PDRIVER_INITIALIZE entry) : entry_(entry) {}

  void Plug() {
    adapter_ = std::make_shared<kxsim::VirtualAdapter>();
    port_ = std::make_unique<kxsim::SimulatedUsbPort>(adapter_->Device());
    std::string parameters = hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters";
    hostk::RegistrySetValue(parameters, "Legacy", REG_BINARY, {0});
    hostk::RegistrySetValue(parameters, "DriverModel", REG_BINARY, U32(0));
    hostk::RegistrySetValue(parameters, "LinkByDriver", REG_BINARY, {0});
    PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxBusIdd", entry_);
    ASSERT_NE(nullptr, driver);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver, port_->Pdo()));
    fdo_ = port_->Pdo()->AttachedDevice;
    seen_.start = hostk::PnpStartDevice(port_->Pdo());
  }

  Reply Call(ULONG code, const Bytes& input, ULONG outLength) {
    Bytes out(outLength + 1, 0xEE);
    Reply reply{STATUS_PENDING, 0, {}};
    reply.status = client_.DeviceControl(control_, code, input.empty() ? nullptr : input.data(),
                                         (ULONG)input.size(), outLength ? out.data() : nullptr,
                                         outLength, &reply.information);
    out.resize(std::min<size_t>(reply.information, outLength));
    reply.out = out;
    seen_.replies.push_back(reply);
    return reply;
  }

  void AskTheAdapter() {
    ASSERT_EQ(STATUS_SUCCESS, client_.OpenDevice(fdo_, &control_));
    Call(IOCTL_BUS_GET_INTERFACE_VERSION, {}, 8);
    Call(IOCTL_BUS_GET_ADAPTER_INFO, {}, 16);
    Call(IOCTL_BUS_GET_USB_SPEED, {}, 4);
    Call(IOCTL_BUS_GET_CAPABILITIES, {}, 4);
    Call(IOCTL_BUS_GET_LINK_MODE, {}, 3);  // too short
    Call(IOCTL_BUS_SET_LINK_MODE, U32(1), 0);
    Call(IOCTL_BUS_GET_LINK_MODE, {}, 4);
    Call(IOCTL_BUS_READ_CONFIG_WORD, U32(0), 4);
    Call(0x222AB4, {}, 4);  // a code the driver does not know
    Call(IOCTL_BUS_ATTACH_DISPLAY, DisplayReport(kDisplayId), 0);
    hostk::PnpWaitForEnumeration();
  }

  PDEVICE_OBJECT Child() const {
    for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree()) {
      if (node.depth == 1 && node.state == "Started") return node.pdo;
    }
    return nullptr;
  }

  void ShowAPicture() {
    PDEVICE_OBJECT child = Child();
    ASSERT_NE(nullptr, child) << "the attached display has no started child";
    kxsim::BgrxImage picture = Picture();
    {
      kxsim::SimulatedDisplayDriver display(child);
      seen_.setMode = display.SetMode(kWidth, kHeight);
      seen_.present = display.Present(picture.pixels.data(), kWidth, kHeight, 0, 0, kWidth,
                                      kHeight);
      Sleep(kSecond);
    }
    if (auto far = adapter_->Display(kDisplayId)) seen_.farPsnr = kxsim::Psnr(picture, far->rgb);
  }

  // A present whose pixel buffer the caller cannot read: the probe raises inside the driver's
  // exception guard, which answers with the exception's code. Or one whose descriptor's page is
  // gone after the probe let it through: the copy faults inside the guard.
  void PresentFromABadBuffer(BadBuffer bad) {
    PDEVICE_OBJECT child = Child();
    ASSERT_NE(nullptr, child);
    Bytes bytes = kxsim::UpdateDescriptorBytes(0, 0, 8, 8, 0, kWidth * 4, kWidth * kHeight * 4);
    hostk::UserBuffer descriptor(bytes.size());
    std::copy(bytes.begin(), bytes.end(), descriptor.Data());
    hostk::UserBuffer pixels(kWidth * kHeight * 4);
    if (bad == BadBuffer::RefusedByTheProbe) pixels.Protect(false, false);
    if (bad == BadBuffer::PagesGone) descriptor.DropPages();
    seen_.badPresent = kxsim::DisplayIoctl(child, IOCTL_DISPLAY_PRESENT, descriptor.Data(),
                                           (ULONG)bytes.size(), pixels.Data(),
                                           kWidth * kHeight * 4);
  }

  void Unplug() {
    if (control_ != nullptr) {
      EXPECT_EQ(STATUS_SUCCESS, client_.Close(control_));
    }
    control_ = nullptr;
    seen_.violations = adapter_->ViolationTotal();
    seen_.remove = hostk::PnpRemoveDevice(port_->Pdo());
    port_.reset();
    adapter_.reset();
  }

  const Observed& Seen() const { return seen_; }

 private:
  PDRIVER_INITIALIZE entry_;
  std::shared_ptr<kxsim::VirtualAdapter> adapter_;
  std::unique_ptr<kxsim::SimulatedUsbPort> port_;
  PDEVICE_OBJECT fdo_ = nullptr;
  hostk::Client client_;
  HANDLE control_ = nullptr;
  Observed seen_;
};

class ShippedImage : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(KX_KERNEL_IMAGE)) {
      GTEST_SKIP() << "no kernel image at " << KX_KERNEL_IMAGE
                   << ": build it first with ./kx build windows-x86-kernel";
    }
    std::string error;
    image_ = hostk::LoadDriverImage(KX_KERNEL_IMAGE, &error);
    ASSERT_NE(nullptr, image_) << error;
  }
  void TearDown() override {
    if (image_ != nullptr) hostk::UnloadDriverImage(image_);
  }

  // The whole scenario on one build of the driver.
  static Observed Run(PDRIVER_INITIALIZE entry, BadBuffer bad) {
    Scenario scenario(entry);
    scenario.Plug();
    if (!testing::Test::HasFatalFailure()) scenario.AskTheAdapter();
    if (!testing::Test::HasFatalFailure()) scenario.ShowAPicture();
    if (bad != BadBuffer::None && !testing::Test::HasFatalFailure()) {
      scenario.PresentFromABadBuffer(bad);
    }
    scenario.Unplug();
    return scenario.Seen();
  }

  hostk::DriverImage* image_ = nullptr;
};

TEST_F(ShippedImage, RunsTheAdapterAndADisplayAsTheHostBuildDoes) {
  Observed image = Run(hostk::DriverImageEntry(image_), BadBuffer::None);
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(STATUS_SUCCESS, image.start);
  EXPECT_EQ(STATUS_SUCCESS, image.setMode);
  EXPECT_EQ(STATUS_SUCCESS, image.present);
  EXPECT_GT(image.farPsnr, 30.0) << "the far side shows the picture the image encoded";
  EXPECT_EQ(0u, image.violations);
  EXPECT_EQ(STATUS_SUCCESS, image.remove);
  ASSERT_EQ(10u, image.replies.size());
  EXPECT_EQ(STATUS_SUCCESS, image.replies[5].status) << "link mode 1";
  EXPECT_EQ(U32(1), image.replies[6].out);

  Observed host = Run(DriverEntry, BadBuffer::None);
  ASSERT_EQ(host.replies.size(), image.replies.size());
  for (size_t i = 0; i < host.replies.size(); i++) {
    EXPECT_EQ(host.replies[i], image.replies[i]) << "control code #" << i;
  }
  EXPECT_EQ(host.start, image.start);
  EXPECT_NEAR(host.farPsnr, image.farPsnr, 0.01) << "the same encoder, the same stream";
}

TEST_F(ShippedImage, AnswersABadUserBufferThroughItsOwnExceptionGuard) {
  for (BadBuffer bad : {BadBuffer::RefusedByTheProbe, BadBuffer::PagesGone}) {
    SCOPED_TRACE(bad == BadBuffer::PagesGone ? "the copy faults" : "the probe raises");
    uint64_t dispatched = hostk::ImageExceptionsDispatched();
    Observed image = Run(hostk::DriverImageEntry(image_), bad);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, image.badPresent);
    EXPECT_EQ(dispatched + 1, hostk::ImageExceptionsDispatched())
        << "the exception went to the image's handler through fs:[0]";
    EXPECT_EQ(0u, hostk::MdlLiveCount());
    EXPECT_EQ(STATUS_SUCCESS, image.remove);
  }
}

}  // namespace
}  // namespace kxtest
