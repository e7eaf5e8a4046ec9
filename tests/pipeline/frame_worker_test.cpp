// The pipeline end to end on the virtual adapter: modes, presents and stops sent on a child reach
// the far-side displays as the adapter's protocol has them.
#include <algorithm>

#include "pipeline_fixture.h"
#include "sim/adapter/jpeg_decoder.h"
#include "support/tested_driver.h"
#include "tools/kxsim/far_side_check.h"

namespace kxtest {
namespace {

class FramePipeline : public PipelineTest {
 protected:
  void SetUp() override { Plug(); }
};

TEST_F(FramePipeline, AWholeImageReachesTheFarSide) {
  PDEVICE_OBJECT child = AddChild(0, 5);
  kxsim::BgrxImage image = SyntheticDesktop(320, 200, 1);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 320, 200));
  auto display = adapter_->Display(5);
  ASSERT_TRUE(display.has_value());
  EXPECT_EQ(320, display->mode.width);  // the first mode goes from the caller, at once
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  EXPECT_GT(FarPsnr(5, image), 30.0);
  EXPECT_EQ(1u, adapter_->Rectangles());
  ExpectNoViolations();
}

TEST_F(FramePipeline, ManySmallRectanglesMergeAndEndEqual) {
  PDEVICE_OBJECT child = AddChild(2, 9);
  kxsim::BgrxImage image = SyntheticDesktop(256, 160, 2);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 256, 160));
  for (LONG y = 0; y < 160; y += 20) {
    for (LONG x = 0; x < 256; x += 32) {
      ASSERT_EQ(STATUS_SUCCESS, Present(child, image, x, y, x + 32, y + 20));
    }
  }
  Settle();
  EXPECT_GT(FarPsnr(9, image), 30.0);
  EXPECT_LT(adapter_->Rectangles(), 64u);  // queued together, they merged
  ExpectNoViolations();
}

// Odd sizes: the edges are not on the grid and the last strips are narrow.
TEST_F(FramePipeline, OddSizedOutputsAreCoveredToTheirLastPixel) {
  struct Size {
    USHORT width, height;
  } sizes[] = {{1366, 768}, {8, 8}, {100, 9}};
  LONG id = 1;
  for (const Size& size : sizes) {
    PDEVICE_OBJECT child = AddChild((ULONG)id, id);
    kxsim::BgrxImage image = SyntheticDesktop(size.width, size.height, (int)id);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(child, size.width, size.height));
    ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
    // Then only the last column strip and the last row strip.
    ASSERT_EQ(STATUS_SUCCESS,
              Present(child, image, size.width - 3, 0, size.width, size.height));
    ASSERT_EQ(STATUS_SUCCESS,
              Present(child, image, 0, size.height - 2, size.width, size.height));
    Settle();
    EXPECT_GT(FarPsnr(id, image), EncoderPsnr(image) - 1.0) << size.width << "x" << size.height;
    id++;
  }
  ExpectNoViolations();
}

// Each pass sends one rectangle per output: two outputs with work alternate on the wire.
TEST_F(FramePipeline, TwoOutputsAreServedInTurn) {
  PDEVICE_OBJECT a = AddChild(0, 1);
  PDEVICE_OBJECT b = AddChild(1, 2);
  kxsim::BgrxImage imageA = SyntheticDesktop(512, 64, 3);
  kxsim::BgrxImage imageB = SyntheticDesktop(512, 64, 4);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(a, 512, 64));
  ASSERT_EQ(STATUS_SUCCESS, SetMode(b, 512, 64));
  // Rectangles far apart, so nothing merges: three on each output. The worker takes the first
  // and then waits for channel 1 until all are queued.
  KeWaitForSingleObject(&bus_->Channel1Lock, Executive, KernelMode, FALSE, nullptr);
  for (LONG x : {0, 192, 384}) {
    ASSERT_EQ(STATUS_SUCCESS, Present(a, imageA, x, 0, x + 64, 64));
    ASSERT_EQ(STATUS_SUCCESS, Present(b, imageB, x, 0, x + 64, 64));
  }
  KeReleaseMutex(&bus_->Channel1Lock, FALSE);
  Settle();
  EXPECT_EQ(6u, adapter_->Rectangles());
  std::vector<LONG> order = adapter_->FrameOrder();
  ASSERT_GE(order.size(), 6u);
  std::vector<LONG> last(order.end() - 6, order.end());
  EXPECT_EQ((std::vector<LONG>{1, 2, 1, 2, 1, 2}), last);
  EXPECT_GT(FarPsnr(1, imageA), 0.0);
  ExpectNoViolations();
}

