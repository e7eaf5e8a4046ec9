#include "bench_all.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <vector>

#include "bench_parallel.h"
#include "layer_bench.h"
#include "bench_support.h"
#include "encoder_bench.h"
#include "host/hostk.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "libjpeg_peer.h"
#include "pipeline_bench.h"
#include "png_file.h"
#include "present_bench.h"

namespace kxsim {
namespace {

const char* const kParts[] = {"encode", "present", "glyph", "outputs", "parallel", "layers"};

struct EncoderSettingName {
  int quality;
  int sampling;
  const char* name;
};
const EncoderSettingName kEncoderSettings[] = {
    {75, 3, "q75 4:2:0"}, {90, 0, "q90 4:4:4"}, {50, 1, "q50 4:2:2"}};

// The demo's scenes in the roles the picture asks for: typing, a window dragged, a page
// scrolled, a video.
const char* const kScenes[] = {"typing", "drag", "scroll", "video"};

// The output of the present, glyph and outputs parts: the demo's first display.
constexpr int kOutputWidth = 1920;
constexpr int kOutputHeight = 1080;
// The parallel part's frame: the size of the demo's second display.
constexpr int kParallelWidth = 2560;
constexpr int kParallelHeight = 1440;

// The one image of --quick: text and interface, what a desktop mostly sends.
constexpr const char* kQuickImage = "doc-gui-1.png";

// What the plan comes to: images, rounds and sizes of each part.
struct Resolved {
  std::vector<std::string> images;
  int encodeRounds = 15;
  int presentRounds = 5;
  int pipelineRounds = 5;
  int sceneFrames = kSceneFramesPerSecond;
  int glyphs = 1000;
  bool Wants(const BenchPlan& plan, const char* part) const {
    return plan.parts.empty() || plan.parts.count(part) != 0;
  }
};

// One JSON object on one line.
class JsonLine {
 public:
  explicit JsonLine(const char* part) { Add("part", part); }
  JsonLine& Add(const char* key, const std::string& value) {
    Key(key);
    body_ += '"';
    for (char c : value) {
      if (c == '"' || c == '\\') {
        body_ += '\\';
        body_ += c;
      } else if (static_cast<unsigned char>(c) < 0x20) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
        body_ += escaped;
      } else {
        body_ += c;
      }
    }
    body_ += '"';
    return *this;
  }
  JsonLine& Add(const char* key, const char* value) { return Add(key, std::string(value)); }
  // A figure; one that is not finite (no rounds, a zero time) is null.
  JsonLine& Number(const char* key, double value) {
    Key(key);
    if (!std::isfinite(value)) {
      body_ += "null";
      return *this;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    body_ += text;
    return *this;
  }
  JsonLine& Count(const char* key, unsigned long long value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
  }
  JsonLine& Flag(const char* key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
  }
  void WriteTo(std::FILE* out) const { std::fprintf(out, "{%s}\n", body_.c_str()); }

 private:
  void Key(const char* key) {
    if (!body_.empty()) body_ += ',';
    body_ += '"';
    body_ += key;
    body_ += "\":";
  }
  std::string body_;
};

std::string Size(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

double Lowest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Highest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// ---- 1. The encoder against libjpeg-turbo.

bool RunEncodePart(const BenchPlan& plan, const Resolved& resolved, std::FILE* out,
                   std::string* error) {
  std::vector<const JpegStageRoutines*> levels = EncoderLevels(false);
  std::vector<std::vector<EncoderImageResult>> results(std::size(kEncoderSettings));
  for (size_t s = 0; s < std::size(kEncoderSettings); s++) {
    EncoderSetting setting{kEncoderSettings[s].quality, kEncoderSettings[s].sampling,
                           resolved.encodeRounds};
    for (const std::string& path : resolved.images) {
      EncoderImageResult result;
      if (!BenchEncoderImage(path, setting, levels, &result, error)) return false;
      results[s].push_back(result);
    }
  }
  if (plan.json) {
    for (size_t s = 0; s < results.size(); s++) {
      std::vector<double> ratios;
      for (const EncoderImageResult& r : results[s]) {
        ratios.push_back(r.Ratio());
        JsonLine("encode")
            .Add("setting", kEncoderSettings[s].name)
            .Count("quality", kEncoderSettings[s].quality)
            .Count("sampling", kEncoderSettings[s].sampling)
            .Add("image", r.name)
            .Count("width", r.width)
            .Count("height", r.height)
            .Number("ours_mps", r.Rate(r.Ours()))
            .Number("libjpeg_turbo_mps", r.Rate(r.Theirs()))
            .Number("ratio", r.Ratio())
            .Count("ours_bytes", r.Ours().length)
            .Count("libjpeg_turbo_bytes", r.Theirs().length)
            .Number("ours_psnr", r.oursPsnr)
            .Number("libjpeg_turbo_psnr", r.theirsPsnr)
            .WriteTo(out);
      }
      JsonLine("encode-summary")
          .Add("setting", kEncoderSettings[s].name)
          .Count("quality", kEncoderSettings[s].quality)
          .Count("sampling", kEncoderSettings[s].sampling)
          .Count("images", results[s].size())
          .Count("rounds", resolved.encodeRounds)
          .Number("geometric_mean", GeometricMean(ratios))
          .Number("lowest", Lowest(ratios))
          .WriteTo(out);
    }
    return true;
  }
  std::fprintf(out,
               "1. Encoder against libjpeg-turbo: our megapixels a second over libjpeg-turbo's on "
               "the same image,\n   each encoder kept from image to image, median of %d rounds "
               "(our PSNR less theirs in brackets, dB)\n",
               resolved.encodeRounds);
  std::fprintf(out, "%-20s %-10s", "image", "pixels");
  for (const EncoderSettingName& setting : kEncoderSettings) {
    std::fprintf(out, " %17s", setting.name);
  }
  std::fprintf(out, "\n");
  std::vector<std::vector<double>> ratios(results.size());
  for (size_t i = 0; i < resolved.images.size(); i++) {
    const EncoderImageResult& first = results[0][i];
    std::fprintf(out, "%-20s %-10s", first.name.c_str(), Size(first.width, first.height).c_str());
    for (size_t s = 0; s < results.size(); s++) {
      const EncoderImageResult& r = results[s][i];
      ratios[s].push_back(r.Ratio());
      std::fprintf(out, " %8.2f (%+6.2f)", r.Ratio(), r.oursPsnr - r.theirsPsnr);
    }
    std::fprintf(out, "\n");
  }
  std::fprintf(out, "%-31s", "geometric mean");
  for (const auto& column : ratios) std::fprintf(out, " %8.2f         ", GeometricMean(column));
  std::fprintf(out, "\n%-31s", "lowest");
  for (const auto& column : ratios) std::fprintf(out, " %8.2f         ", Lowest(column));
  std::fprintf(out, "\n\n");
  return true;
}

// ---- 2. to 4.: the driver's path.

void PrintPresentPart(const BenchPlan& plan, const Resolved& resolved,
                      const std::vector<PresentImageResult>& images,
                      const PipelineBenchResult& pipeline, std::FILE* out) {
  std::vector<double> imageRatios, sceneRatios;
  for (const PresentImageResult& r : images) imageRatios.push_back(r.WholeRatio());
  for (const SceneBenchResult& s : pipeline.scenes) sceneRatios.push_back(s.Ratio());
  std::vector<double> ratios = imageRatios;
  ratios.insert(ratios.end(), sceneRatios.begin(), sceneRatios.end());
  if (plan.json) {
    for (const PresentImageResult& r : images) {
      JsonLine("present")
          .Add("source", "image")
          .Add("name", r.name)
          .Count("width", r.width)
          .Count("height", r.height)
          .Count("wire_rectangles", r.wholeRectangles)
          .Number("pipeline_mps", r.Rate(kPipelineWhole))
          .Number("encoder_mps", r.Rate(kEncoderWhole))
          .Number("ratio", r.WholeRatio())
          .Number("call_ms", r.CallMilliseconds())
          .Number("copy_ms", r.CopyMilliseconds())
          .Number("after_call_ms", r.AfterCallMilliseconds())
          .Number("encoder_ms", r.EncoderMilliseconds())
          .Count("wire_bytes", r.wholeBytes)
          .Count("run_wire_rectangles", r.wireRectangles)
          .Count("run_far_rectangles", r.farRectangles)
          .Count("violations", r.violations)
          .WriteTo(out);
    }
    for (const SceneBenchResult& s : pipeline.scenes) {
      JsonLine("present")
          .Add("source", "scene")
          .Add("name", s.name)
          .Count("width", kOutputWidth)
          .Count("height", kOutputHeight)
          .Count("frames", s.frames)
          .Count("presents", s.presents)
          .Count("wire_rectangles", s.sentRectangles)
          .Count("wire_pixels", s.sentPixels)
          .Number("pipeline_mps", s.PipelineRate())
          .Number("encoder_mps", s.EncoderRate())
          .Number("ratio", s.Ratio())
          .Flag("damage_sent", s.damageCovered)
          .WriteTo(out);
    }
    JsonLine("present-summary")
        .Count("rounds", resolved.presentRounds)
        .Count("scene_rounds", resolved.pipelineRounds)
        .Number("geometric_mean", GeometricMean(ratios))
        .Number("lowest", Lowest(ratios))
        .Number("images_geometric_mean", GeometricMean(imageRatios))
        .Number("scenes_geometric_mean", GeometricMean(sceneRatios))
        .Count("scene_wire_rectangles", pipeline.wireRectangles)
        .Count("scene_far_rectangles", pipeline.farRectangles)
        .Count("violations", pipeline.violations)
        .WriteTo(out);
    return;
  }
  std::fprintf(out,
               "2. Present to the wire against the encoder alone on the rectangles the worker "
               "sent, q75 4:2:0\n"
               "   pipe: from the first present to the last byte on the wire, the far side "
               "checking each frame's\n"
               "   framing without decoding it; enc: the encoder alone on the same rectangles of "
               "the same pixels.\n"
               "   Megapixels sent a second; images median of %d rounds, scenes (one second at "
               "1920 x 1080 after\n"
               "   the first picture, drawing between frames not timed) median of %d. Of an "
               "image's pipe, in ms:\n"
               "   call: the present call (pixels locked, mapped, copied into the store, "
               "unmapped; the rectangle\n"
               "   queued); copy: a plain copy of the same rows, right after; after: the "
               "worker's part, from the\n"
               "   call's return to the last byte; enc: the encoder alone\n",
               resolved.presentRounds, resolved.pipelineRounds);
  std::fprintf(out, "%-7s %-20s %-10s %6s %9s %9s %6s %8s %8s %8s %8s\n", "source", "name",
               "size", "rects", "pipe MP/s", "enc MP/s", "ratio", "call ms", "copy ms",
               "after ms", "enc ms");
  for (const PresentImageResult& r : images) {
    std::fprintf(out, "%-7s %-20s %-10s %6u %9.1f %9.1f %6.2f %8.2f %8.2f %8.2f %8.2f\n",
                 "image", r.name.c_str(), Size(r.width, r.height).c_str(),
                 unsigned(r.wholeRectangles), r.Rate(kPipelineWhole), r.Rate(kEncoderWhole),
                 r.WholeRatio(), r.CallMilliseconds(), r.CopyMilliseconds(),
                 r.AfterCallMilliseconds(), r.EncoderMilliseconds());
  }
  for (const SceneBenchResult& s : pipeline.scenes) {
    std::string frames = std::to_string(s.frames) + " frames";
    std::fprintf(out, "%-7s %-20s %-10s %6u %9.1f %9.1f %6.2f\n", "scene", s.name.c_str(),
                 frames.c_str(), unsigned(s.sentRectangles), s.PipelineRate(), s.EncoderRate(),
                 s.Ratio());
  }
  std::fprintf(out, "%-67s %6.2f\n%-67s %6.2f\n%-67s %6.2f\n%-67s %6.2f\n\n",
               "geometric mean, images", GeometricMean(imageRatios), "geometric mean, scenes",
               GeometricMean(sceneRatios), "geometric mean, all", GeometricMean(ratios),
               "lowest", Lowest(ratios));
}

double SentPerGlyph(const GlyphBenchResult& glyph) {
  return double(glyph.sentPixels) / glyph.wireRectangles;
}

void PrintGlyphPart(const BenchPlan& plan, const Resolved& resolved,
                    const GlyphBenchResult& glyph, std::FILE* out) {
  double ratio = glyph.ProcessMicroseconds() / glyph.EncoderMicroseconds();
  if (plan.json) {
    JsonLine("glyph")
        .Count("width", 16)
        .Count("height", 16)
        .Count("presents", glyph.presents)
        .Count("rounds", resolved.pipelineRounds)
        .Number("process_us", glyph.ProcessMicroseconds())
        .Number("driver_us", glyph.DriverMicroseconds())
        .Number("encoder_us", glyph.EncoderMicroseconds())
        .Number("process_over_encoder", ratio)
        .Count("wire_rectangles", glyph.wireRectangles)
        .Count("covering_rectangles", glyph.coveringRectangles)
        .Number("sent_pixels_per_glyph", SentPerGlyph(glyph))
        .Flag("far_side_decodes", false)
        .WriteTo(out);
    return;
  }
  std::fprintf(out,
               "3. One small update: a 16 x 16 glyph from the present request to its last byte on "
               "the wire,\n"
               "   processor time per glyph over %d presents each waited out, median of %d "
               "rounds.\n"
               "   process: the whole process's processor time: the present calls, the driver's "
               "frame worker and\n"
               "   link thread, the host kernel's scheduling and the simulated USB stack and far "
               "side, which checks\n"
               "   the frame's framing and does not decode. driver: the presenting thread "
               "(present calls and\n"
               "   waits) and the driver's own threads. encoder: the encoder alone on the "
               "rectangle sent for\n"
               "   the glyph (the grid alignment takes in the cells before it: pixels sent a "
               "glyph).\n",
               glyph.presents, resolved.pipelineRounds);
  std::fprintf(out, "%12s %12s %12s %18s %16s\n", "process us", "driver us", "encoder us",
               "process / encoder", "pixels sent");
  std::fprintf(out, "%12.1f %12.1f %12.2f %18.1f %16.0f\n\n", glyph.ProcessMicroseconds(),
               glyph.DriverMicroseconds(), glyph.EncoderMicroseconds(), ratio,
               SentPerGlyph(glyph));
}

// "drv/enc (lowest-highest)": the scene's driver over encoder and the spread of its rounds' own.
std::string RatioWithRounds(const SceneBenchResult& s) {
  std::vector<double> rounds = s.RoundDriverOverEncoder();
  char text[64];
  std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)",
                s.DriverPerSceneSecond() / s.EncoderPerSceneSecond(),
                Lowest(rounds), Highest(rounds));
  return text;
}

void PrintOutputsPart(const BenchPlan& plan, const Resolved& resolved,
                      const PipelineBenchResult& pipeline, std::FILE* out) {
  if (plan.json) {
    for (const SceneBenchResult& s : pipeline.scenes) {
      JsonLine("outputs")
          .Add("scene", s.name)
          .Count("width", kOutputWidth)
          .Count("height", kOutputHeight)
          .Count("frames_per_second", kSceneFramesPerSecond)
          .Count("frames", s.frames)
          .Count("rounds", resolved.pipelineRounds)
          .Number("process_seconds_per_second", s.ProcessPerSceneSecond())
          .Number("driver_seconds_per_second", s.DriverPerSceneSecond())
          .Number("present_call_seconds_per_second", s.CallsPerSceneSecond())
          .Number("driver_encoder_seconds_per_second", s.DriverEncoderPerSceneSecond())
          .Number("encoder_seconds_per_second", s.EncoderPerSceneSecond())
          .Number("copy_seconds_per_second", s.CopyPerSceneSecond())
          .Number("lowest_round_driver_over_encoder", Lowest(s.RoundDriverOverEncoder()))
          .Number("highest_round_driver_over_encoder", Highest(s.RoundDriverOverEncoder()))
          .Number("outputs_per_core", 1 / s.ProcessPerSceneSecond())
          .Number("outputs_per_core_driver", 1 / s.DriverPerSceneSecond())
          .Number("outputs_per_core_encoder", 1 / s.EncoderPerSceneSecond())
          .WriteTo(out);
    }
    return;
  }
  std::fprintf(out,
               "4. Outputs served per core at 1920 x 1080, 60 frames a second: outputs per core = "
               "1 / (processor\n"
               "   seconds that one second of the scene costs), one second being %d frames after "
               "its first picture\n"
               "   (scaled to 60 when fewer), median of %d rounds. process and driver as in 3, "
               "calls the\n"
               "   presenting thread's part of driver (its present calls and its wait for the "
               "wire; the rest is\n"
               "   the driver's threads'), enc its encoder's part (the coding of those "
               "rectangles on the\n"
               "   driver's threads); encoder: the encoder alone on the rectangles the worker "
               "sent; drv/enc:\n"
               "   driver ms over encoder ms, and in brackets the lowest and highest of the "
               "rounds' own (a\n"
               "   round's driver over the same round's encoder); copy: a plain copy of each "
               "frame's damage\n"
               "   rows into memory laid out as the store, the one copy a present makes; beyond: "
               "(driver - copy)\n"
               "   over encoder.\n",
               resolved.sceneFrames, resolved.pipelineRounds);
  std::fprintf(out, "%-8s %9s %9s | %11s %8s | %11s %8s %8s %8s | %11s %8s | %-22s | %8s %6s\n",
               "scene", "rects/s", "MP/s", "process ms", "outputs", "driver ms", "calls ms",
               "enc ms", "outputs", "encoder ms", "outputs", "drv/enc (rounds)", "copy ms",
               "beyond");
  for (const SceneBenchResult& s : pipeline.scenes) {
    double perSecond = double(kSceneFramesPerSecond) / s.frames;
    std::fprintf(out,
                 "%-8s %9.0f %9.1f | %11.2f %8.1f | %11.2f %8.2f %8.2f %8.1f | %11.2f %8.1f | "
                 "%-22s | %8.2f %6.2f\n",
                 s.name.c_str(), s.sentRectangles * perSecond, s.sentPixels * perSecond / 1e6,
                 s.ProcessPerSceneSecond() * 1e3, 1 / s.ProcessPerSceneSecond(),
                 s.DriverPerSceneSecond() * 1e3, s.CallsPerSceneSecond() * 1e3,
                 s.DriverEncoderPerSceneSecond() * 1e3, 1 / s.DriverPerSceneSecond(),
                 s.EncoderPerSceneSecond() * 1e3, 1 / s.EncoderPerSceneSecond(),
                 RatioWithRounds(s).c_str(), s.CopyPerSceneSecond() * 1e3,
                 (s.DriverPerSceneSecond() - s.CopyPerSceneSecond()) / s.EncoderPerSceneSecond());
  }
  std::fprintf(out, "\n");
}

// "EncodeThreads" as --encode-threads asked, or nothing for the driver's default.
std::vector<std::pair<std::string, std::vector<uint8_t>>> EncodeThreadsParameter(
    const BenchPlan& plan) {
  if (plan.encodeThreads == 0) return {};
  return {{"EncodeThreads", {uint8_t(plan.encodeThreads), 0, 0, 0}}};
}

// The processors the driver shares a large rectangle among in the pipeline parts.
unsigned PipelineProcessors(const BenchPlan& plan) {
  if (plan.encodeThreads != 0) return unsigned(plan.encodeThreads);
  unsigned processors = KeQueryActiveProcessorCount(nullptr);
  return processors > 1 ? std::min(processors - 1, 8u) : 1;
}

// The corpus images (whole frames) and the driver's path on one output: scenes and glyphs.
bool RunPipelineParts(const BenchPlan& plan, const Resolved& resolved, std::FILE* out,
                      std::string* error) {
  bool present = resolved.Wants(plan, "present");
  bool glyph = resolved.Wants(plan, "glyph");
  bool outputs = resolved.Wants(plan, "outputs");
  std::vector<PresentImageResult> images;
  if (present) {
    PresentSetting setting;
    setting.parameters = EncodeThreadsParameter(plan);
    setting.rounds = resolved.presentRounds;
    setting.tiles = false;
    setting.decoderAlone = false;
    for (const std::string& path : resolved.images) {
      images.push_back(PresentImageResult{});
      if (!BenchPresentImage(path, setting, &images.back(), error)) return false;
    }
  }
  ScenePictures pictures;
  for (const std::string& path : resolved.images) {
    BgrxImage image;
    std::string ignored;
    if (LoadPng(path, &image, &ignored)) pictures.push_back(std::move(image));
  }
  PipelineBenchSetting setting;
  setting.parameters = EncodeThreadsParameter(plan);
  setting.rounds = resolved.pipelineRounds;
  setting.width = kOutputWidth;
  setting.height = kOutputHeight;
  setting.frames = resolved.sceneFrames;
  setting.pictures = &pictures;
  if (present || outputs) setting.scenes.assign(std::begin(kScenes), std::end(kScenes));
  if (glyph) setting.glyphs = resolved.glyphs;
  PipelineBenchResult pipeline;
  if (!BenchPipeline(setting, &pipeline, error)) return false;
  if (present) PrintPresentPart(plan, resolved, images, pipeline, out);
  if (glyph) PrintGlyphPart(plan, resolved, pipeline.glyph, out);
  if (outputs) PrintOutputsPart(plan, resolved, pipeline, out);
  return true;
}

// ---- 5. Parallel encoding.

// A 2560 x 1440 corpus image, or "" when the corpus has none.
std::string ParallelImage(BgrxImage* image) {
  for (const std::string& path : CorpusImages()) {
    std::string ignored;
    if (!LoadPng(path, image, &ignored)) continue;
    if (image->width == kParallelWidth && image->height == kParallelHeight) return path;
  }
  return "";
}

// The frame worker's sharing code (the encode threads EncodeThreads under Parameters asks for)
// with one and with two processors, the two alternating round by round; the two-processor stream
// must be the one-processor stream byte for byte.
bool RunParallelPart(const BenchPlan& plan, const Resolved& resolved, std::FILE* out,
                     std::string* error) {
  BgrxImage image;
  std::string path = ParallelImage(&image);
  ParallelFigures figures;
  if (!path.empty()) {
    std::string name = std::filesystem::path(path).filename().string();
    if (!BenchParallel(image, name, 75, 3, resolved.encodeRounds, 2, &figures, error)) {
      return false;
    }
    if (!figures.identical) {
      *error = "two processors did not write the one-processor stream of " + name;
      return false;
    }
  }
  bool measured = figures.megapixelsPerSecond.size() == 2;
  double ratio = measured ? figures.megapixelsPerSecond[1] / figures.megapixelsPerSecond[0] : 0;
  const char* note = "no 2560 x 1440 image in the corpus";
  if (plan.json) {
    JsonLine line("parallel");
    line.Count("width", kParallelWidth).Count("height", kParallelHeight).Flag("measured", measured);
    if (measured) {
      line.Add("image", figures.name)
          .Count("rounds", resolved.encodeRounds)
          .Number("one_processor_mps", figures.megapixelsPerSecond[0])
          .Number("two_processors_mps", figures.megapixelsPerSecond[1])
          .Number("ratio", ratio)
          .Flag("identical", figures.identical);
    } else {
      line.Add("note", note);
    }
    line.WriteTo(out);
    return true;
  }
  std::fprintf(out,
               "5. Parallel encoding: a %d x %d frame coded by the frame worker's sharing code "
               "with one and with\n"
               "   two processors (the worker and an encode thread, EncodeThreads under "
               "Parameters), q75 4:2:0,\n"
               "   median of %d rounds; the two-processor stream is the one-processor stream "
               "byte for byte\n",
               kParallelWidth, kParallelHeight, resolved.encodeRounds);
  if (!measured) {
    std::fprintf(out, "   skipped: %s\n\n", note);
    return true;
  }
  std::fprintf(out, "%-20s %12s %12s %8s\n%-20s %12.1f %12.1f %8.2f\n\n", "image",
               "1 proc MP/s", "2 proc MP/s", "ratio", figures.name.c_str(),
               figures.megapixelsPerSecond[0], figures.megapixelsPerSecond[1], ratio);
  return true;
}

// ---- The plan.

bool Resolve(const BenchPlan& plan, Resolved* resolved, std::string* error) {
  std::vector<std::string> corpus = CorpusImages();
  if (corpus.empty()) {
    *error = "no corpus/ here or beside the sources";
    return false;
  }
  resolved->images = corpus;
  if (plan.quick) {
    auto quick = std::find_if(corpus.begin(), corpus.end(), [](const std::string& path) {
      return std::filesystem::path(path).filename() == kQuickImage;
    });
    resolved->images = {quick != corpus.end() ? *quick : corpus.front()};
    resolved->encodeRounds = resolved->presentRounds = resolved->pipelineRounds = 2;
    resolved->sceneFrames = 6;
    resolved->glyphs = 20;
  }
  if (plan.rounds > 0) {
    resolved->encodeRounds = resolved->presentRounds = resolved->pipelineRounds = plan.rounds;
  }
  return true;
}

// Which build the figures are of: this program's, never the 32-bit kernel image users run, whose
// encoder ./kx count-i386 measures by its instructions.
std::string BuildMeasured() {
  std::string build = sizeof(void*) == 8 ? "x86-64" : "i386";
#ifdef NDEBUG
  build += " host build, optimised";
#else
  build += " host build, debug (figures not for reading)";
#endif
  return build;
}

void PrintHeader(const BenchPlan& plan, const Resolved& resolved, std::FILE* out) {
  std::string parts;
  for (const char* part : kParts) {
    if (!resolved.Wants(plan, part)) continue;
    parts += (parts.empty() ? "" : ",") + std::string(part);
  }
  if (plan.json) {
    JsonLine("bench")
        .Add("build", BuildMeasured())
        .Add("processor", CpuModel())
        .Add("encoder_level", JpegCurrentStageRoutines()->Name)
        .Add("libjpeg_turbo", LibjpegVersion())
        .Flag("quick", plan.quick)
        .Add("parts", parts)
        .Count("encode_threads", PipelineProcessors(plan))
        .Count("images", resolved.images.size())
        .Flag("resident_views", true)
        .WriteTo(out);
    return;
  }
  std::fprintf(out,
               "kxsim bench: %s; %s, not the 32-bit kernel image (./kx count-i386 counts its "
               "encoder); encoder level %s; libjpeg-turbo %s (its SIMD, islow DCT, restart "
               "every MCU)\n%s"
               "Each figure comes from contenders run in turn in this one run, each once per "
               "round, the first\n"
               "rotating from round to round, after a warm-up round. Parts: %s\n"
               "The driver's EncodeThreads in the present, glyph and outputs parts: %u (%s)\n"
               "System views of locked user pages stay mapped from one view to the next, as "
               "they cost on the platform\n"
               "(the tests' host kernel unmaps each, so that a touch of a closed view faults)\n\n",
               CpuModel().c_str(), BuildMeasured().c_str(), JpegCurrentStageRoutines()->Name,
               LibjpegVersion(),
               plan.quick ? "--quick: figures for a check, not for reading\n" : "",
               parts.c_str(), PipelineProcessors(plan),
               plan.encodeThreads != 0 ? "--encode-threads"
                                       : "its default, all processors but one");
}

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kxsim bench [--quick] [--only PART,...] [--rounds N] [--encode-threads N] "
               "[--json]\n"
               "  parts: encode, present, glyph, outputs, parallel, layers (default: all)\n"
               "  --encode-threads: the driver's EncodeThreads (1..8) in present, glyph and\n"
               "  outputs (default: the driver's own, all processors but one)\n"
               "  --json: one JSON object a line, each with \"part\": bench (the header), encode,\n"
               "  encode-summary, present, present-summary, glyph, outputs, parallel\n");
}

}  // namespace

