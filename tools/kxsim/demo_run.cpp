#include "demo_run.h"

#include <chrono>
#include <cmath>

#include "demo_desk.h"
#include "demo_progress.h"
#include "host/hostk/clock.h"
#include "host/hostk/registry.h"
#include "host/hostk/verifier.h"
#include "libjpeg_peer.h"

namespace kxsim {
namespace {

constexpr LONGLONG kDrainLimit = 120 * kOneSecond;

struct Screen {
  DeskDisplay* desk;
  DisplayResult* result;
  std::unique_ptr<Scene> scene;
};

// The scenes in turn on every display, with the bookkeeping of what went out.
class Timeline {
 public:
  Timeline(VirtualDesk* desk, const DemoOptions& options, const ScenePictures& pictures,
           DemoResult* result, DemoProgress* progress)
      : desk_(desk), options_(options), pictures_(pictures), result_(result),
        progress_(progress) {}

  void Run() {
    std::vector<std::string> names = DemoScenes(options_);
    int total = std::max(1, int(std::lround(options_.seconds * kSceneFramesPerSecond)));
    std::vector<int> frames = ShareFrames(total, names.size());
    for (size_t i = 0; i < names.size(); i++) RunScene(names[i], frames[i], i);
    progress_->Finish(Figures());
  }

 private:
  void RunScene(const std::string& name, int frames, size_t index) {
    SceneResult scene;
    scene.name = name;
    scene.frames = frames;
    scene.startTime = hostk::ClockNow();
    ULONGLONG bytes = Port().Counters().bytesOut;
    ULONG rectangles = desk_->Session().Adapter().Rectangles();
    std::vector<Screen> screens = MakeScreens(name, frames, index);
    for (int frame = 0; frame < frames; frame++) {
      WaitFor(scene.startTime + LONGLONG(frame) * kOneSecond / kSceneFramesPerSecond);
      for (Screen& screen : screens) scene.presents += Show(&screen, frame);
      Sample();
    }
    WaitFor(scene.startTime + LONGLONG(frames) * kOneSecond / kSceneFramesPerSecond);
    Drain(&scene);
    scene.endTime = hostk::ClockNow();
    scene.wireBytes = Port().Counters().bytesOut - bytes;
    scene.rectanglesSent = desk_->Session().Adapter().Rectangles() - rectangles;
    result_->scenes.push_back(scene);
  }

  std::vector<Screen> MakeScreens(const std::string& name, int frames, size_t index) {
    std::vector<Screen> screens;
    std::vector<DeskDisplay>& displays = desk_->Displays();
    for (size_t d = 0; d < displays.size(); d++) {
      SceneSetting setting;
      setting.width = displays[d].width;
      setting.height = displays[d].height;
      setting.seed = options_.seed * 1000003 + d * 101 + index;
      setting.frames = frames;
      setting.pictures = &pictures_;
      screens.push_back({&displays[d], &result_->displays[d], MakeScene(name, setting)});
      if (screens.back().scene == nullptr) {
        result_->failures.push_back("display " + std::to_string(displays[d].id) +
                                    ": no scene " + name + " (the corpus needs pictures)");
      }
    }
    return screens;
  }

  // Frame 0 is the scene's first picture, the whole output; then one step a frame. 1 when the
  // frame changed something.
  int Show(Screen* screen, int frame) {
    if (screen->scene == nullptr) return 0;
    std::vector<PixelRect> damage;
    if (frame == 0) {
      screen->scene->Start(screen->desk->surface);
      damage.push_back(screen->desk->surface.Bounds());
    } else {
      screen->scene->Step(screen->desk->surface, &damage);
    }
    for (const PixelRect& rect : damage) Present(screen, rect);
    if (damage.empty()) return 0;
    screen->result->presents++;
    presents_++;
    return 1;
  }

  void Present(Screen* screen, const PixelRect& rect) {
    NTSTATUS status =
        screen->desk->driver->PresentSurface(rect.left, rect.top, rect.right, rect.bottom);
    screen->result->presentRequests++;
    screen->result->presentedPixels += rect.Area();
    if (!NT_SUCCESS(status) && failedPresents_++ == 0) {
      result_->failures.push_back("display " + std::to_string(screen->desk->id) +
                                  ": IOCTL_DISPLAY_PRESENT failed with " + StatusText(status));
    }
  }

  // The worker drains, then every far side is compared with its last presented picture.
  void Drain(SceneResult* scene) {
    if (!desk_->WaitUntilIdle(kDrainLimit)) {
      result_->failures.push_back("the frame worker was still sending " +
                                  std::to_string(kDrainLimit / kOneSecond) +
                                  " s after the scene " + scene->name);
    }
    Sample();
    std::vector<DeskDisplay>& displays = desk_->Displays();
    for (size_t d = 0; d < displays.size(); d++) {
      FarSideComparison check = Check(displays[d]);
      DisplayResult& display = result_->displays[d];
      display.lastCheck = check;
      display.staleBlocks += check.staleBlocks;
      scene->staleBlocks += check.staleBlocks;
      if (!check.ok) {
        result_->failures.push_back("display " + std::to_string(displays[d].id) + ": " +
                                    check.error);
      }
    }
  }

