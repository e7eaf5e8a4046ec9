// Every result code on its cause, the output limits, and working memory on every path.
#include <gtest/gtest.h>

#include "host/hostk.h"
#include "jpeg_test_support.h"

namespace jpegtest {
namespace {

constexpr LONG kUntouched = 0x5A5A;

class JpegResultCodes : public testing::Test {
 protected:
  JpegResultCodes() : image_(SyntheticImage(40, 24, 11)), output_(1 << 16) {
    params_.Width = image_.width;
    params_.Height = image_.height;
    params_.Channels = 4;
    params_.Source = image_.bgrx.data();
    params_.SourcePitch = image_.width * 4;
    params_.Quality = 75;
    params_.Sampling = 3;
    params_.Output = output_.data();
    params_.OutputCapacity = LONG(output_.size());
    params_.OutputLength = kUntouched;
  }
  LONG Run() { return JpegEncodeFrame(&params_); }

  Image image_;
  std::vector<uint8_t> output_;
  JpegEncodeParams params_{};
};

TEST_F(JpegResultCodes, ArgumentsAreCheckedInOrder) {
  auto with = [this](auto change) {
    JpegEncodeParams saved = params_;
    change(params_);
    LONG result = Run();
    EXPECT_EQ(kUntouched, params_.OutputLength);
    params_ = saved;
    return result;
  };
  EXPECT_EQ(JpegResultBadArgument, with([](JpegEncodeParams& p) { p.Output = nullptr; }));
  EXPECT_EQ(JpegResultBadArgument, with([](JpegEncodeParams& p) { p.Source = nullptr; }));
  EXPECT_EQ(JpegResultBadSize, with([](JpegEncodeParams& p) { p.Channels = 2; }));
  EXPECT_EQ(JpegResultBadSize, with([](JpegEncodeParams& p) { p.Channels = 5; }));
  EXPECT_EQ(JpegResultBadSize, with([](JpegEncodeParams& p) { p.Width = 7; }));
  EXPECT_EQ(JpegResultBadSize, with([](JpegEncodeParams& p) { p.Height = 7; }));
  EXPECT_EQ(JpegResultBadArgument, with([](JpegEncodeParams& p) { p.Sampling = 4; }));
  EXPECT_EQ(JpegResultBadArgument, with([](JpegEncodeParams& p) { p.Sampling = -1; }));
  EXPECT_EQ(JpegResultBadSize, with([](JpegEncodeParams& p) {
              p.Channels = 2;
              p.Sampling = 4;
            })) << "sizes are checked before the sampling code";
  EXPECT_EQ(JpegResultBadArgument, with([](JpegEncodeParams& p) {
              p.Source = nullptr;
              p.Width = 7;
            })) << "pointers are checked first";
}

// Sizes the frame header or 32-bit arithmetic cannot carry are refused before any allocation
// (the armed allocation failure would otherwise turn the result into -5).
TEST_F(JpegResultCodes, SizesBeyondTheStreamAreRefusedBeforeAllocating) {
  auto refused = [this](auto change) {
    JpegEncodeParams saved = params_;
    change(params_);
    uint64_t failedBefore = hostk::PoolFailedCount();
    hostk::PoolFailNth(1);
    LONG result = Run();
    hostk::PoolClearFaults();
    EXPECT_EQ(failedBefore, hostk::PoolFailedCount()) << "nothing was allocated";
    params_ = saved;
    return result;
  };
  EXPECT_EQ(JpegResultBadSize, refused([](JpegEncodeParams& p) { p.Width = 65536; }));
  EXPECT_EQ(JpegResultBadSize, refused([](JpegEncodeParams& p) { p.Height = 70000; }));
  EXPECT_EQ(JpegResultBadSize, refused([](JpegEncodeParams& p) { p.Width = -16; }));
  EXPECT_EQ(JpegResultBadSize, refused([](JpegEncodeParams& p) { p.OutputCapacity = -1; }));
  EXPECT_EQ(JpegResultBadSize, refused([](JpegEncodeParams& p) { p.SourcePitch = 0x10000000; }));
  EXPECT_EQ(JpegResultBadSize, refused([](JpegEncodeParams& p) { p.SourcePitch = -0x10000000; }));
}

// A quality beyond either end is that end: the stream is the one of 0 or of 100 to the byte
// (above about nine million the unlimited table scaling would overflow a signed integer).
TEST_F(JpegResultCodes, QualityOutsideZeroToHundredIsLimited) {
  auto stream = [this](LONG quality) {
    params_.Quality = quality;
    EXPECT_EQ(JpegResultOk, Run()) << quality;
    return std::vector<uint8_t>(output_.begin(), output_.begin() + params_.OutputLength);
  };
  std::vector<uint8_t> lowest = stream(0), highest = stream(100);
  ASSERT_NE(lowest, highest);
  EXPECT_EQ(lowest, stream(-1));
  EXPECT_EQ(lowest, stream(-2147483647 - 1));
  EXPECT_EQ(highest, stream(101));
  EXPECT_EQ(highest, stream(9000000));
  EXPECT_EQ(highest, stream(2147483647));
}

// 65535 is what the frame header carries; libjpeg-turbo itself decodes up to 65500.
TEST(JpegLimits, WidestRectanglesFitTheFrameHeader) {
  Encoded widest = Encode(SyntheticImage(65535, 8, 12), 50, 3);
  ASSERT_EQ(JpegResultOk, widest.result);
  Marker frame = ParseMarkers(widest.bytes)[5];
  ASSERT_EQ(0xC0, frame.code);
  EXPECT_EQ(0xFF, widest.bytes[frame.offset + 7]);
  EXPECT_EQ(0xFF, widest.bytes[frame.offset + 8]);

  Encoded wide = Encode(SyntheticImage(65500, 9, 13), 50, 1);
  ASSERT_EQ(JpegResultOk, wide.result);
  Decoded decoded = Decode(wide.bytes);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(0, decoded.warnings) << decoded.lastWarning;
  EXPECT_EQ(65500, decoded.width);
}

TEST_F(JpegResultCodes, OutputTooSmallForTheHeaderOrTheScan) {
  ASSERT_EQ(JpegResultOk, Run());
  std::vector<uint8_t> full(output_.begin(), output_.begin() + params_.OutputLength);
  size_t header = ParseMarkers(full)[11].offset;  // everything before SOS
  ASSERT_EQ(672u, header);

  params_.OutputLength = kUntouched;
  params_.OutputCapacity = 100;
  EXPECT_EQ(JpegResultHeaderFailed, Run());
  params_.OutputCapacity = LONG(header) - 1;
  EXPECT_EQ(JpegResultHeaderFailed, Run());
  params_.OutputCapacity = LONG(header);
  EXPECT_EQ(JpegResultScanFailed, Run());
  EXPECT_TRUE(std::equal(full.begin(), full.begin() + header, output_.begin()));
  params_.OutputCapacity = LONG(full.size()) - 1;
  EXPECT_EQ(JpegResultScanFailed, Run()) << "one byte short of EOI";
  EXPECT_EQ(kUntouched, params_.OutputLength);

  params_.OutputCapacity = LONG(full.size());
  EXPECT_EQ(JpegResultOk, Run()) << "an exact fit";
  EXPECT_EQ(LONG(full.size()), params_.OutputLength);
}

// The three allocations in their order: the encoder (-5), the Huffman tables (-10), the working
// memory of the header (-3). The test main fails the test if any of them leaks.
TEST_F(JpegResultCodes, EachAllocationFailureHasItsCode) {
  const LONG expected[] = {JpegResultNoEncoder, JpegResultBadArgument, JpegResultHeaderFailed};
  for (int n = 1; n <= 3; n++) {
    hostk::PoolFailNth(n);
    EXPECT_EQ(expected[n - 1], Run()) << "allocation " << n;
    hostk::PoolClearFaults();
    EXPECT_EQ(0u, hostk::PoolLiveCount());
  }
  hostk::PoolFailNth(4);
  EXPECT_EQ(JpegResultOk, Run()) << "three allocations in all";
  hostk::PoolClearFaults();

  hostk::PoolFailTag(hostk::PoolTag("KMOD"));
  EXPECT_EQ(JpegResultNoEncoder, Run()) << "working memory carries the tag KMOD";
  hostk::PoolClearFaults();
}

}  // namespace
}  // namespace jpegtest