// The stop goes out on the worker's next visit; the next mode is announced at once by the caller,
// and the output's store goes whole after it (a black one here, which the present may join).
TEST_F(FramePipeline, StopThenModeAndBothPendingTogether) {
  PDEVICE_OBJECT child = AddChild(0, 4);
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 5);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  ASSERT_EQ(STATUS_SUCCESS, Stop(child));
  Settle();
  EXPECT_EQ(1u, adapter_->Display(4)->stops);
  EXPECT_EQ(0, Interlocked(bus_->Channels[0].Active));
  EXPECT_EQ(0, Interlocked(bus_->ActiveOutputCount));
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  EXPECT_EQ(2u, adapter_->Display(4)->modes);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  ULONG sent = adapter_->Display(4)->rectangles;
  EXPECT_TRUE(sent == 1 || sent == 2) << sent;
  EXPECT_GT(FarPsnr(4, image), EncoderPsnr(image) - 0.5);

  // Both pending at the visit: the stop wins, the mode change is dropped. The worker is held in
  // the send of a rectangle meanwhile.
  KeWaitForSingleObject(&bus_->Channel1Lock, Executive, KernelMode, FALSE, nullptr);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 32, 32));
  ASSERT_EQ(STATUS_SUCCESS, Stop(child));
  KeReleaseMutex(&bus_->Channel1Lock, FALSE);
  Settle();
  auto display = adapter_->Display(4);
  EXPECT_EQ(sent + 1, display->rectangles);
  EXPECT_EQ(2u, display->modes);
  EXPECT_EQ(2u, display->stops);
  EXPECT_EQ(64, display->mode.width);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 32, 32));
  EXPECT_EQ(32, adapter_->Display(4)->mode.width);
  ExpectNoViolations();
}

TEST_F(FramePipeline, AModeChangeOnAnActiveOutputIsAnnouncedByTheWorker) {
  PDEVICE_OBJECT child = AddChild(0, 4);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  PUCHAR store = bus_->Channels[0].FrameStore;
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 32, 32));  // smaller: the store is kept
  EXPECT_EQ(store, bus_->Channels[0].FrameStore);
  Settle();
  EXPECT_EQ(32, adapter_->Display(4)->mode.width);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 128, 128));  // larger: replaced
  EXPECT_GE(bus_->Channels[0].FrameStoreSize, 128u * 128 * 4 + 1024);
  Settle();
  EXPECT_EQ(3u, adapter_->Display(4)->modes);
  ExpectNoViolations();
}

// The brightest channel of the far side's pixel (x, y) of display `id`.
int FarLevel(const kxsim::VirtualAdapter& adapter, LONG id, int x, int y) {
  auto display = adapter.Display(id);
  if (!display || display->rgb.empty()) return -1;
  const uint8_t* rgb = &display->rgb[(size_t(y) * display->mode.width + x) * 3];
  return std::max({rgb[0], rgb[1], rgb[2]});
}

