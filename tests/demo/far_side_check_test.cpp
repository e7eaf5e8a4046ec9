// The check of the far side against the presented picture: a far side that got every update in
// rectangles of the 16-pixel grid passes at every sampling, whatever the cut of the rectangles;
// a block that missed its update is found, also when the change lies only on block edges.
#include <gtest/gtest.h>

#include <cstring>

#include "jpeg/jpeg.h"
#include "sim/display/canvas.h"
#include "sim/display/glyphs.h"
#include "tools/kxsim/far_side_check.h"
#include "tools/kxsim/libjpeg_peer.h"

namespace kxtest {
namespace {

using kxsim::BgrxImage;
using kxsim::PixelRect;

constexpr int kWidth = 200;  // neither side a multiple of 16: cut blocks at both edges
constexpr int kHeight = 120;

// Sharp text and saturated colours: the hardest case for the decoder's colour smoothing.
BgrxImage Picture() {
  BgrxImage image;
  image.width = kWidth;
  image.height = kHeight;
  image.pixels.assign(size_t(kWidth) * kHeight * 4, 0);
  kxsim::Canvas canvas = kxsim::CanvasOf(&image);
  kxsim::FillGradient(canvas, canvas.Bounds(), kxsim::Rgb(250, 30, 40), kxsim::Rgb(20, 40, 240));
  kxsim::Fill(canvas, {10, 10, 190, 60}, 0xFFFFFF);
  kxsim::DrawText(canvas, 14, 14, "lorem ipsum dolor", kxsim::Rgb(200, 0, 0), 2);
  kxsim::DrawText(canvas, 14, 36, "sit amet 0123", kxsim::Rgb(0, 0, 0), 2);
  kxsim::Fill(canvas, {120, 70, 170, 110}, kxsim::Rgb(0, 255, 0));
  return image;
}

// What the far side shows after drawing `rects` of `image`, each coded alone.
std::vector<uint8_t> FarSide(const BgrxImage& image, const std::vector<PixelRect>& rects,
                             int quality, int sampling, std::vector<uint8_t> rgb = {}) {
  if (rgb.empty()) rgb.assign(size_t(image.width) * image.height * 3, 0);
  for (const PixelRect& rect : rects) {
    std::vector<uint8_t> stream(size_t(rect.Area()) * 4 + 4096);
    JpegEncodeParams params = {rect.Width(), rect.Height(), 4,
                               &image.pixels[(size_t(rect.top) * image.width + rect.left) * 4],
                               image.width * 4, quality, sampling, stream.data(),
                               LONG(stream.size()), 0};
    EXPECT_EQ(JpegResultOk, JpegEncodeFrame(&params));
    int width = 0, height = 0;
    std::vector<uint8_t> decoded;
    std::string error;
    EXPECT_TRUE(kxsim::DecodeToRgb(stream.data(), size_t(params.OutputLength), &width, &height,
                                   &decoded, &error))
        << error;
    for (int y = 0; y < height; y++) {
      std::memcpy(&rgb[(size_t(rect.top + y) * image.width + rect.left) * 3],
                  &decoded[size_t(y) * width * 3], size_t(width) * 3);
    }
  }
  return rgb;
}

// The picture in rectangles of several sizes, as the worker sends merged and banded updates.
std::vector<PixelRect> Tiling() {
  std::vector<PixelRect> rects;
  const LONG columns[] = {0, 48, 112, kWidth};
  const LONG rows[] = {0, 32, 80, kHeight};
  for (int r = 0; r < 3; r++) {
    for (int c = 0; c < 3; c++) rects.push_back({columns[c], rows[r], columns[c + 1], rows[r + 1]});
  }
  return rects;
}

TEST(FarSideCheck, AFarSideWithEveryUpdatePassesAtEverySampling) {
  BgrxImage picture = Picture();
  for (int sampling = 0; sampling <= 3; sampling++) {
    for (int quality : {30, 75, 95}) {
      SCOPED_TRACE(testing::Message() << "sampling " << sampling << ", quality " << quality);
      kxsim::FarSideComparison check = kxsim::CompareFarSide(
          picture, FarSide(picture, Tiling(), quality, sampling), quality, sampling);
      ASSERT_TRUE(check.ok) << check.error;
      EXPECT_EQ(8u * 13, check.blocks);
      EXPECT_EQ(0u, check.staleBlocks);
      EXPECT_EQ(0, check.worstInner) << "inside its blocks the far side is the reference exactly";
      EXPECT_LE(check.worstRingLuma, kxsim::kRingLumaTolerance);
    }
  }
}

TEST(FarSideCheck, ABlockThatMissedItsUpdateIsStale) {
  BgrxImage before = Picture();
  std::vector<uint8_t> far = FarSide(before, Tiling(), 75, 3);
  BgrxImage after = before;
  // A new word inside the white box, in the block at (48, 16) only.
  kxsim::Canvas canvas = kxsim::CanvasOf(&after);
  kxsim::Fill(canvas, {50, 18, 62, 30}, kxsim::Rgb(0, 0, 255));
  kxsim::FarSideComparison check = kxsim::CompareFarSide(after, far, 75, 3);
  ASSERT_TRUE(check.ok);
  EXPECT_EQ(1u, check.staleBlocks);
  EXPECT_EQ(48, check.firstStale.left);
  EXPECT_EQ(16, check.firstStale.top);
  // Sent, the update clears it.
  far = FarSide(after, {{48, 16, 64, 32}}, 75, 3, far);
  EXPECT_EQ(0u, kxsim::CompareFarSide(after, far, 75, 3).staleBlocks);
}

// A caret one pixel wide on the blocks' first column touches only edge pixels, where brightness
// alone is compared; missed, it still leaves every block it crosses stale.
TEST(FarSideCheck, AChangeOnlyOnBlockEdgesIsFound) {
  BgrxImage before = Picture();
  std::vector<uint8_t> far = FarSide(before, Tiling(), 75, 3);
  BgrxImage after = before;
  kxsim::Fill(kxsim::CanvasOf(&after), {160, 12, 161, 40}, 0);
  kxsim::FarSideComparison check = kxsim::CompareFarSide(after, far, 75, 3);
  EXPECT_EQ(3u, check.staleBlocks) << "rows 12 to 39 cross three blocks";
  EXPECT_EQ(160, check.firstStale.left);
  EXPECT_EQ(0, check.firstStale.top);
}

TEST(FarSideCheck, AFarSideOfAnotherSizeIsNoComparison) {
  BgrxImage picture = Picture();
  kxsim::FarSideComparison check = kxsim::CompareFarSide(picture, std::vector<uint8_t>(30), 75, 3);
  EXPECT_FALSE(check.ok);
  EXPECT_FALSE(check.error.empty());
}

}  // namespace
}  // namespace kxtest