bool ParseBenchArguments(int argc, char** argv, BenchPlan* plan, std::string* error) {
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--quick") {
      plan->quick = true;
    } else if (arg == "--json") {
      plan->json = true;
    } else if (arg == "--rounds" && hasValue) {
      if (!ParseInt(argv[++i], 1, 10000, &plan->rounds)) {
        *error = std::string("bad number of rounds '") + argv[i] + "'";
        return false;
      }
    } else if (arg == "--encode-threads" && hasValue) {
      if (!ParseInt(argv[++i], 1, 8, &plan->encodeThreads)) {
        *error = std::string("bad number of encode threads '") + argv[i] + "'";
        return false;
      }
    } else if (arg == "--only" && hasValue) {
      std::string list = argv[++i];
      for (size_t start = 0; start <= list.size();) {
        size_t comma = std::min(list.find(',', start), list.size());
        std::string part = list.substr(start, comma - start);
        if (std::find(std::begin(kParts), std::end(kParts), part) == std::end(kParts)) {
          *error = "no part '" + part + "'";
          return false;
        }
        plan->parts.insert(part);
        start = comma + 1;
      }
    } else {
      *error = "bad argument '" + arg + "'";
      return false;
    }
  }
  return true;
}

// Presents counted by the layers part, glyphs and whole frames; --quick counts fewer.
constexpr int kLayerGlyphs = 100, kLayerFrames = 2;
constexpr int kQuickLayerGlyphs = 10, kQuickLayerFrames = 1;

