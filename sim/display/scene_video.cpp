// A video playing in a player window: a landscape flown over (sky, sun, three ranges of hills
// moving at their own speeds, a little film grain) redrawn every frame, and the player's clock
// and progress bar once a second.
#include <cmath>
#include <cstdio>

#include "sim/display/glyphs.h"
#include "sim/display/scene_factories.h"
#include "sim/display/scene_kit.h"

namespace kxsim {
namespace {

constexpr int kRanges = 3;
constexpr int kLengthSeconds = 205;  // the clip's length, for the clock

struct Range {
  double speed;  // pixels a frame
  double scale;  // of the ridge's waves
  double base;   // height as a share of the picture
  ULONG near;    // colour at the ridge
  ULONG far;     // colour at the foot
};

const Range kRangeLooks[kRanges] = {
    {0.6, 1.0, 0.45, Rgb(96, 120, 150), Rgb(70, 92, 120)},
    {1.6, 0.7, 0.62, Rgb(60, 110, 70), Rgb(38, 80, 48)},
    {3.5, 0.45, 0.80, Rgb(110, 90, 50), Rgb(70, 56, 32)},
};

class VideoScene : public Scene {
 public:
  explicit VideoScene(const SceneSetting& setting) : setting_(setting) {
    SceneRandom random(MixSeed(setting.seed, 41));
    for (int r = 0; r < kRanges; r++) phase_[r] = random.Below(1000);
    grainSeed_ = uint32_t(random.Next());
  }

  void Start(const Canvas& canvas) override {
    DrawWallpaper(canvas, setting_.seed);
    LONG width = canvas.width * 55 / 100;
    LONG videoHeight = width * 9 / 16;
    LONG height = videoHeight + kTitleBarHeight + 56;
    LONG left = (canvas.width - width) / 2, top = (canvas.height - height) / 2;
    PixelRect client = DrawWindow(canvas, {left, top, left + width, top + height},
                                  "flight.mp4 - player", Rgb(20, 20, 22));
    video_ = {client.left, client.top, client.right, client.top + videoHeight};
    controls_ = {client.left, video_.bottom, client.right, client.bottom};
    frame_ = 0;
    DrawPicture(canvas);
    DrawControls(canvas);
  }

  void Step(const Canvas& canvas, std::vector<PixelRect>* damage) override {
    frame_++;
    DrawPicture(canvas);
    damage->push_back(video_);
    if (frame_ % kSceneFramesPerSecond == 0) {
      DrawControls(canvas);
      damage->push_back(controls_);
    }
  }

 private:
  void DrawPicture(const Canvas& canvas) {
    LONG width = video_.Width(), height = video_.Height();
    std::vector<LONG> ridge(size_t(width) * kRanges);
    for (int r = 0; r < kRanges; r++) {
      const Range& look = kRangeLooks[r];
      for (LONG x = 0; x < width; x++) {
        double u = (x + frame_ * look.speed + phase_[r]) / (width * look.scale);
        double wave = 0.08 * std::sin(u * 6.3) + 0.05 * std::sin(u * 17.1 + r) +
                      0.02 * std::sin(u * 41.0);
        ridge[size_t(r) * width + x] = LONG((look.base + wave) * height);
      }
    }
    double sunX = width * (0.2 + 0.6 * std::fmod(frame_ / 1200.0, 1.0));
    double sunY = height * 0.25, sunRadius = height * 0.08;
    for (LONG y = 0; y < height; y++) {
      uint8_t* out = canvas.At(video_.left, video_.top + y);
      for (LONG x = 0; x < width; x++, out += 4) {
        ULONG rgb = Sky(y, height);
        double dx = x - sunX, dy = y - sunY;
        if (dx * dx + dy * dy < sunRadius * sunRadius) rgb = Rgb(255, 236, 170);
        for (int r = 0; r < kRanges; r++) {
          LONG top = ridge[size_t(r) * width + x];
          if (y >= top) rgb = Ground(kRangeLooks[r], y - top, height - top);
        }
        Put(out, rgb, Grain(x, y));
      }
    }
  }

  static ULONG Sky(LONG y, LONG height) {
    unsigned t = unsigned(255 * y / std::max<LONG>(1, height));
    return Rgb(90 + t / 3, 150 + t / 4, 230 - t / 8);
  }

  static ULONG Ground(const Range& look, LONG depth, LONG total) {
    unsigned t = unsigned(255 * depth / std::max<LONG>(1, total));
    auto mix = [t](ULONG a, ULONG b, int shift) {
      int from = int((a >> shift) & 0xFF), to = int((b >> shift) & 0xFF);
      return unsigned(from + (to - from) * int(t) / 255);
    };
    return Rgb(mix(look.near, look.far, 16), mix(look.near, look.far, 8),
               mix(look.near, look.far, 0));
  }

  // A few units of noise that changes every frame, as a camera's sensor adds.
  int Grain(LONG x, LONG y) const {
    uint32_t h = uint32_t(x) * 0x9E3779B1u ^ uint32_t(y) * 0x85EBCA77u ^
                 uint32_t(frame_) * 0xC2B2AE3Du ^ grainSeed_;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return int(h % 7) - 3;
  }

  static void Put(uint8_t* out, ULONG rgb, int grain) {
    for (int c = 0; c < 3; c++) {
      int value = int((rgb >> (8 * c)) & 0xFF) + grain;
      out[c] = uint8_t(std::clamp(value, 0, 255));
    }
    out[3] = 0;
  }

  void DrawControls(const Canvas& canvas) {
    Fill(canvas, controls_, Rgb(28, 28, 30));
    LONG middle = controls_.top + controls_.Height() / 2;
    Fill(canvas, {controls_.left + 16, middle - 9, controls_.left + 34, middle + 9},
         Rgb(230, 230, 230));
    int seconds = frame_ / kSceneFramesPerSecond;
    char clock[32];
    std::snprintf(clock, sizeof clock, "%d:%02d / %d:%02d", seconds / 60, seconds % 60,
                  kLengthSeconds / 60, kLengthSeconds % 60);
    LONG clockWidth = TextWidth(clock, 2);
    DrawText(canvas, controls_.right - 16 - clockWidth, middle - GlyphHeight(2) / 2, clock,
             Rgb(230, 230, 230), 2);
    PixelRect bar{controls_.left + 50, middle - 3, controls_.right - 32 - clockWidth, middle + 3};
    Fill(canvas, bar, Rgb(80, 80, 84));
    LONG played = bar.Width() * std::min(seconds, kLengthSeconds) / kLengthSeconds;
    Fill(canvas, {bar.left, bar.top, bar.left + std::max<LONG>(played, 2), bar.bottom},
         Rgb(220, 60, 60));
  }

  SceneSetting setting_;
  double phase_[kRanges] = {};
  uint32_t grainSeed_ = 0;
  PixelRect video_;
  PixelRect controls_;
  int frame_ = 0;
};

}  // namespace

std::unique_ptr<Scene> MakeVideoScene(const SceneSetting& setting) {
  return std::make_unique<VideoScene>(setting);
}

}  // namespace kxsim
