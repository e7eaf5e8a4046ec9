// The demo's command line, how it shares the frames among the scenes, and the plot's buckets.
#include <gtest/gtest.h>

#include <numeric>

#include "tools/kxsim/demo_options.h"
#include "tools/kxsim/demo_plot.h"
#include "tools/kxsim/demo_run.h"

namespace kxtest {
namespace {

using kxsim::DemoOptions;

bool Parse(std::vector<std::string> args, DemoOptions* options, std::string* error = nullptr) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  std::string ignored;
  bool help = false;
  return kxsim::ParseDemoOptions(int(argv.size()), argv.data(), options,
                                 error != nullptr ? error : &ignored, &help);
}

TEST(DemoOptions, EveryOptionIsTaken) {
  DemoOptions options;
  ASSERT_TRUE(Parse({"--displays", "3", "--scene", "video", "--scene", "typing", "--seconds",
                     "1.5", "--usb", "high", "-q", "60", "-s", "1", "--attach", "control-code",
                     "--capture", "c.pcap", "--out", "there", "--seed", "0x10"},
                    &options));
  EXPECT_EQ(3, options.displays);
  EXPECT_EQ((std::vector<std::string>{"video", "typing"}), kxsim::DemoScenes(options));
  EXPECT_DOUBLE_EQ(1.5, options.seconds);
  EXPECT_EQ(kxsim::UsbSpeed::High, options.usb);
  EXPECT_EQ(60, options.quality);
  EXPECT_EQ(1, options.sampling);
  EXPECT_EQ(kxsim::AttachPath::ControlCode, options.attach);
  EXPECT_EQ("c.pcap", options.capturePath);
  EXPECT_EQ("there", options.outDir);
  EXPECT_EQ(16u, options.seed);
}

TEST(DemoOptions, NothingGivenIsTheIssuedDesk) {
  DemoOptions options;
  ASSERT_TRUE(Parse({}, &options));
  EXPECT_EQ(2, options.displays);
  EXPECT_EQ((std::vector<std::string>{"typing", "drag", "scroll", "video", "corpus"}),
            kxsim::DemoScenes(options));
  EXPECT_EQ(kxsim::UsbSpeed::Super, options.usb);
  EXPECT_EQ(kxsim::AttachPath::FarSide, options.attach);
}

TEST(DemoOptions, BadValuesAreRefusedByName) {
  const std::vector<std::vector<std::string>> kBad = {
      {"--displays", "0"}, {"--displays", "11"}, {"--scene", "spreadsheet"},
      {"--seconds", "0"},  {"--seconds", "-1"},  {"--seconds", "1s"},
      {"--usb", "low"},    {"-q", "101"},        {"-s", "4"},
      {"--attach", "usb"}, {"--seed", "-3"},     {"--out", ""},
      {"--displays"},      {"stray"},            {"--frames", "3"}};
  for (const auto& args : kBad) {
    DemoOptions options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error)) << args[0];
    EXPECT_NE(std::string::npos, error.find(args[0])) << error;
  }
}

TEST(DemoRun, FramesAreSharedInOrderWithTheRemainderFirst) {
  EXPECT_EQ((std::vector<int>{120, 120, 120, 120, 120}), kxsim::ShareFrames(600, 5));
  EXPECT_EQ((std::vector<int>{13, 12, 12, 12, 12}), kxsim::ShareFrames(61, 5));
  EXPECT_EQ((std::vector<int>{1, 1, 1}), kxsim::ShareFrames(2, 3)) << "every scene is shown";
}

// Whatever the samples' spacing, the buckets hold every byte once.
TEST(DemoPlot, BucketsKeepEveryByte) {
  std::vector<kxsim::WireSample> samples = {
      {0, 0}, {1000000, 5000000}, {1000000, 5000100}, {7000000, 9000000}, {26000000, 9500000}};
  std::vector<kxsim::RateBucket> buckets = kxsim::WireRates(samples);
  ASSERT_FALSE(buckets.empty());
  double bytes = 0;
  for (const kxsim::RateBucket& bucket : buckets) bytes += bucket.bytesPerSecond * bucket.seconds;
  EXPECT_NEAR(9500000.0, bytes, 1.0);
  EXPECT_NEAR(2.6, buckets.back().start + buckets.back().seconds, 1e-9);
  // The first quarter second: 5 MB, then 100 bytes at one moment, then a quarter of the 3999900
  // bytes spread over 0.1 to 0.7 s.
  EXPECT_NEAR((5000000.0 + 100 + 3999900.0 * 0.15 / 0.6) / 0.25, buckets[0].bytesPerSecond, 1.0);
}

}  // namespace
}  // namespace kxtest