// One white pixel presented at (17, 17) goes as the block (16, 16)-(32, 32): the rest of that
// block was never presented on this display and must arrive black, neither the pool's earlier
// contents (a new store) nor the picture of the channel's last display (a kept one).
TEST_F(FramePipeline, WhatWasNeverPresentedArrivesBlack) {
  kxsim::BgrxImage white{64, 48, std::vector<uint8_t>(size_t(64) * 48 * 4, 0xFF)};
  // Display `id` on channel 0 with a 64 x 48 mode and the one white pixel presented.
  auto onePixel = [&](LONG id, const char* store) {
    PDEVICE_OBJECT child = AddChild(0, id);
    EXPECT_EQ(STATUS_SUCCESS, SetMode(child, 64, 48));
    EXPECT_EQ(STATUS_SUCCESS, Present(child, white, 17, 17, 18, 18));
    Settle();
    EXPECT_GT(FarLevel(*adapter_, id, 17, 17), 200) << store;
    EXPECT_LT(FarLevel(*adapter_, id, 24, 24), 16) << store;
    return child;
  };
  PDEVICE_OBJECT first = onePixel(5, "a new store");
  // The whole picture white, the display gone from the channel, another in its place with the
  // same mode, so that the store is kept.
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(first, white));
  ASSERT_EQ(STATUS_SUCCESS, Stop(first));
  Settle();
  onePixel(6, "a store kept from display 5");
  ExpectNoViolations();
}

// `image` with the rectangle (left, top)-(right, bottom) of `over` laid on it.
kxsim::BgrxImage Overlaid(kxsim::BgrxImage image, const kxsim::BgrxImage& over, int left, int top,
                          int right, int bottom) {
  for (int y = top; y < bottom; y++) {
    size_t at = (size_t(y) * image.width + left) * 4;
    std::copy_n(&over.pixels[at], size_t(right - left) * 4, &image.pixels[at]);
  }
  return image;
}

// Fails the test with the first stale block when the far side of `id` does not show `expected`.
void ExpectFarSideShows(const kxsim::VirtualAdapter& adapter, LONG id,
                        const kxsim::BgrxImage& expected, const char* what) {
  auto display = adapter.Display(id);
  ASSERT_TRUE(display.has_value()) << what;
  ASSERT_EQ(expected.width, display->mode.width) << what;
  ASSERT_EQ(expected.height, display->mode.height) << what;
  kxsim::FarSideComparison result = kxsim::CompareFarSide(expected, display->rgb, 75, 3);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(0u, result.staleBlocks)
      << what << ": first stale block at " << result.firstStale.left << ","
      << result.firstStale.top;
}

// Presents answered while a stop was on its way, and while the output was stopped, reach the far
// side once the display driver sets a mode again over the store they went into.
TEST_F(FramePipeline, PresentsAroundAStopReachTheFarSideAtTheNextMode) {
  PDEVICE_OBJECT child = AddChild(0, 3);
  kxsim::BgrxImage first = SyntheticDesktop(64, 64, 31);
  kxsim::BgrxImage second = SyntheticDesktop(64, 64, 32);
  kxsim::BgrxImage third = SyntheticDesktop(64, 64, 33);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  // The worker is held in the send of the first picture; the second waits in the queue when
  // the stop comes, and the stop wins the worker's next visit.
  KeWaitForSingleObject(&bus_->Channel1Lock, Executive, KernelMode, FALSE, nullptr);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, first));
  Settle();
  ASSERT_EQ(STATUS_SUCCESS, Present(child, second, 0, 0, 32, 32));
  ASSERT_EQ(STATUS_SUCCESS, Stop(child));
  KeReleaseMutex(&bus_->Channel1Lock, FALSE);
  Settle();
  ASSERT_EQ(1u, adapter_->Display(3)->stops);
  ASSERT_EQ(STATUS_SUCCESS, Present(child, third, 32, 32, 64, 64));  // while stopped
  Settle();
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  Settle();
  ExpectFarSideShows(*adapter_, 3,
                     Overlaid(Overlaid(first, second, 0, 0, 32, 32), third, 32, 32, 64, 64),
                     "after the stop");
  ExpectNoViolations();
}

