#include "bench_command.h"
#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "encoder_bench.h"
#include "libjpeg_peer.h"

namespace kxsim {
namespace {

struct BenchOptions {
  std::vector<std::string> images;
  EncoderSetting setting;
  bool levels = false;
  bool json = false;
};

constexpr char kUsage[] =
    "usage: kxsim bench-encode [IMAGES...] [-q Q] [-s 0..3] [--rounds N] [--levels] "
    "[--json]\n"
    "  images default to the PNG files of corpus/\n";

bool ParseOptions(int argc, char** argv, BenchOptions* options) {
  ImageBenchArguments arguments{{}, &options->setting.quality, &options->setting.sampling,
                                &options->setting.rounds};
  auto ownFlag = [options](const std::string& flag) {
    if (flag != "--levels") return false;
    options->levels = true;
    return true;
  };
  if (!ParseImageBenchArguments(argc, argv, "bench-encode", kUsage, ownFlag, &arguments)) {
    return false;
  }
  options->images = arguments.images;
  options->json = arguments.json;
  return true;
}

void PrintHeader(const BenchOptions& options, const std::vector<const JpegStageRoutines*>& levels) {
  std::printf("kxsim bench-encode: %s; quality %d, sampling %d, median of %d alternating rounds\n",
              CpuModel().c_str(), options.setting.quality, options.setting.sampling,
              options.setting.rounds);
  std::printf("ours at level %s; libjpeg-turbo %s with its SIMD, islow DCT, restart every MCU\n\n",
              levels.front()->Name, LibjpegVersion());
  std::printf("%-20s %-10s %9s %9s %6s %9s %9s %7s %7s %7s %6s", "image", "pixels", "ours MP/s",
              "ljt MP/s", "ratio", "ours B", "ljt B", "size", "ours dB", "ljt dB", "dB");
  for (size_t i = 1; i < levels.size(); i++) std::printf(" %8s", levels[i]->Name);
  std::printf("\n");
}

void PrintRow(const EncoderImageResult& r) {
  const EncoderContenderResult& ours = r.Ours();
  const EncoderContenderResult& theirs = r.Theirs();
  std::string pixels = std::to_string(r.width) + "x" + std::to_string(r.height);
  std::printf("%-20s %-10s %9.1f %9.1f %6.2f %9zu %9zu %+6.2f%% %7.2f %7.2f %+6.2f", r.name.c_str(),
              pixels.c_str(), r.Rate(ours), r.Rate(theirs), r.Ratio(), ours.length,
              theirs.length, 100.0 * (double(ours.length) / double(theirs.length) - 1), r.oursPsnr,
              r.theirsPsnr, r.oursPsnr - r.theirsPsnr);
  for (size_t i = 1; i + 1 < r.contenders.size(); i++) {
    std::printf(" %8.1f", r.Rate(r.contenders[i]));
  }
  if (!r.levelsIdentical) std::printf("  LEVELS DIFFER");
  std::printf("\n");
}

void PrintJson(const EncoderImageResult& r, const BenchOptions& options) {
  const EncoderContenderResult& ours = r.Ours();
  const EncoderContenderResult& theirs = r.Theirs();
  std::printf(
      "{\"image\":\"%s\",\"width\":%d,\"height\":%d,\"quality\":%d,\"sampling\":%d,"
      "\"level\":\"%s\",\"ours_mps\":%.2f,\"libjpeg_turbo_mps\":%.2f,\"ratio\":%.4f,"
      "\"ours_bytes\":%zu,\"libjpeg_turbo_bytes\":%zu,\"ours_psnr\":%.4f,"
      "\"libjpeg_turbo_psnr\":%.4f,\"levels_identical\":%s,\"levels\":{",
      r.name.c_str(), r.width, r.height, options.setting.quality, options.setting.sampling,
      ours.stages->Name, r.Rate(ours), r.Rate(theirs), r.Ratio(), ours.length, theirs.length,
      r.oursPsnr, r.theirsPsnr, r.levelsIdentical ? "true" : "false");
  for (size_t i = 0; i + 1 < r.contenders.size(); i++) {
    std::printf("%s\"%s\":%.2f", i ? "," : "", r.contenders[i].stages->Name,
                r.Rate(r.contenders[i]));
  }
  std::printf("}}\n");
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
  std::vector<const JpegStageRoutines*> levels = EncoderLevels(options.levels);
  if (!options.json) PrintHeader(options, levels);
  std::vector<double> ratios;
  for (const std::string& path : options.images) {
    EncoderImageResult result;
    std::string error;
    if (!BenchEncoderImage(path, options.setting, levels, &result, &error)) {
      std::fprintf(stderr, "kxsim bench-encode: %s\n", error.c_str());
      return 1;
    }
    if (options.json) {
      PrintJson(result, options);
    } else {
      PrintRow(result);
    }
    std::fflush(stdout);
    ratios.push_back(result.Ratio());
  }
  if (!options.json) {
    std::printf("\nratio ours / libjpeg-turbo: geometric mean %.2f, lowest %.2f\n",
                GeometricMean(ratios), *std::min_element(ratios.begin(), ratios.end()));
  }
  return 0;
}

}  // namespace kxsim