  FarSideComparison Check(const DeskDisplay& display) {
    std::optional<FarDisplayState> far = desk_->Session().Adapter().Display(display.id);
    FarSideComparison missing;
    missing.error = "the far side has no such display";
    if (!far) return missing;
    return CompareFarSide(Snapshot(display.surface), far->rgb, options_.quality,
                          options_.sampling);
  }

  void WaitFor(LONGLONG due) {
    LONGLONG now = hostk::ClockNow();
    if (due > now) desk_->Session().Settle(due - now);
  }

  void Sample() {
    result_->samples.push_back({hostk::ClockNow(), Port().Counters().bytesOut});
    progress_->Update(Figures());
  }

  ProgressFigures Figures() {
    ProgressFigures figures;
    figures.virtualTime = hostk::ClockNow() - result_->samples.front().time;
    figures.presents = presents_;
    figures.rectangles = desk_->Session().Adapter().Rectangles();
    figures.wireBytes = Port().Counters().bytesOut - result_->samples.front().bytes;
    return figures;
  }

  SimulatedUsbPort& Port() { return desk_->Session().Port(); }

  VirtualDesk* desk_;
  const DemoOptions& options_;
  const ScenePictures& pictures_;
  DemoResult* result_;
  DemoProgress* progress_;
  ULONGLONG presents_ = 0;
  ULONGLONG failedPresents_ = 0;
};

// What the far side holds for each display, and the worker's time shared out by pixels sent.
void Gather(VirtualDesk* desk, LONGLONG workerTime, DemoResult* result) {
  VirtualAdapter& adapter = desk->Session().Adapter();
  ULONGLONG allPixels = 0;
  for (size_t d = 0; d < result->displays.size(); d++) {
    DisplayResult& display = result->displays[d];
    display.presented = Snapshot(desk->Displays()[d].surface);
    std::optional<FarDisplayState> far = adapter.Display(display.id);
    if (!far) continue;
    display.rectanglesSent = far->rectangles;
    display.sentPixels = far->pixels;
    display.payloadBytes = far->payloadBytes;
    display.wireBytes = far->wireBytes;
    display.farRgb = far->rgb;
    if (display.farRgb.size() == display.presented.pixels.size() / 4 * 3) {
      display.psnr = Psnr(display.presented, display.farRgb);
    }
    allPixels += far->pixels;
  }
  for (DisplayResult& display : result->displays) {
    if (allPixels == 0) break;
    display.workerTime = LONGLONG(double(workerTime) * double(display.sentPixels) / allPixels);
  }
  result->workerTime = workerTime;
  result->violations = adapter.ViolationTotal();
  result->violationDetails = adapter.ViolationDetails();
}

bool SetUp(const DemoOptions& options, VirtualDesk* desk, DemoResult* result) {
  std::string error;
  std::vector<DisplayModeEntry> modes;
  for (int i = 0; i < options.displays; i++) modes.push_back(DemoDisplayMode(i));
  if (!desk->Plug(options, &error) || !desk->AttachDisplays(modes, &error)) {
    result->failures.push_back(error);
    return false;
  }
  result->driverUsbSpeed = desk->DriverUsbSpeed();
  result->interfaceName = desk->InterfaceName();
  for (DeskDisplay& display : desk->Displays()) {
    DisplayResult entry;
    entry.id = display.id;
    entry.width = display.width;
    entry.height = display.height;
    entry.instancePath = display.instancePath;
    result->displays.push_back(entry);
  }
  return true;
}

}  // namespace

std::vector<int> ShareFrames(int totalFrames, size_t scenes) {
  std::vector<int> frames;
  if (scenes == 0) return frames;
  int share = std::max(1, totalFrames / int(scenes));
  frames.assign(scenes, share);
  frames[0] += std::max(0, totalFrames - share * int(scenes));
  return frames;
}

bool RunDemo(const DemoOptions& options, const ScenePictures& pictures, bool progress,
             DemoResult* result) {
  bool ticks = !hostk::UsePreciseTimers();
  result->speed = options.usb;
  VirtualDesk desk;
  bool ready = SetUp(options, &desk, result);
  if (ready) {
    DemoProgress line(progress);
    result->samples.push_back({hostk::ClockNow(), desk.Session().Port().Counters().bytesOut});
    LONGLONG workerStart = hostk::SystemThreadProcessorTime();
    auto wallStart = std::chrono::steady_clock::now();
    Timeline(&desk, options, pictures, result, &line).Run();
    result->wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    result->virtualTime = result->samples.back().time - result->samples.front().time;
    result->wireBytes = result->samples.back().bytes - result->samples.front().bytes;
    Gather(&desk, hostk::SystemThreadProcessorTime() - workerStart, result);
  }
  result->registry = hostk::RegistryExportReg();
  std::string error;
  if (!desk.Unplug(&error)) result->failures.push_back(error);
  result->leaks = hostk::LeakReport();
  if (ticks) hostk::UsePreciseTimers(false);
  return ready;
}

}  // namespace kxsim
