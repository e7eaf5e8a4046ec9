// Desktop scenes: what a display driver's desktop shows and which rectangles change, frame by
// frame at 60 frames a second, as the compositor would report them. A scene owns no pixels: it
// draws on the canvas it is given each time (the display driver's surface), which keeps what the
// scene drew before. Everything a scene does follows from its seed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/display/canvas.h"

namespace kxsim {

constexpr int kSceneFramesPerSecond = 60;

class Scene {
 public:
  virtual ~Scene() = default;
  // Draws the scene's first picture over the whole canvas (all of it changed).
  virtual void Start(const Canvas& canvas) = 0;
  // Moves on by one frame and appends each rectangle it changed; none when nothing changed. The
  // rectangles lie inside the canvas and cover every pixel that changed.
  virtual void Step(const Canvas& canvas, std::vector<PixelRect>* damage) = 0;
};

// Pictures a scene may show (the corpus, loaded by the caller).
using ScenePictures = std::vector<BgrxImage>;

struct SceneSetting {
  int width = 0;
  int height = 0;
  uint64_t seed = 0;
  // How many frames the scene will run, so that a slide show can pace its pictures.
  int frames = kSceneFramesPerSecond;
  const ScenePictures* pictures = nullptr;  // may be empty or absent
};

// "typing", "drag", "scroll", "video", "corpus", in the order the demo shows them.
const std::vector<std::string>& SceneNames();
bool IsSceneName(const std::string& name);
// A one-line description for usage texts and reports.
const char* SceneDescription(const std::string& name);
// nullptr for an unknown name, or for "corpus" without pictures.
std::unique_ptr<Scene> MakeScene(const std::string& name, const SceneSetting& setting);

}  // namespace kxsim
