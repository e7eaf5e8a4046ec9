#include "bench_present_command.h"
#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "adapter_session.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "libjpeg_peer.h"
#include "png_file.h"
#include "sim/adapter/jpeg_decoder.h"

namespace kxsim {
namespace {

constexpr ULONG kChannel = 0;
constexpr LONG kDisplayId = 1;
constexpr LONG kTile = 128;
// Tiles presented before the worker must have sent them all: well inside the queue's 127 slots,
// so that the queue never has to grow a rectangle to take one more.
constexpr size_t kBatchLimit = 64;
// The wait after a batch: the virtual clock moves only once every thread waits, so the delay
// ends as soon as the worker is idle with everything on the wire, and wakes nobody before.
constexpr LONGLONG kSettle = kOneSecond / 1000;

struct BenchOptions {
  std::vector<std::string> images;
  int quality = 75;
  int sampling = 3;
  int rounds = 5;
  bool json = false;
  // The far side decodes and draws what arrives; off, the times end at the wire.
  bool farDecode = false;
};

// One way of updating the whole image: batches of presents, each batch sent by the worker before
// the next is presented, and the rectangles the worker sends for them.
struct Workload {
  std::vector<std::vector<PixelRect>> batches;
  std::vector<ULONG> drawnPerBatch;  // rectangles the far side draws for each batch
  std::vector<PixelRect> sent;       // what the encoder alone encodes
  std::vector<std::vector<uint8_t>> streams;  // its streams, for the far side's decoder alone
};

enum ContenderKind {
  kPipelineWhole,
  kEncoderWhole,
  kDecoderWhole,
  kPipelineTiles,
  kEncoderTiles,
  kDecoderTiles,
  kKinds
};

struct ImageResult {
  std::string name;
  int width = 0;
  int height = 0;
  size_t tiles = 0;
  std::vector<double> seconds[kKinds];
  double farPsnr = 0;
  ULONGLONG wholeBytes = 0;  // on the wire for one whole-frame present
  ULONGLONG tileBytes = 0;   // for one pass of tiles
};

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kxsim bench-present [IMAGES...] [-q Q] [-s 0..3] [--rounds N] [--far-decode] "
               "[--json]\n"
               "  images default to the PNG files of corpus/\n");
}

bool ParseOptions(int argc, char** argv, BenchOptions* options) {
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    bool ok = true;
    if (arg == "-q" && hasValue) {
      arg += std::string(" ") + argv[++i];
      ok = ParseInt(argv[i], 0, 100, &options->quality);
    } else if (arg == "-s" && hasValue) {
      arg += std::string(" ") + argv[++i];
      ok = ParseInt(argv[i], 0, 3, &options->sampling);
    } else if (arg == "--rounds" && hasValue) {
      arg += std::string(" ") + argv[++i];
      ok = ParseInt(argv[i], 1, 10000, &options->rounds);
    } else if (arg == "--json") {
      options->json = true;
    } else if (arg == "--far-decode") {
      options->farDecode = true;
    } else if (!arg.empty() && arg[0] == '-') {
      ok = false;
    } else {
      options->images.push_back(arg);
    }
    if (!ok) {
      std::fprintf(stderr, "kxsim bench-present: bad argument '%s'\n", arg.c_str());
      PrintUsage();
      return false;
    }
  }
  return true;
}

// The rectangle the worker sends for a present of `rect`: the driver's own alignment.
PixelRect Sent(const PixelRect& rect, int width, int height) {
  UpdateRect aligned = AlignRect(UpdateRect{rect.left, rect.top, rect.right, rect.bottom},
                                 ULONG(width), ULONG(height));
  return PixelRect{aligned.Left, aligned.Top, aligned.Right, aligned.Bottom};
}

