#include "pipeline_bench.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "adapter_session.h"
#include "bench_support.h"
#include "encode_timer.h"
#include "host/hostk/clock.h"
#include "jpeg/jpeg.h"
#include "sim/display/glyphs.h"
#include "wire_watch.h"

namespace kxsim {
namespace {


// The clocks at one moment.
struct Clocks {
  std::chrono::steady_clock::time_point wall;
  double process = 0;
  double thread = 0;
  double systemThreads = 0;
  double encoder = 0;

  static Clocks Now(bool withSystemThreads) {
    Clocks now;
    now.wall = std::chrono::steady_clock::now();
    now.process = ProcessProcessorSeconds();
    now.thread = ThreadProcessorSeconds();
    if (withSystemThreads) now.systemThreads = double(hostk::SystemThreadProcessorTime()) / 1e7;
    now.encoder = TimedEncoderSeconds();
    return now;
  }
  RunCost Since(const Clocks& start) const {
    RunCost cost;
    cost.wall = std::chrono::duration<double>(wall - start.wall).count();
    cost.process = process - start.process;
    cost.calls = thread - start.thread;
    cost.driver = cost.calls + systemThreads - start.systemThreads;
    cost.encoder = encoder - start.encoder;
    return cost;
  }
};

// Each damaged row lies within the rectangles sent for the frame (their union, row by row).
bool Covers(const std::vector<PixelRect>& sent, const std::vector<PixelRect>& damage) {
  std::vector<std::pair<LONG, LONG>> spans;
  for (const PixelRect& rect : damage) {
    for (LONG y = rect.top; y < rect.bottom; y++) {
      spans.clear();
      for (const PixelRect& s : sent) {
        if (s.top <= y && y < s.bottom) spans.emplace_back(s.left, s.right);
      }
      std::sort(spans.begin(), spans.end());
      LONG reached = rect.left;
      for (const auto& span : spans) {
        if (span.first > reached) break;
        reached = std::max(reached, span.second);
      }
      if (reached < rect.right) return false;
    }
  }
  return true;
}

ULONGLONG AreaOf(const std::vector<PixelRect>& rects) {
  ULONGLONG area = 0;
  for (const PixelRect& rect : rects) area += rect.Area();
  return area;
}

class PipelineBench {
 public:
  PipelineBench(const PipelineBenchSetting& setting, PipelineBenchResult* result)
      : setting_(setting), result_(result) {}

  bool Run(std::string* error) {
    bool ok = SetUp(error) && WarmUp(error) && Measure(error);
    std::string finishError;
    if (!Finish(&finishError) && ok) {
      *error = finishError;
      ok = false;
    }
    return ok;
  }

 private:
  bool SetUp(std::string* error) {
    SessionOptions options;
    options.adapter.decodeFrames = false;
    options.parameters = setting_.parameters;
    options.device = [this](std::shared_ptr<UsbDeviceModel> device) {
      watch_ = std::make_shared<WireWatch>(std::move(device));
      return watch_;
    };
    if (!session_.Plug(options, setting_.quality, setting_.sampling, error)) return false;
    child_ = session_.AddChild(kSingleChannel, kSingleDisplayId);
    if (child_ == nullptr) {
      *error = "the child device could not be created";
      return false;
    }
    NTSTATUS status =
        session_.SetMode(child_, USHORT(setting_.width), USHORT(setting_.height));
    if (!NT_SUCCESS(status)) {
      *error = "IOCTL_DISPLAY_SET_MODE failed with " + StatusText(status);
      return false;
    }
    pitch_ = setting_.width * 4;
    surface_ = std::make_unique<hostk::UserBuffer>(size_t(pitch_) * setting_.height);
    scratch_.width = setting_.width;
    scratch_.height = setting_.height;
    scratch_.pixels.assign(size_t(pitch_) * setting_.height, 0);
    output_.assign(size_t(16) * setting_.width * setting_.height + 65536, 0);
    size_t storeBytes = (size_t(pitch_) * setting_.height + kPageBytes - 1) / kPageBytes * kPageBytes;
    store_.reset(static_cast<uint8_t*>(std::aligned_alloc(kPageBytes, storeBytes)));
    if (store_ == nullptr) {
      *error = "no memory for the copy's store";
      return false;
    }
    std::memset(store_.get(), 0, storeBytes);
    for (const std::string& name : setting_.scenes) {
      if (!IsSceneName(name)) {
        *error = "no scene " + name;
        return false;
      }
      result_->scenes.push_back(SceneBenchResult{});
      result_->scenes.back().name = name;
      result_->scenes.back().frames = setting_.frames;
    }
    sentPerFrame_.resize(setting_.scenes.size());
    if (setting_.glyphs > 0) DrawGlyphPage();
    return true;
  }

