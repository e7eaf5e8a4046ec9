#include "bench_parallel.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "bench_support.h"
#include "driver/kxbus.h"
#include "host/hostk.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"

namespace kxsim {
namespace {

// One processor count: its crew, its output buffer (the driver's encode buffer's size, made and
// touched before any timing), its times and its last stream.
struct Contender {
  unsigned processors = 1;
  EncodeCrew crew{};
  std::vector<uint8_t> output;
  size_t length = 0;
  std::vector<double> seconds;
};

bool EncodeOnce(const BgrxImage& image, int quality, int sampling, Contender* contender,
                double* seconds, std::string* error) {
  JpegEncodeParams params{image.width,  image.height,
                          4,            image.pixels.data(),
                          image.width * 4, quality,
                          sampling,     contender->output.data(),
                          LONG(contender->output.size()), 0};
  auto start = std::chrono::steady_clock::now();
  LONG result = EncodeWithCrew(&contender->crew, &params);
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (result != JpegResultOk) {
    *error = "the shared encoder failed with " + std::to_string(result);
    return false;
  }
  contender->length = size_t(params.OutputLength);
  return true;
}

}  // namespace

bool BenchParallel(const BgrxImage& image, const std::string& name, int quality, int sampling,
                   int rounds, unsigned maxProcessors, ParallelFigures* figures,
                   std::string* error) {
  JpegSelectStageRoutines();
  std::vector<std::unique_ptr<Contender>> contenders;
  bool ok = true;
  for (unsigned processors = 1; processors <= maxProcessors && ok; processors++) {
    auto contender = std::make_unique<Contender>();
    contender->processors = processors;
    contender->output.assign(kFrameBufferSize, 0);
    StartEncodeCrew(&contender->crew, processors);
    if (contender->crew.HelperCount + 1 != processors) {
      *error = "a crew for " + std::to_string(processors) + " processors could not start";
      ok = false;
    }
    contenders.push_back(std::move(contender));
  }
  size_t count = contenders.size();
  for (int round = -1; ok && round < rounds; round++) {  // round -1 warms up
    for (size_t i = 0; ok && i < count; i++) {
      Contender& contender = *contenders[(i + size_t(round + 1)) % count];
      double seconds;
      ok = EncodeOnce(image, quality, sampling, &contender, &seconds, error);
      if (ok && round >= 0) contender.seconds.push_back(seconds);
    }
  }
  figures->name = name;
  figures->width = image.width;
  figures->height = image.height;
  for (const auto& contender : contenders) {
    EndEncodeCrew(&contender->crew);
    if (!ok) continue;
    const Contender& alone = *contenders.front();
    bool same = contender->length == alone.length &&
                std::equal(alone.output.begin(), alone.output.begin() + long(alone.length),
                           contender->output.begin());
    figures->identical = figures->identical && same;
    figures->processors.push_back(contender->processors);
    figures->megapixelsPerSecond.push_back(double(image.width) * image.height /
                                           Median(contender->seconds) / 1e6);
  }
  return ok;
}

namespace {

struct ParallelOptions {
  std::string image;
  int quality = 75;
  int sampling = 3;
  int rounds = 9;
  int processors = 2;
  bool json = false;
};

bool ParseParallelOptions(int argc, char** argv, ParallelOptions* options) {
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    bool ok = true;
    if (arg == "-q" && hasValue) {
      ok = ParseInt(argv[++i], 0, 100, &options->quality);
    } else if (arg == "-s" && hasValue) {
      ok = ParseInt(argv[++i], 0, 3, &options->sampling);
    } else if (arg == "--rounds" && hasValue) {
      ok = ParseInt(argv[++i], 1, 10000, &options->rounds);
    } else if (arg == "--processors" && hasValue) {
      ok = ParseInt(argv[++i], 1, int(kMaxEncodeThreads), &options->processors);
    } else if (arg == "--json") {
      options->json = true;
    } else if (!arg.empty() && arg[0] != '-' && options->image.empty()) {
      options->image = arg;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr,
                   "kxsim bench-parallel: bad argument '%s'\n"
                   "usage: kxsim bench-parallel [IMAGE] [-q Q] [-s 0..3] [--rounds N] "
                   "[--processors 1..8] [--json]\n",
                   arg.c_str());
      return false;
    }
  }
  return true;
}

// The corpus image with the most pixels.
std::string LargestCorpusImage() {
  std::string best;
  long bestPixels = 0;
  for (const std::string& path : CorpusImages()) {
    BgrxImage image;
    std::string error;
    if (!LoadPng(path, &image, &error)) continue;
    long pixels = long(image.width) * image.height;
    if (pixels > bestPixels) best = path, bestPixels = pixels;
  }
  return best;
}

void PrintParallel(const ParallelFigures& f, const ParallelOptions& options) {
  if (options.json) {
    std::printf("{\"image\":\"%s\",\"width\":%d,\"height\":%d,\"quality\":%d,"
                "\"sampling\":%d,\"identical\":%s,\"processors\":[",
                f.name.c_str(), f.width, f.height, options.quality, options.sampling,
                f.identical ? "true" : "false");
    for (size_t i = 0; i < f.processors.size(); i++) {
      std::printf("%s{\"count\":%u,\"mps\":%.2f,\"ratio\":%.4f}", i ? "," : "",
                  f.processors[i], f.megapixelsPerSecond[i],
                  f.megapixelsPerSecond[i] / f.megapixelsPerSecond[0]);
    }
    std::printf("]}\n");
    return;
  }
  std::printf("kxsim bench-parallel: %s; %s %dx%d, quality %d, sampling %d, median of %d "
              "alternating rounds\n"
              "the frame worker's sharing code (EncodeWithCrew) on the host kernel's system "
              "threads, encoder level %s\n\n%-11s %9s %7s\n",
              CpuModel().c_str(), f.name.c_str(), f.width, f.height, options.quality,
              options.sampling, options.rounds, JpegCurrentStageRoutines()->Name, "processors",
              "MP/s", "ratio");
  for (size_t i = 0; i < f.processors.size(); i++) {
    std::printf("%-11u %9.1f %7.2f\n", f.processors[i], f.megapixelsPerSecond[i],
                f.megapixelsPerSecond[i] / f.megapixelsPerSecond[0]);
  }
  std::printf("\nstreams %s the one-processor stream\n",
              f.identical ? "identical to" : "DIFFERENT FROM");
}

}  // namespace

int RunBenchParallel(int argc, char** argv) {
  ParallelOptions options;
  if (!ParseParallelOptions(argc, argv, &options)) return 2;
  if (options.image.empty()) options.image = LargestCorpusImage();
  BgrxImage image;
  std::string error;
  if (options.image.empty() || !LoadPng(options.image, &image, &error)) {
    std::fprintf(stderr, "kxsim bench-parallel: cannot read '%s' %s\n", options.image.c_str(),
                 error.c_str());
    return 2;
  }
  hostk::ManagedThreadScope thread("kxsim");
  ParallelFigures figures;
  bool ok = BenchParallel(image, std::filesystem::path(options.image).filename().string(),
                          options.quality, options.sampling, options.rounds,
                          unsigned(options.processors), &figures, &error);
  if (!ok) std::fprintf(stderr, "kxsim bench-parallel: %s\n", error.c_str());
  if (ok) PrintParallel(figures, options);
  std::string leaks = hostk::LeakReport();
  if (!leaks.empty()) {
    std::fprintf(stderr, "kxsim bench-parallel: the host kernel is not clean:\n%s\n",
                 leaks.c_str());
    ok = false;
  }
  return ok && figures.identical ? 0 : 1;
}

}  // namespace kxsim
