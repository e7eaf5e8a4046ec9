// The corpus pictures shown in turn, each scaled to the whole display for an equal share of the
// scene's frames: a present of the whole output at each change, nothing in between.
#include "sim/display/scene_factories.h"

namespace kxsim {
namespace {

class CorpusScene : public Scene {
 public:
  explicit CorpusScene(const SceneSetting& setting) : setting_(setting) {}

  void Start(const Canvas& canvas) override {
    frame_ = 0;
    shown_ = 0;
    BlitScaled(canvas, canvas.Bounds(), Picture(shown_));
  }

  void Step(const Canvas& canvas, std::vector<PixelRect>* damage) override {
    frame_++;
    size_t due = PictureAt(frame_);
    if (due == shown_) return;
    shown_ = due;
    BlitScaled(canvas, canvas.Bounds(), Picture(shown_));
    damage->push_back(canvas.Bounds());
  }

 private:
  const BgrxImage& Picture(size_t index) const { return (*setting_.pictures)[index]; }

  size_t PictureAt(int frame) const {
    size_t count = setting_.pictures->size();
    int frames = std::max(1, setting_.frames);
    return std::min(count - 1, size_t(frame) * count / size_t(frames));
  }

  SceneSetting setting_;
  int frame_ = 0;
  size_t shown_ = 0;
};

}  // namespace

std::unique_ptr<Scene> MakeCorpusScene(const SceneSetting& setting) {
  if (setting.pictures == nullptr || setting.pictures->empty()) return nullptr;
  return std::make_unique<CorpusScene>(setting);
}

}  // namespace kxsim