void PrintLayerRun(const LayerRun& run, bool json, std::FILE* out) {
  const Layer layers[] = {Layer::Driver,    Layer::Encoder, Layer::HostKernel,
                          Layer::Simulated, Layer::Harness, Layer::Libraries};
  double ratio = run.Per(Layer::Driver) / std::max(1.0, run.Per(Layer::Encoder));
  if (json) {
    JsonLine line("layers");
    line.Flag("measured", true).Add("work", run.kind).Count("presents", run.presents).Count("pixels", run.pixels);
    const char* keys[] = {"driver", "encoder", "host_kernel", "simulated", "harness",
                          "libraries"};
    for (size_t i = 0; i < 6; i++) line.Number(keys[i], run.Per(layers[i]));
    line.Number("total", run.Total()).Number("driver_over_encoder", ratio);
    line.Number("driver_copied_bytes_per_pixel", run.CopiedPerPixel()).WriteTo(out);
    return;
  }
  std::fprintf(out, "%-20s %6d", run.kind == "glyph" ? "16 x 16 glyph" : "1920 x 1080 frame",
               run.presents);
  for (Layer layer : layers) std::fprintf(out, " %12.0f", run.Per(layer));
  std::fprintf(out, " %12.0f %8.2f %8.2f\n", run.Total(), ratio, run.CopiedPerPixel());
}