  std::unique_ptr<Scene> NewScene(size_t index) const {
    SceneSetting scene;
    scene.width = setting_.width;
    scene.height = setting_.height;
    scene.seed = setting_.seed * 1000003 + index;
    scene.frames = setting_.frames + 1;
    scene.pictures = setting_.pictures;
    return MakeScene(setting_.scenes[index], scene);
  }

  Canvas SurfaceCanvas() const {
    return CanvasOver(surface_->Data(), setting_.width, setting_.height, size_t(pitch_));
  }

  // Presents `rects` and waits for the worker to put them on the wire.
  bool PresentAndSettle(const std::vector<PixelRect>& rects, std::string* error) {
    for (const PixelRect& rect : rects) {
      NTSTATUS status = session_.Present(child_, *surface_, pitch_, rect);
      if (!NT_SUCCESS(status)) {
        *error = "IOCTL_DISPLAY_PRESENT failed with " + StatusText(status);
        return false;
      }
    }
    session_.Settle(kSettleAfterPresents);
    return true;
  }

  // The rectangles sent since the last call into `sent`, checked against what the far side
  // counted since it showed `before`.
  bool TakeSent(ULONG before, std::vector<PixelRect>* sent, std::string* error) {
    std::vector<SentRect> wire = watch_->Take();
    ULONG counted = session_.Adapter().Rectangles() - before;
    result_->wireRectangles += ULONG(wire.size());
    if (counted != wire.size()) {
      *error = "the far side counted " + std::to_string(counted) + " of " +
               std::to_string(wire.size()) + " rectangles sent";
      return false;
    }
    for (const SentRect& rect : wire) sent->push_back(rect.rect);
    return true;
  }

  // The scene's first picture, untimed; then each frame's damage presented and waited out, timed
  // from the first present to the worker idle, the drawing between frames untimed. With `record`
  // the rectangles sent for each frame are kept for the encoder alone.
  bool RunScenePipeline(size_t index, bool record, std::string* error) {
    SceneBenchResult& scene = result_->scenes[index];
    std::unique_ptr<Scene> play = NewScene(index);
    Canvas canvas = SurfaceCanvas();
    play->Start(canvas);
    std::vector<PixelRect> sent;
    ULONG before = session_.Adapter().Rectangles();
    if (!PresentAndSettle({canvas.Bounds()}, error) || !TakeSent(before, &sent, error)) {
      return false;
    }
    RunCost cost;
    ULONGLONG pixels = 0;
    ULONG presents = 0;
    std::vector<PixelRect> damage;
    for (int frame = 0; frame < setting_.frames; frame++) {
      damage.clear();
      play->Step(canvas, &damage);
      sent.clear();
      if (!damage.empty()) {
        before = session_.Adapter().Rectangles();
        Clocks start = Clocks::Now(true);
        if (!PresentAndSettle(damage, error)) return false;
        cost += Clocks::Now(true).Since(start);
        if (!TakeSent(before, &sent, error)) return false;
      }
      if (!Covers(sent, damage)) scene.damageCovered = false;
      presents += ULONG(damage.size());
      pixels += AreaOf(sent);
      if (record) {
        sentPerFrame_[index].push_back(sent);
        scene.sentRectangles += ULONG(sent.size());
      }
    }
    if (record) {
      scene.presents = presents;
      scene.sentPixels = pixels;
      return true;
    }
    scene.pipeline.push_back(cost);
    scene.pipelinePixels.push_back(pixels);
    return true;
  }