// A store kept over a change of size or depth holds pixels laid out for the mode before: it
// starts black, and the far side, which keeps its picture where the size stays, is sent all of
// it. Rectangles still queued for the old mode keep only what lies inside the new one.
TEST_F(FramePipeline, AStoreLaidOutForAnotherModeStartsBlack) {
  PDEVICE_OBJECT child = AddChild(0, 8);
  kxsim::BgrxImage white{64, 48, std::vector<uint8_t>(size_t(64) * 48 * 4, 0xFF)};
  auto blackWithPixel = [](int width, int height) {
    kxsim::BgrxImage image{width, height, std::vector<uint8_t>(size_t(width) * height * 4, 0)};
    std::fill_n(&image.pixels[(size_t(17) * width + 17) * 4], 4, 0xFF);
    return image;
  };
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 48));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, white));
  Settle();
  struct Step {
    USHORT width, height, bpp;
  } steps[] = {{48, 32, 32}, {64, 48, 32}, {32, 40, 32}};
  for (const Step& step : steps) {
    // The old mode's picture once more, and a whole rectangle of it still queued (the worker
    // held) when the mode changes.
    KeWaitForSingleObject(&bus_->Channel1Lock, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, white));
    Settle();
    ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, white));
    ASSERT_EQ(STATUS_SUCCESS, SetMode(child, step.width, step.height, step.bpp));
    KeReleaseMutex(&bus_->Channel1Lock, FALSE);
    ASSERT_EQ(STATUS_SUCCESS, Present(child, white, 17, 17, 18, 18));
    Settle();
    std::string what = std::to_string(step.width) + "x" + std::to_string(step.height);
    ExpectFarSideShows(*adapter_, 8, blackWithPixel(step.width, step.height), what.c_str());
    white = kxsim::BgrxImage{step.width, step.height,
                             std::vector<uint8_t>(size_t(step.width) * step.height * 4, 0xFF)};
  }
  // The same size at another depth: the far side keeps its picture, the store is black.
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, white));
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 32, 40, 16));
  Settle();
  for (int at : {0, 8, 20, 31}) EXPECT_LT(FarLevel(*adapter_, 8, at, at), 16) << at;
  ExpectNoViolations();
}

// At 16 bits a pixel the rows are packed 2 bytes a pixel into the staging buffer and the encoder
// reads them 4 bytes a pixel: past the packed rows it finds zeros, not the rows a taller band
// left there before.
TEST_F(FramePipeline, TwoBytePixelsAreCodedWithZerosPastThePackedRows) {
  PDEVICE_OBJECT child = AddChild(1, 7);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 32, 16));
  std::vector<uint8_t> buffer(size_t(64) * 32 * 2);
  for (size_t i = 0; i < buffer.size(); i++) buffer[i] = uint8_t(0x40 + i * 7);
  hostk::UserBuffer pixels(buffer.size());
  std::copy(buffer.begin(), buffer.end(), pixels.Data());
  for (LONG bottom : {32, 16}) {  // the whole output, then its top half
    std::vector<uint8_t> bytes =
        DescriptorBytes(0, 0, 64, bottom, 0, 64 * 2, ULONG(buffer.size()), 16);
    hostk::UserBuffer descriptor(32);
    std::copy(bytes.begin(), bytes.end(), descriptor.Data());
    ASSERT_EQ(STATUS_SUCCESS, Ioctl(child, IOCTL_DISPLAY_PRESENT, descriptor.Data(), 32,
                                    pixels.Data(), ULONG(buffer.size())));
    Settle();
  }
  std::vector<uint8_t> top(buffer.begin(), buffer.begin() + 64 * 2 * 16);
  top.resize(top.size() + 64 * 2, 0);
  std::vector<uint8_t> stream(1 << 20);
  JpegEncodeParams params{64, 16, 4, top.data(), 64 * 2, bus_->Quality,
                          bus_->Sampling, stream.data(), LONG(stream.size()), 0};
  ASSERT_EQ(JpegResultOk, JpegEncodeFrame(&params));
  kxsim::DecodedImage expected = kxsim::DecodeJpeg(stream.data(), size_t(params.OutputLength));
  ASSERT_TRUE(expected.ok);
  auto display = adapter_->Display(7);
  ASSERT_TRUE(display.has_value());
  EXPECT_EQ(2u, display->rectangles);
  EXPECT_TRUE(std::equal(expected.rgb.begin(), expected.rgb.end(), display->rgb.begin()));
  ExpectNoViolations();
}

