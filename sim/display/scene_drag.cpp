// A window dragged across the desktop: it glides along a looping path over a wallpaper with two
// other windows, and each frame the compositor reports where it was (uncovered) and where it is.
#include <cmath>

#include "sim/display/glyphs.h"
#include "sim/display/scene_factories.h"
#include "sim/display/scene_kit.h"

namespace kxsim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kLoopFrames = 4 * kSceneFramesPerSecond;

class DragScene : public Scene {
 public:
  explicit DragScene(const SceneSetting& setting) : setting_(setting) {}

  void Start(const Canvas& canvas) override {
    background_.width = canvas.width;
    background_.height = canvas.height;
    background_.pixels.assign(size_t(canvas.width) * canvas.height * 4, 0);
    DrawDesktop(CanvasOf(&background_));
    DrawSprite(canvas.width * 36 / 100, canvas.height * 42 / 100);
    frame_ = 0;
    at_ = Position(canvas);
    Blit(canvas, 0, 0, background_);
    Blit(canvas, at_.left, at_.top, sprite_);
  }

  void Step(const Canvas& canvas, std::vector<PixelRect>* damage) override {
    frame_++;
    PixelRect from = at_;
    at_ = Position(canvas);
    Blit(Clipped(canvas, from), 0, 0, background_);
    Blit(canvas, at_.left, at_.top, sprite_);
    damage->push_back(Intersection(from, canvas.Bounds()));
    damage->push_back(Intersection(at_, canvas.Bounds()));
  }

 private:
  void DrawDesktop(const Canvas& canvas) {
    SceneRandom random(MixSeed(setting_.seed, 21));
    DrawWallpaper(canvas, setting_.seed);
    LONG w = canvas.width, h = canvas.height;
    PixelRect files = DrawWindow(canvas, {w / 20, h / 12, w / 20 + w * 2 / 5, h / 12 + h / 2},
                                 "files - browser", Rgb(250, 250, 250));
    DrawTextBlock(canvas, {files.left + 16, files.top + 12, files.right - 16, files.bottom - 8},
                  &random, Rgb(40, 40, 40), 2, 24);
    PixelRect shell = DrawWindow(canvas, {w / 2, h / 2, w / 2 + w * 9 / 20, h / 2 + h * 2 / 5},
                                 "terminal", Rgb(24, 26, 30));
    DrawTextBlock(canvas, {shell.left + 12, shell.top + 10, shell.right - 12, shell.bottom - 8},
                  &random, Rgb(120, 220, 120), 2, 22);
  }

  // The dragged window: a picture with a caption, or a chart when there is no picture.
  void DrawSprite(LONG width, LONG height) {
    sprite_.width = int(width);
    sprite_.height = int(height);
    sprite_.pixels.assign(size_t(width) * height * 4, 0);
    Canvas canvas = CanvasOf(&sprite_);
    PixelRect client = DrawWindow(canvas, canvas.Bounds(), "photo - viewer", Rgb(30, 30, 30));
    PixelRect picture{client.left + 8, client.top + 8, client.right - 8, client.bottom - 40};
    SceneRandom random(MixSeed(setting_.seed, 22));
    if (setting_.pictures != nullptr && !setting_.pictures->empty()) {
      const ScenePictures& pictures = *setting_.pictures;
      BlitScaled(canvas, picture, pictures[size_t(random.Below(int(pictures.size())))]);
    } else {
      FillGradient(canvas, picture, Rgb(30, 60, 120), Rgb(200, 140, 60));
    }
    std::string caption = NextLine(&random, client.Width() / 2, 2);
    DrawText(canvas, client.left + 12, client.bottom - 30, caption, Rgb(220, 220, 220), 2);
  }

  // A loop over the desktop that reaches close to every edge.
  PixelRect Position(const Canvas& canvas) const {
    double t = 2 * kPi * double(frame_ % kLoopFrames) / kLoopFrames;
    double rangeX = (canvas.width - sprite_.width) / 2.0;
    double rangeY = (canvas.height - sprite_.height) / 2.0;
    LONG x = LONG(std::lround(rangeX + rangeX * 0.95 * std::sin(t)));
    LONG y = LONG(std::lround(rangeY + rangeY * 0.9 * std::sin(2 * t + 0.7)));
    return {x, y, x + sprite_.width, y + sprite_.height};
  }

  SceneSetting setting_;
  BgrxImage background_;
  BgrxImage sprite_;
  PixelRect at_;
  int frame_ = 0;
};

}  // namespace

std::unique_ptr<Scene> MakeDragScene(const SceneSetting& setting) {
  return std::make_unique<DragScene>(setting);
}

}  // namespace kxsim