// Why the layers cannot be counted here, or "" when they can: valgrind runs no sanitizer build.
std::string LayersNotCountable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return "a sanitizer build does not run under valgrind";
#else
  if (std::system("valgrind --version >/dev/null 2>&1") != 0) {
    return "valgrind is not installed (./kx bench installs it)";
  }
  return "";
#endif
}

bool RunLayersPart(const BenchPlan& plan, std::FILE* out, std::string* error) {
  std::string why = LayersNotCountable();
  if (!why.empty()) {
    if (plan.json) {
      JsonLine("layers").Flag("measured", false).Add("note", why).WriteTo(out);
    } else {
      std::fprintf(out, "6. Where a present's instructions go: not counted, %s\n\n", why.c_str());
    }
    return true;
  }
  LayerRun glyph, frame;
  std::string self = !plan.kxsim.empty() ? plan.kxsim
                                         : std::filesystem::read_symlink("/proc/self/exe").string();
  if (!CountPresentLayers(self, "glyph", plan.quick ? kQuickLayerGlyphs : kLayerGlyphs, &glyph,
                          error) ||
      !CountPresentLayers(self, "frame", plan.quick ? kQuickLayerFrames : kLayerFrames, &frame,
                          error)) {
    return false;
  }
  if (!plan.json) {
    std::fprintf(out,
                 "6. Where a present's instructions go: callgrind's exact count of every "
                 "instruction the process ran\n"
                 "   from the present request to its last byte on the wire, per present, by the "
                 "source file it was\n"
                 "   compiled from: the driver's directories (with the platform headers' inline "
                 "routines), jpeg/,\n"
                 "   the host kernel, sim/, the bench itself, and the libraries (the C library's "
                 "copies among them);\n"
                 "   copy B/px: the bytes the driver's own code copied for each pixel presented\n"
                 "%-20s %6s %12s %12s %12s %12s %12s %12s %12s %8s %8s\n",
                 "work", "counted", "driver", "encoder", "host kernel", "simulated", "harness",
                 "libraries", "total", "drv/enc", "copy B/px");
  }
  PrintLayerRun(glyph, plan.json, out);
  PrintLayerRun(frame, plan.json, out);
  if (!plan.json) std::fprintf(out, "\n");
  return true;
}