// The whole image in one present. The worker sends it as one rectangle, or as bands when its
// pixels do not fit the driver's staging buffer: the far side's count is learnt in the warm-up.
Workload WholeFrame(int width, int height) {
  Workload load;
  load.batches.push_back({PixelRect{0, 0, width, height}});
  load.drawnPerBatch.push_back(1);
  load.sent.push_back(PixelRect{0, 0, width, height});
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
        PixelRect tile{left, top, std::min<LONG>(left + kTile, width),
                       std::min<LONG>(top + kTile, height)};
        batch.push_back(tile);
        load.sent.push_back(Sent(tile, width, height));
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
  PDEVICE_OBJECT child = nullptr;
  std::unique_ptr<hostk::UserBuffer> pixels;
  LONG pitch = 0;
};

bool SetUpStage(const BgrxImage& image, const BenchOptions& options, Stage* stage,
                std::string* error) {
  if (!stage->session.Plug(options.quality, options.sampling, error, options.farDecode)) {
    return false;
  }
  stage->child = stage->session.AddChild(kChannel, kDisplayId);
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
// side drew what the worker sends for it. The time from the first present to the worker idle
// after the last batch.
bool RunPipeline(Stage* stage, const Workload& load, double* seconds, std::string* error) {
  ULONG drawn = stage->session.Adapter().Rectangles();
  auto start = std::chrono::steady_clock::now();
  for (size_t b = 0; b < load.batches.size(); b++) {
    for (const PixelRect& rect : load.batches[b]) {
      NTSTATUS status = stage->session.Present(stage->child, *stage->pixels, stage->pitch, rect);
      if (!NT_SUCCESS(status)) {
        *error = "IOCTL_DISPLAY_PRESENT failed with " + StatusText(status);
        return false;
      }
    }
    stage->session.Settle(kSettle);
    drawn += load.drawnPerBatch[b];
    if (stage->session.Adapter().Rectangles() != drawn) {
      *error = "the far side drew " + std::to_string(stage->session.Adapter().Rectangles()) +
               " rectangles in all, not " + std::to_string(drawn);
      return false;
    }
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

// The encoder alone on the rectangles the worker sends, read from the image where they lie; the
// streams kept in `streams` when given.
bool RunEncoder(const BgrxImage& image, const BenchOptions& options, const Workload& load,
                std::vector<uint8_t>* output, double* seconds, std::string* error,
                std::vector<std::vector<uint8_t>>* streams = nullptr) {
  auto start = std::chrono::steady_clock::now();
  for (const PixelRect& rect : load.sent) {
    JpegEncodeParams params{rect.Width(),
                            rect.Height(),
                            4,
                            &image.pixels[(size_t(rect.top) * image.width + rect.left) * 4],
                            image.width * 4,
                            options.quality,
                            options.sampling,
                            output->data(),
                            LONG(std::min<size_t>(output->size(), INT_MAX)),
                            0};
    LONG result = JpegEncodeFrame(&params);
    if (result != JpegResultOk) {
      *error = "JpegEncodeFrame failed with " + std::to_string(result);
      return false;
    }
    if (streams != nullptr) {
      streams->emplace_back(output->begin(), output->begin() + params.OutputLength);
    }
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return true;
}

// The far side's decoder alone on the streams of the rectangles: what the simulated adapter does
// inside each payload's transfer with --far-decode, when the pipeline's figure includes it.
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

// The warm-up: one run of each, which also learns how many rectangles a whole-frame present
// becomes and what each workload puts on the wire.
bool WarmUp(const BgrxImage& image, const BenchOptions& options, Stage* stage, Workload* whole,
            Workload* tiles, std::vector<uint8_t>* output, ImageResult* result,
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
  if (whole->drawnPerBatch.front() == 0) {
    *error = "a whole-frame present drew nothing";
    return false;
  }
  bytes = session.Port().Counters().bytesOut;
  double seconds;
  if (!RunPipeline(stage, *tiles, &seconds, error)) return false;
  result->tileBytes = session.Port().Counters().bytesOut - bytes;
  return RunEncoder(image, options, *whole, output, &seconds, error, &whole->streams) &&
         RunEncoder(image, options, *tiles, output, &seconds, error, &tiles->streams) &&
         RunDecoder(*whole, &seconds, error) && RunDecoder(*tiles, &seconds, error);
}

// The six contenders once per round, the starting one rotating from round to round, so that a
// neighbour's load falls on all of them alike.
bool Measure(const BgrxImage& image, const BenchOptions& options, Stage* stage,
             ImageResult* result, std::string* error) {
  Workload whole = WholeFrame(image.width, image.height);
  Workload tiles = Tiles(image.width, image.height);
  result->tiles = TileCount(tiles);
  // Room for any stream of the image: far above what even noise at quality 100 needs; made and
  // touched before any timing.
  std::vector<uint8_t> output(size_t(16) * image.width * image.height + 65536, 0);
  if (!WarmUp(image, options, stage, &whole, &tiles, &output, result, error)) return false;
  for (int round = 0; round < options.rounds; round++) {
    for (int i = 0; i < kKinds; i++) {
      int kind = (i + round) % kKinds;
      double seconds = 0;
      bool ok;
      switch (kind) {
        case kPipelineWhole: ok = RunPipeline(stage, whole, &seconds, error); break;
        case kEncoderWhole: ok = RunEncoder(image, options, whole, &output, &seconds, error); break;
        case kDecoderWhole: ok = RunDecoder(whole, &seconds, error); break;
        case kPipelineTiles: ok = RunPipeline(stage, tiles, &seconds, error); break;
        case kEncoderTiles: ok = RunEncoder(image, options, tiles, &output, &seconds, error); break;
        default: ok = RunDecoder(tiles, &seconds, error); break;
      }
      if (!ok) return false;
      result->seconds[kind].push_back(seconds);
    }
  }
  return true;
}

bool BenchImage(const std::string& path, const BenchOptions& options, ImageResult* result) {
  BgrxImage image;
  std::string error;
  if (!LoadPng(path, &image, &error)) {
    std::fprintf(stderr, "kxsim bench-present: cannot read %s: %s\n", path.c_str(),
                 error.c_str());
    return false;
  }
  result->name = std::filesystem::path(path).filename().string();
  result->width = image.width;
  result->height = image.height;
  if (image.width < 8 || image.height < 8 || image.width > 8192 || image.height > 8192) {
    std::fprintf(stderr, "kxsim bench-present: %s is %d x %d; outputs are 8 to 8192 a side\n",
                 path.c_str(), image.width, image.height);
    return false;
  }
  bool ok;
  {
    Stage stage;
    ok = SetUpStage(image, options, &stage, &error) &&
         Measure(image, options, &stage, result, &error);
    if (ok) {
      std::optional<FarDisplayState> display = stage.session.Adapter().Display(kDisplayId);
      result->farPsnr = display && options.farDecode ? Psnr(image, display->rgb) : 0;
      ULONG violations = stage.session.Adapter().ViolationTotal();
      if (violations != 0) {
        error = std::to_string(violations) + " protocol violations:";
        for (const std::string& line : stage.session.Violations()) error += "\n  " + line;
        ok = false;
      }
    }
    stage.pixels.reset();
    NTSTATUS status = stage.session.Remove();
    if (ok && !NT_SUCCESS(status)) {
      error = "removing the device failed with " + StatusText(status);
      ok = false;
    }
  }
  if (!ok) std::fprintf(stderr, "kxsim bench-present: %s: %s\n", path.c_str(), error.c_str());
  return ok;
}

double Rate(const ImageResult& r, int kind) {
  return double(r.width) * r.height / Median(r.seconds[kind]) / 1e6;
}

// Derived, not measured: the encoder's time over the pipeline's time less the far side's decode,
// both medians of this run. What the ratio would be if the adapter model decoded elsewhere.
double RatioWithoutDecoder(const ImageResult& r, int pipeline, int encoder, int decoder) {
  double rest = Median(r.seconds[pipeline]) - Median(r.seconds[decoder]);
  return rest > 0 ? Median(r.seconds[encoder]) / rest : 0;
}
double WholeRatioWithoutDecoder(const ImageResult& r) {
  return RatioWithoutDecoder(r, kPipelineWhole, kEncoderWhole, kDecoderWhole);
}
double TilesRatioWithoutDecoder(const ImageResult& r) {
  return RatioWithoutDecoder(r, kPipelineTiles, kEncoderTiles, kDecoderTiles);
}

void PrintHeader(const BenchOptions& options) {
  std::printf(
      "kxsim bench-present: %s; quality %d, sampling %d, encoder level %s, median of %d "
      "alternating rounds\n",
      CpuModel().c_str(), options.quality, options.sampling, JpegCurrentStageRoutines()->Name,
      options.rounds);
  std::printf(
      "%s"
      "enc:  the driver's encoder alone on the rectangles the worker sends\n"
      "dec:  the far side's decoder alone on their streams\n"
      "whole: one present of the image; tiles: 128 x 128 presents in batches of tiles that do not\n"
      "touch, each sent alone, aligned to the 16-pixel grid. MP/s of the image's pixels.\n\n",
      options.farDecode
          ? "pipe: the presents to the last rectangle decoded and drawn by the far side (its\n"
            "      decode runs inside the transfer, so pipe includes dec), on virtual time\n"
          : "pipe: the presents to the last frame on the wire (the far side checks each frame's\n"
            "      framing and counts it, without decoding), on virtual time\n");
  std::printf("%-20s %-10s | %-34s | %-40s | %6s\n", "", "", "whole frame",
              "tiles", "");
  std::printf("%-20s %-10s | %8s %8s %6s %8s | %5s %8s %8s %6s %8s | %6s\n", "image", "pixels",
              "pipe", "enc", "ratio", "dec", "count", "pipe", "enc", "ratio", "dec", "far dB");
}

void PrintRow(const ImageResult& r) {
  std::string pixels = std::to_string(r.width) + "x" + std::to_string(r.height);
  std::printf("%-20s %-10s | %8.1f %8.1f %6.2f %8.1f | %5zu %8.1f %8.1f %6.2f %8.1f | %6.2f\n",
              r.name.c_str(), pixels.c_str(), Rate(r, kPipelineWhole), Rate(r, kEncoderWhole),
              Rate(r, kPipelineWhole) / Rate(r, kEncoderWhole), Rate(r, kDecoderWhole), r.tiles,
              Rate(r, kPipelineTiles), Rate(r, kEncoderTiles),
              Rate(r, kPipelineTiles) / Rate(r, kEncoderTiles), Rate(r, kDecoderTiles),
              r.farPsnr);
}

void PrintJson(const ImageResult& r, const BenchOptions& options) {
  std::printf(
      "{\"image\":\"%s\",\"width\":%d,\"height\":%d,\"quality\":%d,\"sampling\":%d,"
      "\"level\":\"%s\",\"rounds\":%d,"
      "\"whole\":{\"pipeline_mps\":%.2f,\"encoder_mps\":%.2f,\"ratio\":%.4f,"
      "\"far_decoder_mps\":%.2f,\"ratio_without_far_decoder\":%.4f,\"wire_bytes\":%llu},"
      "\"tiles\":{\"count\":%zu,\"pipeline_mps\":%.2f,\"encoder_mps\":%.2f,\"ratio\":%.4f,"
      "\"far_decoder_mps\":%.2f,\"ratio_without_far_decoder\":%.4f,\"wire_bytes\":%llu},"
      "\"far_psnr\":%.4f}\n",
      r.name.c_str(), r.width, r.height, options.quality, options.sampling,
      JpegCurrentStageRoutines()->Name, options.rounds, Rate(r, kPipelineWhole),
      Rate(r, kEncoderWhole), Rate(r, kPipelineWhole) / Rate(r, kEncoderWhole),
      Rate(r, kDecoderWhole), WholeRatioWithoutDecoder(r), (unsigned long long)r.wholeBytes,
      r.tiles, Rate(r, kPipelineTiles), Rate(r, kEncoderTiles),
      Rate(r, kPipelineTiles) / Rate(r, kEncoderTiles), Rate(r, kDecoderTiles),
      TilesRatioWithoutDecoder(r), (unsigned long long)r.tileBytes, r.farPsnr);
}

double GeometricMean(const std::vector<double>& values) {
  double logSum = 0;
  for (double value : values) logSum += std::log(value);
  return std::exp(logSum / double(values.size()));
}

void PrintSummary(const std::vector<ImageResult>& results, const BenchOptions& options) {
  enum { kWholeRatio = kKinds, kTilesRatio, kWholeDerived, kTilesDerived, kColumns };
  std::vector<double> columns[kColumns];
  for (const ImageResult& r : results) {
    for (int kind = 0; kind < kKinds; kind++) columns[kind].push_back(Rate(r, kind));
    columns[kWholeRatio].push_back(Rate(r, kPipelineWhole) / Rate(r, kEncoderWhole));
    columns[kTilesRatio].push_back(Rate(r, kPipelineTiles) / Rate(r, kEncoderTiles));
    columns[kWholeDerived].push_back(WholeRatioWithoutDecoder(r));
    columns[kTilesDerived].push_back(TilesRatioWithoutDecoder(r));
  }
  double mean[kColumns];
  for (int c = 0; c < kColumns; c++) mean[c] = GeometricMean(columns[c]);
  std::printf("%-20s %-10s | %8.1f %8.1f %6.2f %8.1f | %5s %8.1f %8.1f %6.2f %8.1f |\n",
              "geometric mean", "", mean[kPipelineWhole], mean[kEncoderWhole], mean[kWholeRatio],
              mean[kDecoderWhole], "", mean[kPipelineTiles], mean[kEncoderTiles],
              mean[kTilesRatio], mean[kDecoderTiles]);
  auto lowest = [&](int c) { return *std::min_element(columns[c].begin(), columns[c].end()); };
  std::printf("\nratio pipeline / encoder: whole frames %.2f (lowest %.2f), tiles %.2f (lowest "
              "%.2f)\n",
              mean[kWholeRatio], lowest(kWholeRatio), mean[kTilesRatio], lowest(kTilesRatio));
  if (options.farDecode) {
    std::printf("derived, without the far side's decode (enc / (pipe - dec), medians of this "
                "run): whole frames %.2f, tiles %.2f\n",
                mean[kWholeDerived], mean[kTilesDerived]);
  }
}

}  // namespace

int RunBenchPresent(int argc, char** argv) {
  BenchOptions options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  if (options.images.empty()) options.images = CorpusImages();
  if (options.images.empty()) {
    std::fprintf(stderr, "kxsim bench-present: no images given and no corpus/\n");
    return 2;
  }
  hostk::ManagedThreadScope thread("kxsim");
  JpegSelectStageRoutines();  // what the adapter's start does before any encoder runs
  if (!options.json) PrintHeader(options);
  std::vector<ImageResult> results;
  bool ok = true;
  for (const std::string& path : options.images) {
    ImageResult result;
    if (!BenchImage(path, options, &result)) {
      ok = false;
      break;
    }
    if (options.json) {
      PrintJson(result, options);
    } else {
      PrintRow(result);
    }
    std::fflush(stdout);
    results.push_back(result);
  }
  if (ok && !options.json) PrintSummary(results, options);
  std::string leaks = hostk::LeakReport();
  if (!leaks.empty()) {
    std::fprintf(stderr,
                 "kxsim bench-present: the host kernel is not clean after the removals:\n%s\n",
                 leaks.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace kxsim
