#include "bench_command.h"
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

#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "libjpeg_peer.h"
#include "png_file.h"

namespace kxsim {
namespace {

struct BenchOptions {
  std::vector<std::string> images;
  int quality = 75;
  int sampling = 3;
  int rounds = 15;
  bool levels = false;
  bool json = false;
};

// One contender: our encoder at one stage level, or libjpeg-turbo (no table). The output buffer
// is made once, before any timing, and its pages touched, so that no encoder pays for it.
struct Contender {
  const JpegStageRoutines* stages = nullptr;
  std::vector<double> seconds;
  std::vector<uint8_t> buffer;
  size_t length = 0;
  std::vector<uint8_t> Stream() const { return {buffer.begin(), buffer.begin() + long(length)}; }
};

struct ImageResult {
  std::string name;
  int width = 0;
  int height = 0;
  std::vector<Contender> contenders;  // ours first (each level), libjpeg-turbo last
  double oursPsnr = 0;
  double theirsPsnr = 0;
  bool levelsIdentical = true;
};

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kxsim bench-encode [IMAGES...] [-q Q] [-s 0..3] [--rounds N] [--levels] "
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
    } else if (arg == "--levels") {
      options->levels = true;
    } else if (arg == "--json") {
      options->json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      ok = false;
    } else {
      options->images.push_back(arg);
    }
    if (!ok) {
      std::fprintf(stderr, "kxsim bench-encode: bad argument '%s'\n", arg.c_str());
      PrintUsage();
      return false;
    }
  }
  return true;
}

double MegapixelsPerSecond(const ImageResult& result, const Contender& contender) {
  return double(result.width) * result.height / Median(contender.seconds) / 1e6;
}

bool EncodeOurs(const BgrxImage& image, const BenchOptions& options, Contender* contender,
                std::string* error) {
  JpegEncodeParams params{image.width,
                          image.height,
                          4,
                          image.pixels.data(),
                          image.width * 4,
                          options.quality,
                          options.sampling,
                          contender->buffer.data(),
                          LONG(std::min<size_t>(contender->buffer.size(), INT_MAX)),
                          0};
  JpegUseStageRoutines(contender->stages);
  LONG result = JpegEncodeFrame(&params);
  if (result != JpegResultOk) {
    *error = "JpegEncodeFrame failed with " + std::to_string(result);
    return false;
  }
  contender->length = size_t(params.OutputLength);
  return true;
}

// Every contender once per round, the starting one rotating from round to round, so that a
// neighbour's load falls on all of them alike.
bool Measure(const BgrxImage& image, const BenchOptions& options, ImageResult* result,
             std::string* error) {
  LibjpegEncoder peer;
  size_t count = result->contenders.size();
  for (int round = -1; round < options.rounds; round++) {  // round -1 warms the caches up
    for (size_t i = 0; i < count; i++) {
      Contender& contender = result->contenders[(i + size_t(round + 1)) % count];
      auto start = std::chrono::steady_clock::now();
      bool ok = contender.stages != nullptr
                    ? EncodeOurs(image, options, &contender, error)
                    : peer.Encode(image, options.quality, options.sampling, &contender.buffer,
                                  &contender.length, error);
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!ok) return false;
      if (round >= 0) contender.seconds.push_back(seconds);
    }
  }
  return true;
}

bool Judge(const BgrxImage& image, ImageResult* result, std::string* error) {
  std::vector<uint8_t> ours = result->contenders.front().Stream();
  std::vector<uint8_t> theirs = result->contenders.back().Stream();
  for (size_t i = 1; i + 1 < result->contenders.size(); i++) {
    if (result->contenders[i].Stream() != ours) result->levelsIdentical = false;
  }
  int width, height;
  std::vector<uint8_t> rgb;
  if (!DecodeToRgb(ours.data(), ours.size(), &width, &height, &rgb, error)) return false;
  result->oursPsnr = Psnr(image, rgb);
  if (!DecodeToRgb(theirs.data(), theirs.size(), &width, &height, &rgb, error)) return false;
  result->theirsPsnr = Psnr(image, rgb);
  return true;
}