// Before any output has a mode there is no worker, and an update goes nowhere.
TEST_F(FramePipeline, UpdatesWithoutAWorkerAreDropped) {
  PDEVICE_OBJECT a = AddChild(0, 1);
  PDEVICE_OBJECT b = AddChild(1, 2);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(a, 64, 64));
  SetBusPnpState(bus_, StopPending);  // as a stop of the adapter does
  StopFrameWorker(bus_);
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 1);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(a, image));
  EXPECT_EQ(0u, bus_->Channels[0].Queue.WriteIndex);
  SetBusPnpState(bus_, Started);
  (void)b;
}

TEST_F(FramePipeline, AnIdleWorkerWakesEveryThreeSeconds) {
  if (!kTestedDriverTraces) GTEST_SKIP() << "the idle wakes are seen only in the traces";
  PDEVICE_OBJECT child = AddChild(0, 1);
  hostk::TraceCapture trace;
  LONGLONG start = hostk::ClockNow();
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  Settle(10 * 10000000LL);  // ten seconds
  size_t wakes = 0;
  for (const auto& line : trace.Lines()) {
    if (line.text.find("idle for 3 seconds") != std::string::npos) wakes++;
  }
  EXPECT_EQ(3u, wakes);
  EXPECT_EQ(start + 10 * 10000000LL, hostk::ClockNow());
}

// Quality and sampling are read for every rectangle; a sampling the encoder refuses sends modes
// and stops but no frame data.
TEST_F(FramePipeline, ASamplingTheEncoderRefusesSendsNoFrameData) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  bus_->Sampling = 4;
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, SyntheticDesktop(64, 64, 1)));
  ASSERT_EQ(STATUS_SUCCESS, Stop(child));
  Settle();
  auto display = adapter_->Display(1);
  EXPECT_EQ(1u, display->modes);
  EXPECT_EQ(1u, display->stops);
  EXPECT_EQ(0u, adapter_->Rectangles());
  ExpectNoViolations();
}

