#include "bench_present_command.h"
#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host/hostk.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "present_bench.h"

namespace kxsim {
namespace {

struct BenchOptions {
  std::vector<std::string> images;
  PresentSetting setting;
  bool json = false;
};

constexpr char kUsage[] =
    "usage: kxsim bench-present [IMAGES...] [-q Q] [-s 0..3] [--rounds N] [--far-decode] "
    "[--json]\n"
    "  images default to the PNG files of corpus/\n";

bool ParseOptions(int argc, char** argv, BenchOptions* options) {
  ImageBenchArguments arguments{{}, &options->setting.quality, &options->setting.sampling,
                                &options->setting.rounds};
  auto ownFlag = [options](const std::string& flag) {
    if (flag != "--far-decode") return false;
    options->setting.farDecode = true;
    return true;
  };
  if (!ParseImageBenchArguments(argc, argv, "bench-present", kUsage, ownFlag, &arguments)) {
    return false;
  }
  options->images = arguments.images;
  options->json = arguments.json;
  return true;
}

// Derived, not measured: the encoder's time over the pipeline's time less the far side's decode,
// both medians of this run. What the ratio would be if the adapter model decoded elsewhere.
double RatioWithoutDecoder(const PresentImageResult& r, int pipeline, int encoder, int decoder) {
  double rest = Median(r.seconds[pipeline]) - Median(r.seconds[decoder]);
  return rest > 0 ? Median(r.seconds[encoder]) / rest : 0;
}
double WholeRatioWithoutDecoder(const PresentImageResult& r) {
  return RatioWithoutDecoder(r, kPipelineWhole, kEncoderWhole, kDecoderWhole);
}
double TilesRatioWithoutDecoder(const PresentImageResult& r) {
  return RatioWithoutDecoder(r, kPipelineTiles, kEncoderTiles, kDecoderTiles);
}

void PrintHeader(const PresentSetting& options) {
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
      "touch, each sent alone, aligned to the 16-pixel grid. MP/s of the image's pixels.\n"
      "System views of locked user pages stay mapped from one view to the next (as in kxsim "
      "bench).\n\n",
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

void PrintRow(const PresentImageResult& r) {
  std::string pixels = std::to_string(r.width) + "x" + std::to_string(r.height);
  std::printf("%-20s %-10s | %8.1f %8.1f %6.2f %8.1f | %5zu %8.1f %8.1f %6.2f %8.1f | %6.2f\n",
              r.name.c_str(), pixels.c_str(), r.Rate(kPipelineWhole), r.Rate(kEncoderWhole),
              r.Rate(kPipelineWhole) / r.Rate(kEncoderWhole), r.Rate(kDecoderWhole), r.tiles,
              r.Rate(kPipelineTiles), r.Rate(kEncoderTiles),
              r.Rate(kPipelineTiles) / r.Rate(kEncoderTiles), r.Rate(kDecoderTiles),
              r.farPsnr);
}

void PrintJson(const PresentImageResult& r, const PresentSetting& options) {
  std::printf(
      "{\"image\":\"%s\",\"width\":%d,\"height\":%d,\"quality\":%d,\"sampling\":%d,"
      "\"level\":\"%s\",\"rounds\":%d,"
      "\"whole\":{\"pipeline_mps\":%.2f,\"encoder_mps\":%.2f,\"ratio\":%.4f,"
      "\"far_decoder_mps\":%.2f,\"ratio_without_far_decoder\":%.4f,\"wire_bytes\":%llu},"
      "\"tiles\":{\"count\":%zu,\"pipeline_mps\":%.2f,\"encoder_mps\":%.2f,\"ratio\":%.4f,"
      "\"far_decoder_mps\":%.2f,\"ratio_without_far_decoder\":%.4f,\"wire_bytes\":%llu},"
      "\"far_psnr\":%.4f}\n",
      r.name.c_str(), r.width, r.height, options.quality, options.sampling,
      JpegCurrentStageRoutines()->Name, options.rounds, r.Rate(kPipelineWhole),
      r.Rate(kEncoderWhole), r.Rate(kPipelineWhole) / r.Rate(kEncoderWhole),
      r.Rate(kDecoderWhole), WholeRatioWithoutDecoder(r), (unsigned long long)r.wholeBytes,
      r.tiles, r.Rate(kPipelineTiles), r.Rate(kEncoderTiles),
      r.Rate(kPipelineTiles) / r.Rate(kEncoderTiles), r.Rate(kDecoderTiles),
      TilesRatioWithoutDecoder(r), (unsigned long long)r.tileBytes, r.farPsnr);
}

void PrintSummary(const std::vector<PresentImageResult>& results, const PresentSetting& options) {
  enum { kWholeRatio = kPresentContenders, kTilesRatio, kWholeDerived, kTilesDerived, kColumns };
  std::vector<double> columns[kColumns];
  for (const PresentImageResult& r : results) {
    for (int kind = 0; kind < kPresentContenders; kind++) columns[kind].push_back(r.Rate(kind));
    columns[kWholeRatio].push_back(r.Rate(kPipelineWhole) / r.Rate(kEncoderWhole));
    columns[kTilesRatio].push_back(r.Rate(kPipelineTiles) / r.Rate(kEncoderTiles));
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
  BenchThreadScope thread;
  JpegSelectStageRoutines();  // what the adapter's start does before any encoder runs
  if (!options.json) PrintHeader(options.setting);
  std::vector<PresentImageResult> results;
  bool ok = true;
  for (const std::string& path : options.images) {
    PresentImageResult result;
    std::string error;
    if (!BenchPresentImage(path, options.setting, &result, &error)) {
      std::fprintf(stderr, "kxsim bench-present: %s\n", error.c_str());
      ok = false;
      break;
    }
    if (options.json) {
      PrintJson(result, options.setting);
    } else {
      PrintRow(result);
    }
    std::fflush(stdout);
    results.push_back(result);
  }
  if (ok && !options.json) PrintSummary(results, options.setting);
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
