// The desktop scenes: every pixel a frame changes lies inside the rectangles it reports (a pixel
// outside would never reach the far side), a seed replays a scene exactly, and each scene keeps
// moving.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/display/glyphs.h"
#include "sim/display/scene.h"

namespace kxtest {
namespace {

using kxsim::BgrxImage;
using kxsim::PixelRect;

BgrxImage Blank(int width, int height) {
  BgrxImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(size_t(width) * height * 4, 0x55);
  return image;
}

// Small pictures with a pattern of their own each, for the scenes that show pictures.
kxsim::ScenePictures Pictures() {
  kxsim::ScenePictures pictures;
  for (int p = 0; p < 3; p++) {
    BgrxImage picture = Blank(64 + 16 * p, 48);
    for (size_t i = 0; i < picture.pixels.size(); i++) picture.pixels[i] = uint8_t(i * (p + 3));
    pictures.push_back(picture);
  }
  return pictures;
}

struct Playback {
  std::vector<BgrxImage> frames;  // after Start, then after each step
  std::vector<std::vector<PixelRect>> damage;
};

// Runs a scene for `steps` frames; `check` sees each step's surface before and after it.
template <typename Check>
void Play(const std::string& name, int width, int height, uint64_t seed, int steps,
          const Check& check) {
  static const kxsim::ScenePictures pictures = Pictures();
  kxsim::SceneSetting setting{width, height, seed, steps + 1, &pictures};
  std::unique_ptr<kxsim::Scene> scene = kxsim::MakeScene(name, setting);
  ASSERT_NE(nullptr, scene) << name;
  BgrxImage surface = Blank(width, height);
  kxsim::Canvas canvas = kxsim::CanvasOf(&surface);
  scene->Start(canvas);
  for (int i = 0; i < steps; i++) {
    BgrxImage before = surface;
    std::vector<PixelRect> damage;
    scene->Step(canvas, &damage);
    check(i, before, surface, damage);
  }
}

Playback Play(const std::string& name, int width, int height, uint64_t seed, int steps) {
  Playback run;
  Play(name, width, height, seed, steps,
       [&run](int step, const BgrxImage& before, const BgrxImage& after,
              const std::vector<PixelRect>& damage) {
         if (step == 0) run.frames.push_back(before);
         run.frames.push_back(after);
         run.damage.push_back(damage);
       });
  return run;
}

bool Inside(const std::vector<PixelRect>& rects, LONG x, LONG y) {
  for (const PixelRect& rect : rects) {
    if (x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom) return true;
  }
  return false;
}

class EachScene : public testing::TestWithParam<std::string> {};

// Frames enough for the typing scene to fill its small page and start a new one.
TEST_P(EachScene, EveryChangedPixelIsInsideTheDamage) {
  constexpr int kWidth = 400, kHeight = 260, kSteps = 900;
  size_t rowBytes = size_t(kWidth) * 4;
  Play(GetParam(), kWidth, kHeight, 7, kSteps,
       [&](int step, const BgrxImage& before, const BgrxImage& after,
           const std::vector<PixelRect>& damage) {
         for (const PixelRect& rect : damage) {
           ASSERT_FALSE(rect.Empty()) << "step " << step;
           ASSERT_TRUE(rect.left >= 0 && rect.top >= 0 && rect.right <= kWidth &&
                       rect.bottom <= kHeight)
               << "step " << step << ": (" << rect.left << "," << rect.top << ")-("
               << rect.right << "," << rect.bottom << ")";
         }
         for (LONG y = 0; y < kHeight; y++) {
           const uint8_t* old = &before.pixels[size_t(y) * rowBytes];
           const uint8_t* now = &after.pixels[size_t(y) * rowBytes];
           if (std::memcmp(old, now, rowBytes) == 0) continue;
           for (LONG x = 0; x < kWidth; x++) {
             if (std::memcmp(old + 4 * x, now + 4 * x, 4) == 0) continue;
             ASSERT_TRUE(Inside(damage, x, y))
                 << "step " << step << ": pixel (" << x << "," << y
                 << ") changed outside the damage";
           }
         }
       });
}

TEST_P(EachScene, TheSameSeedReplaysTheSameFrames) {
  Playback first = Play(GetParam(), 320, 200, 42, 90);
  Playback again = Play(GetParam(), 320, 200, 42, 90);
  ASSERT_EQ(first.frames.size(), again.frames.size());
  for (size_t i = 0; i < first.frames.size(); i++) {
    ASSERT_EQ(first.frames[i].pixels, again.frames[i].pixels) << "frame " << i;
  }
}

class MovingScene : public testing::TestWithParam<std::string> {};

// A scene that stalls would leave the link idle and show nothing of the pipeline. (The slide show
// changes only with its pictures; it has a test of its own.)
TEST_P(MovingScene, SomethingChangesEverySecond) {
  Playback run = Play(GetParam(), 320, 200, 3, 4 * kxsim::kSceneFramesPerSecond);
  for (size_t second = 0; second < 4; second++) {
    bool changed = false;
    for (size_t i = 0; i < size_t(kxsim::kSceneFramesPerSecond); i++) {
      changed |= !run.damage[second * kxsim::kSceneFramesPerSecond + i].empty();
    }
    EXPECT_TRUE(changed) << "second " << second;
  }
}

std::string ParamName(const testing::TestParamInfo<std::string>& info) { return info.param; }

INSTANTIATE_TEST_SUITE_P(Scenes, EachScene, testing::ValuesIn(kxsim::SceneNames()), ParamName);
INSTANTIATE_TEST_SUITE_P(Scenes, MovingScene,
                         testing::Values("typing", "drag", "scroll", "video"), ParamName);

TEST(Scenes, SeedsGiveDifferentDesktops) {
  for (const char* name : {"typing", "drag", "scroll", "video"}) {
    Playback one = Play(name, 320, 200, 1, 30);
    Playback two = Play(name, 320, 200, 2, 30);
    EXPECT_NE(one.frames.back().pixels, two.frames.back().pixels) << name;
  }
}

TEST(Scenes, UnknownNamesAndPicturelessSlideShowsMakeNoScene) {
  kxsim::SceneSetting setting{320, 200, 1, 60, nullptr};
  EXPECT_EQ(nullptr, kxsim::MakeScene("spreadsheet", setting));
  EXPECT_EQ(nullptr, kxsim::MakeScene("corpus", setting));
  kxsim::ScenePictures none;
  setting.pictures = &none;
  EXPECT_EQ(nullptr, kxsim::MakeScene("corpus", setting));
  EXPECT_NE(nullptr, kxsim::MakeScene("typing", setting));
}

// The slide show paces its pictures over the frames it was given: each shown once, in turn.
TEST(Scenes, TheSlideShowShowsEveryPictureOnce) {
  Playback run = Play("corpus", 160, 100, 1, 59);
  int changes = 0;
  for (const auto& damage : run.damage) changes += damage.empty() ? 0 : 1;
  EXPECT_EQ(2, changes) << "three pictures: the first at the start, two changes";
}

TEST(Glyphs, TextStaysInsideItsCellsAndTheClip) {
  BgrxImage image = Blank(100, 40);
  kxsim::Canvas canvas = kxsim::Clipped(kxsim::CanvasOf(&image), {0, 0, 30, 40});
  PixelRect cells = kxsim::DrawText(canvas, 2, 3, "gjpqy", 0xFFFFFF, 2);
  EXPECT_EQ((PixelRect{2, 3, 2 + 5 * kxsim::GlyphAdvance(2), 3 + kxsim::GlyphHeight(2)}.right),
            cells.right);
  bool inked = false;
  for (int y = 0; y < 40; y++) {
    for (int x = 0; x < 100; x++) {
      bool white = image.pixels[(size_t(y) * 100 + size_t(x)) * 4] == 0xFF;
      inked |= white;
      if (white) {
        EXPECT_TRUE(x >= 2 && x < 30 && y >= 3 && y < cells.bottom) << x << "," << y;
      }
    }
  }
  EXPECT_TRUE(inked);
}

// Shrunk to a quarter, each target pixel is the mean of the 4 x 4 source pixels under it, so a
// picture of one colour per 4 x 4 square keeps its colours exactly.
TEST(Canvas, ShrinkingAveragesTheCoveredPixels) {
  BgrxImage source = Blank(16, 8);
  kxsim::Canvas from = kxsim::CanvasOf(&source);
  for (int square = 0; square < 8; square++) {
    LONG x = (square % 4) * 4, y = (square / 4) * 4;
    kxsim::Fill(from, {x, y, x + 4, y + 4}, kxsim::Rgb(30 * square, 255 - 30 * square, 7));
  }
  source.pixels[0] = 7 + 16;  // one blue sample 16 up in the first square: its mean moves by 1
  BgrxImage target = Blank(4, 2);
  kxsim::BlitScaled(kxsim::CanvasOf(&target), {0, 0, 4, 2}, source);
  for (int square = 0; square < 8; square++) {
    const uint8_t* pixel = &target.pixels[size_t(square) * 4];
    EXPECT_EQ(square == 0 ? 8 : 7, pixel[0]) << square;
    EXPECT_EQ(255 - 30 * square, pixel[1]) << square;
    EXPECT_EQ(30 * square, pixel[2]) << square;
  }
}

TEST(Canvas, ScalingToTheSameSizeCopiesAndScrollingMovesRows) {
  BgrxImage source = Blank(37, 23);
  for (size_t i = 0; i < source.pixels.size(); i++) {
    source.pixels[i] = uint8_t(i % 4 == 3 ? 0 : i * 7);
  }
  BgrxImage target = Blank(37, 23);
  kxsim::BlitScaled(kxsim::CanvasOf(&target), {0, 0, 37, 23}, source);
  EXPECT_EQ(source.pixels, target.pixels);

  BgrxImage moved = source;
  kxsim::ScrollUp(kxsim::CanvasOf(&moved), {0, 0, 37, 23}, 5);
  for (int y = 0; y < 18; y++) {
    EXPECT_EQ(0, std::memcmp(&moved.pixels[size_t(y) * 37 * 4],
                             &source.pixels[size_t(y + 5) * 37 * 4], 37 * 4))
        << "row " << y;
  }
}

}  // namespace
}  // namespace kxtest