  bool Encode(const BgrxImage& image, const PixelRect& rect, std::string* error) {
    size_t length;
    return encoder_.EncodeRect(image, rect, setting_.quality, setting_.sampling, &output_,
                               &length, error);
  }

  // Scene `index` played on `canvas`, the drawing untimed and `work(frame, rects)` timed after
  // each frame's drawing, with `rects(frame, damage)` the frame's rectangles to work on (a frame
  // without any is not timed, so that the clocks' own cost stays out); false when the work failed.
  template <typename Rects, typename Work>
  bool PlayTimed(size_t index, const Canvas& canvas, Rects rects, Work work, RunCost* cost) {
    std::unique_ptr<Scene> play = NewScene(index);
    play->Start(canvas);
    std::vector<PixelRect> damage;
    for (int frame = 0; frame < setting_.frames; frame++) {
      damage.clear();
      play->Step(canvas, &damage);
      const std::vector<PixelRect>& todo = rects(frame, damage);
      if (todo.empty()) continue;
      Clocks start = Clocks::Now(false);
      if (!work(todo)) return false;
      *cost += Clocks::Now(false).Since(start);
    }
    return true;
  }

  // The same scene drawn into memory of our own, each frame's sent rectangles encoded from it.
  bool RunSceneEncoder(size_t index, bool record, std::string* error) {
    RunCost cost;
    auto sent = [&](int frame, const std::vector<PixelRect>&) -> const std::vector<PixelRect>& {
      return sentPerFrame_[index][size_t(frame)];
    };
    auto encode = [&](const std::vector<PixelRect>& rects) {
      for (const PixelRect& rect : rects) {
        if (!Encode(scratch_, rect, error)) return false;
      }
      return true;
    };
    if (!PlayTimed(index, CanvasOf(&scratch_), sent, encode, &cost)) return false;
    if (!record) result_->scenes[index].encoder.push_back(cost);
    return true;
  }

  // The scene drawn into the surface as for the pipeline, and each frame's damage copied row by
  // row into a page-aligned buffer at the offsets the store has (the pool places a store of a
  // page or more at a page, so the two keep the same offsets within their pages).
  bool RunSceneCopy(size_t index, bool record) {
    RunCost cost;
    auto damaged = [](int, const std::vector<PixelRect>& damage) -> const std::vector<PixelRect>& {
      return damage;
    };
    auto copy = [&](const std::vector<PixelRect>& rects) {
      for (const PixelRect& rect : rects) CopyRows(rect);
      return true;
    };
    PlayTimed(index, SurfaceCanvas(), damaged, copy, &cost);
    if (!record) result_->scenes[index].copy.push_back(cost);
    return true;
  }

  void CopyRows(const PixelRect& rect) {
    size_t row = size_t(rect.Width()) * 4;
    for (int32_t y = rect.top; y < rect.bottom; y++) {
      size_t at = size_t(pitch_) * size_t(y) + size_t(rect.left) * 4;
      std::memcpy(store_.get() + at, surface_->Data() + at, row);
    }
  }

  PixelRect GlyphCell(int index) const { return kxsim::GlyphCell(index, setting_.width); }

  // A page of characters, one in each 16 x 16 cell, so that every glyph present sends new
  // pixels.
  void DrawGlyphPage() {
    LONG cells = (setting_.width / kGlyphCell) * (setting_.height / kGlyphCell);
    glyphs_ = std::min<int>(setting_.glyphs, int(cells));
    result_->glyph.presents = glyphs_;
    glyphPage_.width = setting_.width;
    glyphPage_.height = setting_.height;
    glyphPage_.pixels.assign(size_t(pitch_) * setting_.height, 0xFF);
    DrawGlyphLetters(CanvasOf(&glyphPage_), glyphs_);
  }

