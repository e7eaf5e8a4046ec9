#include "present_bench.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include "adapter_session.h"
#include "bench_support.h"
#include "jpeg/jpeg.h"
#include "libjpeg_peer.h"
#include "png_file.h"
#include "sim/adapter/jpeg_decoder.h"
#include "wire_watch.h"

namespace kxsim {
namespace {

constexpr LONG kTile = 128;
// Tiles presented before the worker must have sent them all: well inside the queue's 127 slots,
// so that the queue never has to grow a rectangle to take one more.
constexpr size_t kBatchLimit = 64;

// One way of updating the whole image: batches of presents, each batch sent by the worker before
// the next is presented, and the rectangles the worker sends for them (seen on the wire in the
// warm-up).
struct Workload {
  std::vector<std::vector<PixelRect>> batches;
  std::vector<ULONG> drawnPerBatch;  // rectangles the far side counts for each batch
  std::vector<PixelRect> sent;       // what the encoder alone encodes
  std::vector<std::vector<uint8_t>> streams;  // its streams, for the far side's decoder alone
};

// The whole image in one present. The worker sends it as one rectangle, or as bands when its
// pixels do not fit the driver's staging buffer: the far side's count is learnt in the warm-up.
Workload WholeFrame(int width, int height) {
  Workload load;
  load.batches.push_back({PixelRect{0, 0, width, height}});
  load.drawnPerBatch.push_back(1);
  return load;
}

// 128 x 128 tiles, row by row. The queue merges a rectangle into a queued one it touches, so a
// batch holds tiles of one parity of column and row: no two of them touch, and the worker sends
// each tile alone, aligned to the grid.
Workload Tiles(int width, int height) {
  Workload load;
  for (int parity = 0; parity < 4; parity++) {
    std::vector<PixelRect> batch;
    for (LONG top = (parity / 2) * kTile; top < height; top += 2 * kTile) {
      for (LONG left = (parity % 2) * kTile; left < width; left += 2 * kTile) {
        batch.push_back(PixelRect{left, top, std::min<LONG>(left + kTile, width),
                                  std::min<LONG>(top + kTile, height)});
        if (batch.size() == kBatchLimit) {
          load.batches.push_back(batch);
          load.drawnPerBatch.push_back(ULONG(batch.size()));
          batch.clear();
        }
      }
    }
    if (!batch.empty()) {
      load.batches.push_back(batch);
      load.drawnPerBatch.push_back(ULONG(batch.size()));
    }
  }
  return load;
}

size_t TileCount(const Workload& load) {
  size_t count = 0;
  for (const auto& batch : load.batches) count += batch.size();
  return count;
}

// The image on one output of a started adapter, its pixels in user memory once for all presents.
struct Stage {
  AdapterSession session;
  std::shared_ptr<WireWatch> watch;
  PDEVICE_OBJECT child = nullptr;
  std::unique_ptr<hostk::UserBuffer> pixels;
  LONG pitch = 0;
};

bool SetUpStage(const BgrxImage& image, const PresentSetting& setting, Stage* stage,
                std::string* error) {
  SessionOptions options;
  options.adapter.decodeFrames = setting.farDecode;
  options.parameters = setting.parameters;
  options.device = [stage](std::shared_ptr<UsbDeviceModel> device) {
    stage->watch = std::make_shared<WireWatch>(std::move(device));
    return stage->watch;
  };
  if (!stage->session.Plug(options, setting.quality, setting.sampling, error)) return false;
  stage->child = stage->session.AddChild(kSingleChannel, kSingleDisplayId);
  if (stage->child == nullptr) {
    *error = "the child device could not be created";
    return false;
  }
  NTSTATUS status = stage->session.SetMode(stage->child, USHORT(image.width), USHORT(image.height));
  if (!NT_SUCCESS(status)) {
    *error = "IOCTL_DISPLAY_SET_MODE failed with " + StatusText(status);
    return false;
  }
  stage->pixels = std::make_unique<hostk::UserBuffer>(image.pixels.size());
  std::copy(image.pixels.begin(), image.pixels.end(), stage->pixels->Data());
  stage->pitch = image.width * 4;
  return true;
}

// Presents every batch and waits after each until the worker is idle, then checks that the far
// side counted what the worker sends for it. The time from the first present to the worker idle
// after the last batch, and of that the time in the present calls when `inCalls` is given. The
// rectangles seen on the wire go to `sent` when given.
bool RunPipeline(Stage* stage, const Workload& load, PresentImageResult* result, double* seconds,
                 std::string* error, std::vector<PixelRect>* sent = nullptr,
                 double* inCalls = nullptr) {
  ULONG drawn = stage->session.Adapter().Rectangles();
  auto start = std::chrono::steady_clock::now();
  std::chrono::duration<double> calls{0};
  for (size_t b = 0; b < load.batches.size(); b++) {
    auto batchStart = std::chrono::steady_clock::now();
    for (const PixelRect& rect : load.batches[b]) {
      NTSTATUS status = stage->session.Present(stage->child, *stage->pixels, stage->pitch, rect);
      if (!NT_SUCCESS(status)) {
        *error = "IOCTL_DISPLAY_PRESENT failed with " + StatusText(status);
        return false;
      }
    }
    calls += std::chrono::steady_clock::now() - batchStart;
    stage->session.Settle(kSettleAfterPresents);
    drawn += load.drawnPerBatch[b];
    if (stage->session.Adapter().Rectangles() != drawn) {
      *error = "the far side counted " + std::to_string(stage->session.Adapter().Rectangles()) +
               " rectangles in all, not " + std::to_string(drawn);
      return false;
    }
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (inCalls != nullptr) *inCalls = calls.count();
  std::vector<SentRect> wire = stage->watch->Take();
  result->wireRectangles += ULONG(wire.size());
  for (const SentRect& rect : wire) {
    if (sent != nullptr) sent->push_back(rect.rect);
  }
  return true;
}

// The encoder alone: its output buffer, made and touched before any timing, and the encoder kept
// from rectangle to rectangle as the worker keeps its own.
struct EncoderAlone {
  std::vector<uint8_t> output;
  KeptEncoder encoder;
};

// The encoder alone on the rectangles the worker sends, read from the image where they lie; the
// streams kept in `streams` when given.
bool RunEncoder(const BgrxImage& image, const PresentSetting& setting, const Workload& load,
                EncoderAlone* alone, double* seconds, std::string* error,
                std::vector<std::vector<uint8_t>>* streams = nullptr) {
  std::vector<uint8_t>* output = &alone->output;
  auto start = std::chrono::steady_clock::now();
  for (const PixelRect& rect : load.sent) {
    size_t length;
    if (!alone->encoder.EncodeRect(image, rect, setting.quality, setting.sampling, output,
                                   &length, error)) {
      return false;
    }
    if (streams != nullptr) streams->emplace_back(output->begin(), output->begin() + long(length));
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

// The far side's decoder alone on the streams of the rectangles: what the simulated adapter does
// inside each payload's transfer with farDecode, when the pipeline's figure includes it.
bool RunDecoder(const Workload& load, double* seconds, std::string* error) {
  auto start = std::chrono::steady_clock::now();
  for (const std::vector<uint8_t>& stream : load.streams) {
    DecodedImage decoded = DecodeJpeg(stream.data(), stream.size());
    if (!decoded.ok) {
      *error = "the far side's decoder failed: " + decoded.message;
      return false;
    }
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

// The warm-up: one run of each, which also learns the rectangles the worker sends for each
// workload and what it puts on the wire.
bool WarmUp(const BgrxImage& image, const PresentSetting& setting, Stage* stage, Workload* whole,
            Workload* tiles, EncoderAlone* alone, PresentImageResult* result,
            std::string* error) {
  AdapterSession& session = stage->session;
  ULONG before = session.Adapter().Rectangles();
  ULONGLONG bytes = session.Port().Counters().bytesOut;
  NTSTATUS status = session.Present(stage->child, *stage->pixels, stage->pitch,
                                    whole->batches.front().front());
  if (!NT_SUCCESS(status)) {
    *error = "IOCTL_DISPLAY_PRESENT failed with " + StatusText(status);
    return false;
  }
  session.Settle(kOneSecond);
  whole->drawnPerBatch.front() = session.Adapter().Rectangles() - before;
  result->wholeBytes = session.Port().Counters().bytesOut - bytes;
  for (const SentRect& rect : stage->watch->Take()) whole->sent.push_back(rect.rect);
  result->wholeRectangles = ULONG(whole->sent.size());
  result->wireRectangles += result->wholeRectangles;
  if (whole->drawnPerBatch.front() == 0 || whole->sent.size() != whole->drawnPerBatch.front()) {
    *error = "a whole-frame present went as " + std::to_string(whole->sent.size()) +
             " rectangles, of which the far side counted " +
             std::to_string(whole->drawnPerBatch.front());
    return false;
  }
  double seconds;
  bool ok = RunEncoder(image, setting, *whole, alone, &seconds, error, &whole->streams) &&
            (!setting.decoderAlone || RunDecoder(*whole, &seconds, error));
  if (!ok || !setting.tiles) return ok;
  bytes = session.Port().Counters().bytesOut;
  if (!RunPipeline(stage, *tiles, result, &seconds, error, &tiles->sent)) return false;
  result->tileBytes = session.Port().Counters().bytesOut - bytes;
  return RunEncoder(image, setting, *tiles, alone, &seconds, error, &tiles->streams) &&
         (!setting.decoderAlone || RunDecoder(*tiles, &seconds, error));
}

std::vector<int> Contenders(const PresentSetting& setting) {
  std::vector<int> contenders{kPipelineWhole, kEncoderWhole};
  if (setting.decoderAlone) contenders.push_back(kDecoderWhole);
  if (setting.tiles) {
    contenders.insert(contenders.end(), {kPipelineTiles, kEncoderTiles});
    if (setting.decoderAlone) contenders.push_back(kDecoderTiles);
  }
  return contenders;
}

// Seconds of a plain copy of the frame's pixels from the display driver's buffer, row by row as
// the present copies them into the store.
double PlainCopy(const Stage& stage, const BgrxImage& image, std::vector<UCHAR>* to) {
  size_t row = size_t(image.width) * 4;
  auto start = std::chrono::steady_clock::now();
  for (int y = 0; y < image.height; y++) {
    std::memcpy(to->data() + row * y, stage.pixels->Data() + size_t(stage.pitch) * y, row);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The contenders once per round, the starting one rotating from round to round, so that a
// neighbour's load falls on all of them alike.
bool Measure(const BgrxImage& image, const PresentSetting& setting, Stage* stage,
             PresentImageResult* result, std::string* error) {
  Workload whole = WholeFrame(image.width, image.height);
  Workload tiles = Tiles(image.width, image.height);
  result->tiles = setting.tiles ? TileCount(tiles) : 0;
  // Room for any stream of the image: far above what even noise at quality 100 needs.
  EncoderAlone alone;
  alone.output.assign(size_t(16) * image.width * image.height + 65536, 0);
  if (!WarmUp(image, setting, stage, &whole, &tiles, &alone, result, error)) return false;
  std::vector<int> contenders = Contenders(setting);
  std::vector<UCHAR> copy(image.pixels.size());
  for (int round = 0; round < setting.rounds; round++) {
    for (size_t i = 0; i < contenders.size(); i++) {
      int kind = contenders[(i + size_t(round)) % contenders.size()];
      double seconds = 0;
      bool ok;
      switch (kind) {
        case kPipelineWhole: {
          double inCall = 0;
          ok = RunPipeline(stage, whole, result, &seconds, error, nullptr, &inCall);
          result->callSeconds.push_back(inCall);
          result->copySeconds.push_back(PlainCopy(*stage, image, &copy));
          break;
        }
        case kEncoderWhole:
          ok = RunEncoder(image, setting, whole, &alone, &seconds, error);
          break;
        case kDecoderWhole: ok = RunDecoder(whole, &seconds, error); break;
        case kPipelineTiles: ok = RunPipeline(stage, tiles, result, &seconds, error); break;
        case kEncoderTiles:
          ok = RunEncoder(image, setting, tiles, &alone, &seconds, error);
          break;
        default: ok = RunDecoder(tiles, &seconds, error); break;
      }
      if (!ok) return false;
      result->seconds[kind].push_back(seconds);
    }
  }
  return true;
}

// The far side's figures, and the device removed; false when something went wrong there.
bool Finish(const BgrxImage& image, const PresentSetting& setting, Stage* stage,
            PresentImageResult* result, std::string* error) {
  VirtualAdapter& adapter = stage->session.Adapter();
  std::optional<FarDisplayState> display = adapter.Display(kSingleDisplayId);
  result->farPsnr = display && setting.farDecode ? Psnr(image, display->rgb) : 0;
  result->farRectangles = adapter.Rectangles();
  result->violations = adapter.ViolationTotal();
  bool ok = true;
  if (result->violations != 0) {
    *error = std::to_string(result->violations) + " protocol violations:";
    for (const std::string& line : stage->session.Violations()) *error += "\n  " + line;
    ok = false;
  } else if (result->farRectangles != result->wireRectangles) {
    *error = "the far side counted " + std::to_string(result->farRectangles) +
             " rectangles of the " + std::to_string(result->wireRectangles) + " sent";
    ok = false;
  }
  stage->pixels.reset();
  NTSTATUS status = stage->session.Remove();
  if (ok && !NT_SUCCESS(status)) {
    *error = "removing the device failed with " + StatusText(status);
    ok = false;
  }
  return ok;
}

}  // namespace

double PresentImageResult::Rate(int contender) const {
  if (seconds[contender].empty()) return 0;
  return double(width) * height / Median(seconds[contender]) / 1e6;
}

double PresentImageResult::CallMilliseconds() const {
  return callSeconds.empty() ? 0 : 1e3 * Median(callSeconds);
}

double PresentImageResult::CopyMilliseconds() const {
  return copySeconds.empty() ? 0 : 1e3 * Median(copySeconds);
}

double PresentImageResult::AfterCallMilliseconds() const {
  const std::vector<double>& pipe = seconds[kPipelineWhole];
  if (pipe.empty() || pipe.size() != callSeconds.size()) return 0;
  std::vector<double> after;
  for (size_t i = 0; i < pipe.size(); i++) after.push_back(pipe[i] - callSeconds[i]);
  return 1e3 * Median(after);
}

double PresentImageResult::EncoderMilliseconds() const {
  return seconds[kEncoderWhole].empty() ? 0 : 1e3 * Median(seconds[kEncoderWhole]);
}

bool BenchPresentImage(const std::string& path, const PresentSetting& setting,
                       PresentImageResult* result, std::string* error) {
  BgrxImage image;
  if (!LoadPng(path, &image, error)) {
    *error = "cannot read " + path + ": " + *error;
    return false;
  }
  result->name = std::filesystem::path(path).filename().string();
  result->width = image.width;
  result->height = image.height;
  if (image.width < 8 || image.height < 8 || image.width > 8192 || image.height > 8192) {
    *error = path + " is " + std::to_string(image.width) + " x " + std::to_string(image.height) +
             "; outputs are 8 to 8192 a side";
    return false;
  }
  Stage stage;
  bool ok = SetUpStage(image, setting, &stage, error) &&
            Measure(image, setting, &stage, result, error);
  // Removed in any case; its failure reported only when nothing failed before.
  std::string finishError;
  if (!Finish(image, setting, &stage, result, &finishError) && ok) {
    *error = finishError;
    ok = false;
  }
  if (!ok) *error = path + ": " + *error;
  return ok;
}

}  // namespace kxsim
