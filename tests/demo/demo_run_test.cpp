// The demo on the driver, short: displays attach (announced by the far side, or by the display
// stack's attach code), every scene is presented through the children, and what each far side
// shows at the end is checked against the source.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "sim/display/canvas.h"
#include "tools/kxsim/demo_run.h"
#include "tools/kxsim/libjpeg_peer.h"

namespace kxtest {
namespace {

// Two small pictures stand in for the corpus, for the slide show and the windows' pictures.
kxsim::ScenePictures Pictures() {
  kxsim::ScenePictures pictures;
  for (int p = 0; p < 2; p++) {
    kxsim::BgrxImage picture;
    picture.width = 320;
    picture.height = 180;
    picture.pixels.assign(size_t(320) * 180 * 4, 0);
    kxsim::Canvas canvas = kxsim::CanvasOf(&picture);
    kxsim::FillGradient(canvas, canvas.Bounds(), kxsim::Rgb(30, 90 * p, 200),
                        kxsim::Rgb(240, 200, 40 * p));
    kxsim::Fill(canvas, {40, 40, 120, 100}, kxsim::Rgb(250, 250, 250));
    pictures.push_back(picture);
  }
  return pictures;
}

std::string Faults(const kxsim::DemoResult& result) {
  std::string text;
  for (const std::string& line : result.failures) text += line + "\n";
  for (const std::string& line : result.violationDetails) text += line + "\n";
  return text + result.leaks;
}

TEST(DemoRun, OneSecondOnTwoDisplaysShowsWhatWasPresented) {
  kxsim::DemoOptions options;
  options.seconds = 1;
  kxsim::DemoResult result;
  ASSERT_TRUE(kxsim::RunDemo(options, Pictures(), false, &result)) << Faults(result);
  EXPECT_TRUE(result.Clean()) << Faults(result);
  EXPECT_EQ(2u, result.driverUsbSpeed) << "the driver saw a SuperSpeed adapter";

  ASSERT_EQ(2u, result.displays.size());
  for (size_t d = 0; d < 2; d++) {
    const kxsim::DisplayResult& display = result.displays[d];
    SCOPED_TRACE(display.instancePath);
    EXPECT_EQ(LONG(d + 1), display.id);
    EXPECT_EQ(kxsim::DemoDisplayMode(int(d)).width, display.width);
    EXPECT_EQ(kxsim::DemoDisplayMode(int(d)).height, display.height);
    EXPECT_EQ(0u, display.instancePath.find("Kestrelix\\DisplayIDD0" + std::to_string(d + 1)))
        << "a child the Plug and Play manager enumerated";
    EXPECT_GT(display.presents, 5u * 5) << "five scenes, each changing more than once";
    EXPECT_GT(display.rectanglesSent, 0u);
    // The far side against the source, judged apart from the demo's own check.
    ASSERT_EQ(display.presented.pixels.size() / 4 * 3, display.farRgb.size());
    EXPECT_GT(kxsim::Psnr(display.presented, display.farRgb), 30.0);
    EXPECT_EQ(0u, display.staleBlocks);
    EXPECT_TRUE(display.lastCheck.ok);
  }

  ASSERT_EQ(5u, result.scenes.size());
  int frames = 0;
  for (const kxsim::SceneResult& scene : result.scenes) {
    frames += scene.frames;
    EXPECT_GT(scene.wireBytes, 0u) << scene.name;
    EXPECT_GE(scene.endTime - scene.startTime, LONGLONG(scene.frames) * 10000000 / 60)
        << scene.name << " ran its frames on the virtual clock";
  }
  EXPECT_EQ(60, frames);
  for (size_t i = 1; i < result.samples.size(); i++) {
    ASSERT_GE(result.samples[i].time, result.samples[i - 1].time);
    ASSERT_GE(result.samples[i].bytes, result.samples[i - 1].bytes);
  }
  EXPECT_NE(std::string::npos, result.registry.find("\"LinkMode\"=hex:01,00,00,00"))
      << result.registry;
}

// At full speed the link cannot keep up with a video: the worker merges what queued up while it
// sent, and the far side still ends with the last frame.
TEST(DemoRun, AttachedByControlCodeAtFullSpeedWithACapture) {
  kxsim::DemoOptions options;
  options.seconds = 0.5;
  options.displays = 1;
  options.scenes = {"typing", "video"};
  options.usb = kxsim::UsbSpeed::Full;
  options.attach = kxsim::AttachPath::ControlCode;
  options.capturePath = testing::TempDir() + "demo-run-test.pcap";
  std::remove(options.capturePath.c_str());
  kxsim::DemoResult result;
  ASSERT_TRUE(kxsim::RunDemo(options, Pictures(), false, &result)) << Faults(result);
  EXPECT_TRUE(result.Clean()) << Faults(result);
  EXPECT_EQ(0u, result.driverUsbSpeed);
  ASSERT_EQ(1u, result.displays.size());
  EXPECT_GT(kxsim::Psnr(result.displays[0].presented, result.displays[0].farRgb), 30.0);

  ASSERT_EQ(2u, result.scenes.size());
  const kxsim::SceneResult& video = result.scenes[1];
  EXPECT_LT(video.rectanglesSent, video.presents) << "presents merged while the link was busy";
  double seconds = double(video.endTime - video.startTime) / 1e7;
  EXPECT_GT(kxsim::WireSeconds(kxsim::UsbSpeed::Full, video.wireBytes), 0.9 * seconds)
      << "the link was busy nearly all the time: the worker always had a rectangle waiting";

  std::ifstream capture(options.capturePath, std::ios::binary);
  std::vector<uint8_t> header(24);
  ASSERT_TRUE(capture.read(reinterpret_cast<char*>(header.data()), 24));
  EXPECT_EQ((std::vector<uint8_t>{0xD4, 0xC3, 0xB2, 0xA1}),
            std::vector<uint8_t>(header.begin(), header.begin() + 4));
  EXPECT_EQ(249, header[20]) << "USBPcap";
  capture.seekg(0, std::ios::end);
  EXPECT_GT(size_t(capture.tellg()), size_t(result.wireBytes)) << "every byte sent is in it";
}

}  // namespace
}  // namespace kxtest
