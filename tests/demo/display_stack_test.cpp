// The display stack's side of the desk against the driver: the adapter client's control codes
// change what the driver does, a display report goes in and comes back out of the child as the
// description the display driver reads, the driver's surface, and the desk's wait for an idle
// worker.
#include <gtest/gtest.h>

#include "host/hostk/pnp.h"
#include "sim/display/adapter_client.h"
#include "sim/display/display_report.h"
#include "tools/kxsim/adapter_session.h"
#include "tools/kxsim/demo_desk.h"
#include "tools/kxsim/far_side_check.h"

namespace kxtest {
namespace {

using kxsim::DisplayModeEntry;

DisplayModeEntry Mode(USHORT width, USHORT height) {
  DisplayModeEntry mode;
  mode.width = width;
  mode.height = height;
  return mode;
}

bool SameModes(const std::vector<DisplayModeEntry>& a, const std::vector<DisplayModeEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (a[i].width != b[i].width || a[i].height != b[i].height ||
        a[i].refreshHz != b[i].refreshHz || a[i].bitsPerPixel != b[i].bitsPerPixel) {
      return false;
    }
  }
  return true;
}

// The started children of the adapter, by their device identifier's display number.
PDEVICE_OBJECT ChildNamed(const std::string& hardwareId) {
  hostk::PnpWaitForEnumeration();
  for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree()) {
    if (!node.hardwareIds.empty() && node.hardwareIds[0] == hardwareId) return node.pdo;
  }
  return nullptr;
}

TEST(DisplayStack, TheClientSteersTheAdapterAndAReportComesBackAsTheDescription) {
  kxsim::AdapterSession session;
  kxsim::SessionOptions options;
  options.parameters = {{"DriverModel", {0, 0, 0, 0}}, {"LinkByDriver", {0}}};
  std::string error;
  ASSERT_TRUE(session.Plug(options, &error)) << error;
  kxsim::AdapterClient client;
  ASSERT_EQ(STATUS_SUCCESS, client.Open());
  EXPECT_TRUE(client.Extended());

  ASSERT_EQ(STATUS_SUCCESS, client.SetCompression(40, 1));
  EXPECT_EQ(40, session.Bus()->Quality);
  EXPECT_EQ(1, session.Bus()->Sampling);
  EXPECT_EQ(1, session.Bus()->EnableJpeg);
  ULONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, client.GetUsbSpeed(&value));
  EXPECT_EQ(1u, value) << "the adapter's default is high speed";
  EXPECT_EQ(STATUS_UNSUCCESSFUL, client.AttachDisplay({1})) << "attaching needs link mode 1";
  ASSERT_EQ(STATUS_SUCCESS, client.SetLinkMode(1));
  ASSERT_EQ(STATUS_SUCCESS, client.GetLinkMode(&value));
  EXPECT_EQ(1u, value);

  std::vector<DisplayModeEntry> modes = {Mode(800, 600), Mode(640, 480)};
  modes[1].refreshHz = 75;
  ASSERT_EQ(STATUS_SUCCESS, client.AttachDisplay(kxsim::BuildDisplayReport(7, modes, "seven")));
  PDEVICE_OBJECT child = ChildNamed("Kestrelix\\DisplayIDD07");
  ASSERT_NE(nullptr, child);
  {
    kxsim::SimulatedDisplayDriver driver(child);
    std::vector<uint8_t> description;
    ASSERT_EQ(STATUS_SUCCESS, driver.ReadDescription(&description));
    EXPECT_EQ(7, kxsim::DescriptionDisplayId(description));
    EXPECT_TRUE(SameModes(modes, kxsim::DescriptionModes(description)));
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, driver.PresentSurface(0, 0, 16, 16))
        << "no surface yet";
  }
  ASSERT_EQ(STATUS_SUCCESS, client.DetachDisplay(7));
  EXPECT_EQ(nullptr, ChildNamed("Kestrelix\\DisplayIDD07"));
}

TEST(DisplayStack, WithoutAnAdapterThereIsNothingToOpen) {
  kxsim::AdapterClient client;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client.Open());
  EXPECT_EQ(STATUS_INVALID_HANDLE, client.SetLinkMode(1));
}

TEST(DisplayReport, FieldsLieWhereTheDriverReadsThem) {
  std::vector<uint8_t> report =
      kxsim::BuildDisplayReport(0x01020304, {Mode(0x0780, 0x0438)}, "desk", 0xBEEF);
  ASSERT_EQ(12u + 8 + 512, report.size());
  EXPECT_EQ((std::vector<uint8_t>{4, 3, 2, 1, 1, 0, 0, 0, 0xEF, 0xBE, 0, 0, 0x80, 7, 0x38, 4, 60,
                                  0, 32, 0, 'd', 'e', 's', 'k', 0}),
            std::vector<uint8_t>(report.begin(), report.begin() + 25));
}

// A description that claims more modes than it holds gives none rather than reading past it.
TEST(DisplayReport, ADescriptionShorterThanItsCountGivesNoModes) {
  std::vector<uint8_t> description(kxsim::kDescriptionModesOffset + 4 + 8, 0);
  description[kxsim::kDescriptionModesOffset] = 1;
  description[kxsim::kDescriptionModesOffset + 4] = 0x20;
  ASSERT_EQ(1u, kxsim::DescriptionModes(description).size());
  EXPECT_EQ(0x20, kxsim::DescriptionModes(description)[0].width);
  description[kxsim::kDescriptionModesOffset] = 2;
  EXPECT_TRUE(kxsim::DescriptionModes(description).empty());
  description.resize(100);
  EXPECT_TRUE(kxsim::DescriptionModes(description).empty());
}

// The desk calls the worker idle only once nothing is pending: a frame-data transfer that the
// device answers two seconds late keeps it waiting, and after it the far side is up to date.
TEST(Desk, TheWorkerIsIdleOnlyOnceEveryTransferHasEnded) {
  kxsim::DemoOptions options;
  kxsim::VirtualDesk desk;
  std::string error;
  ASSERT_TRUE(desk.Plug(options, &error)) << error;
  ASSERT_TRUE(desk.AttachDisplays({Mode(640, 480)}, &error)) << error;
  ASSERT_EQ(1u, desk.Displays().size());
  kxsim::DeskDisplay& display = desk.Displays()[0];
  EXPECT_EQ(1, display.id);
  ASSERT_TRUE(desk.WaitUntilIdle(kxsim::kOneSecond)) << "the mode went out";

  kxsim::Fill(display.surface, {100, 50, 300, 200}, kxsim::Rgb(200, 30, 60));
  desk.Session().Port().InjectFault(0x01, kxsim::UsbFault::Delay(2 * kxsim::kOneSecond).Times(1));
  ASSERT_EQ(STATUS_SUCCESS, display.driver->PresentSurface(0, 0, 640, 480));
  EXPECT_FALSE(desk.WaitUntilIdle(kxsim::kOneSecond));
  EXPECT_EQ(0u, desk.Session().Adapter().Rectangles());
  ASSERT_TRUE(desk.WaitUntilIdle(5 * kxsim::kOneSecond));
  EXPECT_EQ(1u, desk.Session().Adapter().Rectangles());
  std::optional<kxsim::FarDisplayState> far = desk.Session().Adapter().Display(1);
  ASSERT_TRUE(far.has_value());
  EXPECT_EQ(0u, kxsim::CompareFarSide(kxsim::Snapshot(display.surface), far->rgb, 75, 3)
                    .staleBlocks);
  EXPECT_TRUE(desk.Unplug(&error)) << error;
}

}  // namespace
}  // namespace kxtest