bool BenchImage(const std::string& path, const BenchOptions& options,
                const std::vector<const JpegStageRoutines*>& levels, ImageResult* result) {
  BgrxImage image;
  std::string error;
  if (!LoadPng(path, &image, &error)) {
    std::fprintf(stderr, "kxsim bench-encode: cannot read %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  result->name = std::filesystem::path(path).filename().string();
  result->width = image.width;
  result->height = image.height;
  // Room for any stream of the image: far above what even noise at quality 100 needs.
  size_t capacity = size_t(16) * image.width * image.height + 65536;
  for (const JpegStageRoutines* stages : levels) {
    result->contenders.push_back(Contender{stages, {}, std::vector<uint8_t>(capacity), 0});
  }
  result->contenders.push_back(Contender{nullptr, {}, std::vector<uint8_t>(capacity), 0});
  if (!Measure(image, options, result, &error) || !Judge(image, result, &error)) {
    std::fprintf(stderr, "kxsim bench-encode: %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  return true;
}

void PrintHeader(const BenchOptions& options, const std::vector<const JpegStageRoutines*>& levels) {
  std::printf("kxsim bench-encode: %s; quality %d, sampling %d, median of %d alternating rounds\n",
              CpuModel().c_str(), options.quality, options.sampling, options.rounds);
  std::printf("ours at level %s; libjpeg-turbo %s with its SIMD, islow DCT, restart every MCU\n\n",
              levels.front()->Name, LibjpegVersion());
  std::printf("%-20s %-10s %9s %9s %6s %9s %9s %7s %7s %7s %6s", "image", "pixels", "ours MP/s",
              "ljt MP/s", "ratio", "ours B", "ljt B", "size", "ours dB", "ljt dB", "dB");
  for (size_t i = 1; i < levels.size(); i++) std::printf(" %8s", levels[i]->Name);
  std::printf("\n");
}

void PrintRow(const ImageResult& r) {
  const Contender& ours = r.contenders.front();
  const Contender& theirs = r.contenders.back();
  double oursRate = MegapixelsPerSecond(r, ours);
  double theirsRate = MegapixelsPerSecond(r, theirs);
  std::string pixels = std::to_string(r.width) + "x" + std::to_string(r.height);
  std::printf("%-20s %-10s %9.1f %9.1f %6.2f %9zu %9zu %+6.2f%% %7.2f %7.2f %+6.2f", r.name.c_str(),
              pixels.c_str(), oursRate, theirsRate, oursRate / theirsRate, ours.length,
              theirs.length, 100.0 * (double(ours.length) / double(theirs.length) - 1), r.oursPsnr,
              r.theirsPsnr, r.oursPsnr - r.theirsPsnr);
  for (size_t i = 1; i + 1 < r.contenders.size(); i++) {
    std::printf(" %8.1f", MegapixelsPerSecond(r, r.contenders[i]));
  }
  if (!r.levelsIdentical) std::printf("  LEVELS DIFFER");
  std::printf("\n");
}

void PrintJson(const ImageResult& r, const BenchOptions& options) {
  const Contender& ours = r.contenders.front();
  const Contender& theirs = r.contenders.back();
  double oursRate = MegapixelsPerSecond(r, ours);
  double theirsRate = MegapixelsPerSecond(r, theirs);
  std::printf(
      "{\"image\":\"%s\",\"width\":%d,\"height\":%d,\"quality\":%d,\"sampling\":%d,"
      "\"level\":\"%s\",\"ours_mps\":%.2f,\"libjpeg_turbo_mps\":%.2f,\"ratio\":%.4f,"
      "\"ours_bytes\":%zu,\"libjpeg_turbo_bytes\":%zu,\"ours_psnr\":%.4f,"
      "\"libjpeg_turbo_psnr\":%.4f,\"levels_identical\":%s,\"levels\":{",
      r.name.c_str(), r.width, r.height, options.quality, options.sampling, ours.stages->Name,
      oursRate, theirsRate, oursRate / theirsRate, ours.length, theirs.length, r.oursPsnr,
      r.theirsPsnr, r.levelsIdentical ? "true" : "false");
  for (size_t i = 0; i + 1 < r.contenders.size(); i++) {
    std::printf("%s\"%s\":%.2f", i ? "," : "", r.contenders[i].stages->Name,
                MegapixelsPerSecond(r, r.contenders[i]));
  }
  std::printf("}}\n");
}

// The level in use first (what the driver would select), then with --levels every other level
// this processor runs.
std::vector<const JpegStageRoutines*> Levels(bool all) {
  JpegSelectStageRoutines();
  std::vector<const JpegStageRoutines*> levels{JpegCurrentStageRoutines()};
  for (ULONG level = 0; all && JpegStageRoutinesAt(level) != nullptr; level++) {
    const JpegStageRoutines* stages = JpegStageRoutinesAt(level);
    if (JpegProcessorRunsLevel(level) && stages != levels.front()) levels.push_back(stages);
  }
  return levels;
}

}  // namespace

int RunBenchEncode(int argc, char** argv) {
  BenchOptions options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  if (options.images.empty()) options.images = CorpusImages();
  if (options.images.empty()) {
    std::fprintf(stderr, "kxsim bench-encode: no images given and no corpus/\n");
    return 2;
  }
  std::vector<const JpegStageRoutines*> levels = Levels(options.levels);
  if (!options.json) PrintHeader(options, levels);
  std::vector<double> ratios;
  for (const std::string& path : options.images) {
    ImageResult result;
    if (!BenchImage(path, options, levels, &result)) return 1;
    if (options.json) {
      PrintJson(result, options);
    } else {
      PrintRow(result);
    }
    std::fflush(stdout);
    ratios.push_back(MegapixelsPerSecond(result, result.contenders.front()) /
                     MegapixelsPerSecond(result, result.contenders.back()));
  }
  if (!options.json) {
    double logSum = 0;
    for (double ratio : ratios) logSum += std::log(ratio);
    std::printf("\nratio ours / libjpeg-turbo: geometric mean %.2f, lowest %.2f\n",
                std::exp(logSum / double(ratios.size())),
                *std::min_element(ratios.begin(), ratios.end()));
  }
  return 0;
}

}  // namespace kxsim