bool RunBench(const BenchPlan& plan, std::FILE* out, std::string* error) {
  Resolved resolved;
  if (!Resolve(plan, &resolved, error)) return false;
  JpegSelectStageRoutines();  // what the adapter's start does before any encoder runs
  PrintHeader(plan, resolved, out);
  bool ok = true;
  if (resolved.Wants(plan, "encode")) ok = RunEncodePart(plan, resolved, out, error);
  bool pipeline = resolved.Wants(plan, "present") || resolved.Wants(plan, "glyph") ||
                  resolved.Wants(plan, "outputs");
  if (ok && pipeline) ok = RunPipelineParts(plan, resolved, out, error);
  if (ok && resolved.Wants(plan, "parallel")) ok = RunParallelPart(plan, resolved, out, error);
  if (ok && resolved.Wants(plan, "layers")) ok = RunLayersPart(plan, out, error);
  std::fflush(out);
  return ok;
}

int RunBenchCommand(int argc, char** argv) {
  BenchPlan plan;
  std::string error;
  if (!ParseBenchArguments(argc, argv, &plan, &error)) {
    std::fprintf(stderr, "kxsim bench: %s\n", error.c_str());
    PrintUsage();
    return 2;
  }
  BenchThreadScope thread;
  bool ok = RunBench(plan, stdout, &error);
  if (!ok) std::fprintf(stderr, "kxsim bench: %s\n", error.c_str());
  std::string leaks = hostk::LeakReport();
  if (!leaks.empty()) {
    std::fprintf(stderr, "kxsim bench: the host kernel is not clean after the removals:\n%s\n",
                 leaks.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace kxsim