// The worker codes 3- and 4-byte pixels where they lie in the store: the far side must draw
// exactly what the encoder makes of the rectangle's own pixels, packed row after row.
// Each pixel crosses the driver once: copied into the store, coded from there.
TEST_F(FramePipeline, ThreeAndFourBytePixelsAreCodedAsTheyLieInTheStore) {
  kxsim::BgrxImage image = SyntheticDesktop(96, 64, 11);
  LONG id = 30;
  for (int bytes : {4, 3}) {
    PDEVICE_OBJECT child = AddChild(bytes == 4 ? 4 : 5, id);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 96, 64, USHORT(bytes * 8)));
    std::vector<uint8_t> buffer(size_t(96) * 64 * bytes), packed;
    for (size_t i = 0; i < size_t(96) * 64; i++) {
      std::copy_n(&image.pixels[i * 4], bytes, &buffer[i * bytes]);
      if (i % 96 >= 32) packed.insert(packed.end(), &buffer[i * bytes], &buffer[i * bytes] + bytes);
    }
    hostk::UserBuffer pixels(buffer.size());
    std::copy(buffer.begin(), buffer.end(), pixels.Data());
    // The whole output, then its right half from x = 48, which the worker widens to x = 32.
    for (LONG left : {0, 48}) {
      std::vector<uint8_t> bytesOfDescriptor = DescriptorBytes(
          left, 0, 96, 64, ULONG(left * bytes), 96 * bytes, ULONG(buffer.size()), UCHAR(bytes * 8));
      hostk::UserBuffer descriptor(32);
      std::copy(bytesOfDescriptor.begin(), bytesOfDescriptor.end(), descriptor.Data());
      uint64_t copiedBefore = hostk::CopiedBytes();
      ASSERT_EQ(STATUS_SUCCESS, Ioctl(child, IOCTL_DISPLAY_PRESENT, descriptor.Data(), 32,
                                      pixels.Data(), ULONG(buffer.size())));
      Settle();
      // The driver copies the descriptor and each presented pixel once, into the store, and
      // nothing more on the way to the wire.
      if (kTestedDriverCountsCopies) {
        EXPECT_EQ(hostk::CopiedBytes() - copiedBefore, uint64_t(96 - left) * 64 * bytes + 32)
            << bytes << " bytes a pixel, from x = " << left;
      }
    }
    std::vector<uint8_t> stream(1 << 20);
    JpegEncodeParams params{64, 64, bytes, packed.data(), 64 * bytes, bus_->Quality,
                            bus_->Sampling, stream.data(), LONG(stream.size()), 0};
    ASSERT_EQ(JpegResultOk, JpegEncodeFrame(&params));
    kxsim::DecodedImage expected = kxsim::DecodeJpeg(stream.data(), size_t(params.OutputLength));
    ASSERT_TRUE(expected.ok);
    auto display = adapter_->Display(id);
    ASSERT_TRUE(display.has_value());
    EXPECT_EQ(2u, display->rectangles);
    for (int y = 0; y < 64; y++) {
      const uint8_t* drawn = &display->rgb[(size_t(y) * 96 + 32) * 3];
      ASSERT_TRUE(std::equal(drawn, drawn + 64 * 3, &expected.rgb[size_t(y) * 64 * 3]))
          << bytes << " bytes a pixel, row " << y;
    }
    id++;
  }
  ExpectNoViolations();
}

// Every image of the corpus, whole and then as many small rectangles over a black screen.
TEST_F(FramePipeline, EveryCorpusImageEndsEqualOnTheFarSide) {
  std::vector<std::string> names = CorpusNames();
  ASSERT_FALSE(names.empty()) << "corpus folder not found at " << KX_CORPUS_DIR;
  LONG id = 10;
  for (const std::string& name : names) {
    kxsim::BgrxImage image = CorpusImage(name);
    ASSERT_GT(image.width, 0) << name;
    PDEVICE_OBJECT whole = AddChild(0, id);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(whole, (USHORT)image.width, (USHORT)image.height));
    ASSERT_EQ(STATUS_SUCCESS, PresentWhole(whole, image));
    Settle();
    double encoder = EncoderPsnr(image);
    EXPECT_GT(FarPsnr(id, image), encoder - 0.5) << name;
    // The same as 96 x 96 tiles.
    PDEVICE_OBJECT tiles = AddChild(1, id + 1);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(tiles, (USHORT)image.width, (USHORT)image.height));
    for (LONG y = 0; y < image.height; y += 96) {
      for (LONG x = 0; x < image.width; x += 96) {
        ASSERT_EQ(STATUS_SUCCESS,
                  Present(tiles, image, x, y, std::min<LONG>(x + 96, image.width),
                          std::min<LONG>(y + 96, image.height)));
      }
    }
    Settle();
    EXPECT_GT(FarPsnr(id + 1, image), encoder - 1.0) << name << " in tiles";
    StopFrameWorker(bus_);
    bus_->Channels[0].Free = 1;  // the two channels go to the next image's children
    bus_->Channels[1].Free = 1;
    id += 2;
  }
  ExpectNoViolations();
}

}  // namespace
}  // namespace kxtest