  // Each glyph presented and waited out to its last byte on the wire, one after another; the
  // worker must have sent one rectangle for each, covering its cell.
  bool RunGlyphPipeline(bool record, std::string* error) {
    std::memcpy(surface_->Data(), glyphPage_.pixels.data(), glyphPage_.pixels.size());
    ULONG before = session_.Adapter().Rectangles();
    Clocks start = Clocks::Now(true);
    for (int i = 0; i < glyphs_; i++) {
      NTSTATUS status = session_.Present(child_, *surface_, pitch_, GlyphCell(i));
      if (!NT_SUCCESS(status)) {
        *error = "IOCTL_DISPLAY_PRESENT failed with " + StatusText(status);
        return false;
      }
      session_.Settle(kSettleAfterPresents);
    }
    RunCost cost = Clocks::Now(true).Since(start);
    std::vector<PixelRect> sent;
    if (!TakeSent(before, &sent, error)) return false;
    GlyphBenchResult& glyph = result_->glyph;
    glyph.wireRectangles += ULONG(sent.size());
    for (size_t i = 0; i < sent.size(); i++) {
      if (Covers({sent[i]}, {GlyphCell(int(i))})) glyph.coveringRectangles++;
      glyph.sentPixels += sent[i].Area();
    }
    if (sent.size() != size_t(glyphs_)) {
      *error = std::to_string(glyphs_) + " glyphs went as " + std::to_string(sent.size()) +
               " rectangles";
      return false;
    }
    if (record) {
      glyphSent_ = sent;
    } else {
      glyph.pipeline.push_back(cost);
    }
    return true;
  }

  bool RunGlyphEncoder(bool record, std::string* error) {
    Clocks start = Clocks::Now(false);
    for (const PixelRect& rect : glyphSent_) {
      if (!Encode(glyphPage_, rect, error)) return false;
    }
    if (!record) result_->glyph.encoder.push_back(Clocks::Now(false).Since(start));
    return true;
  }

  // Contender `c`: scene c / 3 through the pipeline, the encoder or the copy (c % 3 = 0, 1, 2);
  // past the scenes, the glyphs through the pipeline, then the encoder.
  bool RunContender(size_t c, bool warmUp, std::string* error) {
    size_t scenes = result_->scenes.size();
    if (c < kSceneContenders * scenes) {
      size_t scene = c / kSceneContenders;
      if (c % kSceneContenders == 1) return RunSceneEncoder(scene, warmUp, error);
      if (c % kSceneContenders == 2) return RunSceneCopy(scene, warmUp);
      // Timed in the scenes only: the timer's own cost would show in a glyph's short coding.
      TimeEncoderCalls(true);
      bool ran = RunScenePipeline(scene, warmUp, error);
      TimeEncoderCalls(false);
      return ran;
    }
    return c == kSceneContenders * scenes ? RunGlyphPipeline(warmUp, error)
                                          : RunGlyphEncoder(warmUp, error);
  }

  static constexpr size_t kSceneContenders = 3;

  size_t Contenders() const {
    return kSceneContenders * result_->scenes.size() + (glyphs_ > 0 ? 2 : 0);
  }

  // Each pipeline run before its encoder, which needs the rectangles it recorded.
  bool WarmUp(std::string* error) {
    for (size_t c = 0; c < Contenders(); c++) {
      if (!RunContender(c, true, error)) return false;
    }
    return true;
  }

  // Every contender once per round, the starting one rotating from round to round, so that a
  // neighbour's load falls on all of them alike.
  bool Measure(std::string* error) {
    size_t count = Contenders();
    for (int round = 0; round < setting_.rounds; round++) {
      for (size_t i = 0; i < count; i++) {
        if (!RunContender((i + size_t(round)) % count, false, error)) return false;
      }
    }
    return true;
  }

  bool Finish(std::string* error) {
    VirtualAdapter& adapter = session_.Adapter();
    result_->farRectangles = adapter.Rectangles();
    result_->violations = adapter.ViolationTotal();
    bool ok = true;
    if (result_->violations != 0) {
      *error = std::to_string(result_->violations) + " protocol violations:";
      for (const std::string& line : session_.Violations()) *error += "\n  " + line;
      ok = false;
    }
    for (const SceneBenchResult& scene : result_->scenes) {
      if (ok && !scene.damageCovered) {
        *error = "a frame of the scene " + scene.name + " had damage the worker did not send";
        ok = false;
      }
    }
    surface_.reset();
    encoder_.Release();
    NTSTATUS status = session_.Remove();
    if (ok && !NT_SUCCESS(status)) {
      *error = "removing the device failed with " + StatusText(status);
      ok = false;
    }
    return ok;
  }

  const PipelineBenchSetting& setting_;
  PipelineBenchResult* result_;
  AdapterSession session_;
  std::shared_ptr<WireWatch> watch_;
  PDEVICE_OBJECT child_ = nullptr;
  std::unique_ptr<hostk::UserBuffer> surface_;  // the display driver's surface, in user memory
  LONG pitch_ = 0;
  BgrxImage scratch_;    // where the encoder alone's scenes draw
  BgrxImage glyphPage_;  // a character in each cell
  int glyphs_ = 0;
  std::vector<PixelRect> glyphSent_;  // what the worker sent for the glyphs in the warm-up
  std::vector<uint8_t> output_;
  struct FreeStore {
    void operator()(uint8_t* at) const { std::free(at); }
  };
  static constexpr size_t kPageBytes = 4096;
  std::unique_ptr<uint8_t[], FreeStore> store_;  // where the copy's rows go
  KeptEncoder encoder_;  // kept from rectangle to rectangle, as the worker keeps its own
  // For each scene, the rectangles the worker sent for each timed frame of the warm-up.
  std::vector<std::vector<std::vector<PixelRect>>> sentPerFrame_;
};

double MedianOf(const std::vector<RunCost>& costs, double RunCost::*field) {
  std::vector<double> values;
  for (const RunCost& cost : costs) values.push_back(cost.*field);
  return values.empty() ? 0 : Median(values);
}

}  // namespace

RunCost& RunCost::operator+=(const RunCost& other) {
  wall += other.wall;
  process += other.process;
  driver += other.driver;
  calls += other.calls;
  encoder += other.encoder;
  return *this;
}

double SceneBenchResult::PipelineRate() const {
  std::vector<double> rates;
  for (size_t i = 0; i < pipeline.size(); i++) {
    rates.push_back(double(pipelinePixels[i]) / pipeline[i].wall / 1e6);
  }
  return rates.empty() ? 0 : Median(rates);
}

double SceneBenchResult::EncoderRate() const {
  double seconds = MedianOf(encoder, &RunCost::wall);
  return seconds > 0 ? double(sentPixels) / seconds / 1e6 : 0;
}

double SceneBenchResult::ProcessPerSceneSecond() const {
  return MedianOf(pipeline, &RunCost::process) * kSceneFramesPerSecond / frames;
}

double SceneBenchResult::DriverPerSceneSecond() const {
  return MedianOf(pipeline, &RunCost::driver) * kSceneFramesPerSecond / frames;
}

double SceneBenchResult::CallsPerSceneSecond() const {
  return MedianOf(pipeline, &RunCost::calls) * kSceneFramesPerSecond / frames;
}

double SceneBenchResult::DriverEncoderPerSceneSecond() const {
  return MedianOf(pipeline, &RunCost::encoder) * kSceneFramesPerSecond / frames;
}

double SceneBenchResult::EncoderPerSceneSecond() const {
  return MedianOf(encoder, &RunCost::process) * kSceneFramesPerSecond / frames;
}

double SceneBenchResult::CopyPerSceneSecond() const {
  return MedianOf(copy, &RunCost::process) * kSceneFramesPerSecond / frames;
}

std::vector<double> SceneBenchResult::RoundDriverOverEncoder() const {
  std::vector<double> ratios;
  for (size_t i = 0; i < pipeline.size() && i < encoder.size(); i++) {
    if (encoder[i].process > 0) ratios.push_back(pipeline[i].driver / encoder[i].process);
  }
  return ratios;
}

double GlyphBenchResult::ProcessMicroseconds() const {
  return MedianOf(pipeline, &RunCost::process) / presents * 1e6;
}

double GlyphBenchResult::DriverMicroseconds() const {
  return MedianOf(pipeline, &RunCost::driver) / presents * 1e6;
}

double GlyphBenchResult::EncoderMicroseconds() const {
  return MedianOf(encoder, &RunCost::process) / presents * 1e6;
}

bool BenchPipeline(const PipelineBenchSetting& setting, PipelineBenchResult* result,
                   std::string* error) {
  return PipelineBench(setting, result).Run(error);
}

}  // namespace kxsim
