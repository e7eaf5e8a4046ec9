#include "bench_support.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "host/hostk/user_memory.h"
#include "jpeg/slices.h"
#include "sim/display/canvas.h"
#include "sim/display/glyphs.h"

namespace kxsim {

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = int(parsed);
  return true;
}

bool ParseImageBenchArguments(int argc, char** argv, const char* command, const char* usage,
                              const std::function<bool(const std::string&)>& ownFlag,
                              ImageBenchArguments* arguments) {
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    bool ok = true;
    if (arg == "-q" && hasValue) {
      arg += std::string(" ") + argv[++i];
      ok = ParseInt(argv[i], 0, 100, arguments->quality);
    } else if (arg == "-s" && hasValue) {
      arg += std::string(" ") + argv[++i];
      ok = ParseInt(argv[i], 0, 3, arguments->sampling);
    } else if (arg == "--rounds" && hasValue) {
      arg += std::string(" ") + argv[++i];
      ok = ParseInt(argv[i], 1, 10000, arguments->rounds);
    } else if (arg == "--json") {
      arguments->json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      ok = ownFlag(arg);
    } else {
      arguments->images.push_back(arg);
    }
    if (!ok) {
      std::fprintf(stderr, "kxsim %s: bad argument '%s'\n%s", command, arg.c_str(), usage);
      return false;
    }
  }
  return true;
}

std::vector<std::string> CorpusImages() {
  std::vector<std::string> paths;
  std::error_code error;
  for (const char* dir : {"corpus", KX_SOURCE_DIR "/corpus"}) {
    if (!std::filesystem::is_directory(dir, error)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
      if (entry.path().extension() == ".png") paths.push_back(entry.path().string());
    }
    break;
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::string CpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) != 0) continue;
    size_t colon = line.find(':');
    return colon == std::string::npos ? line : line.substr(colon + 2);
  }
  return "unknown processor";
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double GeometricMean(const std::vector<double>& values) {
  if (values.empty()) return 0;
  double logSum = 0;
  for (double value : values) logSum += std::log(value);
  return std::exp(logSum / double(values.size()));
}

namespace {

double SecondsOf(clockid_t clock) {
  timespec used{};
  if (clock_gettime(clock, &used) != 0) return 0;
  return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

}  // namespace

double ProcessProcessorSeconds() { return SecondsOf(CLOCK_PROCESS_CPUTIME_ID); }
double ThreadProcessorSeconds() { return SecondsOf(CLOCK_THREAD_CPUTIME_ID); }

KeptEncoder::~KeptEncoder() { Release(); }

void KeptEncoder::Release() {
  if (encoder_ != nullptr) JpegDestroySliceEncoder(encoder_);
  encoder_ = nullptr;
}

LONG KeptEncoder::Encode(JpegEncodeParams* params, const JpegStageRoutines* stages) {
  if (stages == nullptr) stages = JpegCurrentStageRoutines();
  LONG result = encoder_ != nullptr ? JpegReuseSliceEncoder(encoder_, params, stages)
                                    : JpegCreateSliceEncoder(params, stages, &encoder_);
  return result == JpegResultOk ? JpegEncodeWholeStream(encoder_, params) : result;
}

bool KeptEncoder::EncodeRect(const BgrxImage& image, const PixelRect& rect, int quality,
                             int sampling, std::vector<uint8_t>* output, size_t* length,
                             std::string* error, const JpegStageRoutines* stages) {
  JpegEncodeParams params{rect.Width(),
                          rect.Height(),
                          4,
                          &image.pixels[(size_t(rect.top) * image.width + rect.left) * 4],
                          image.width * 4,
                          quality,
                          sampling,
                          output->data(),
                          LONG(std::min<size_t>(output->size(), INT_MAX)),
                          0};
  LONG result = Encode(&params, stages);
  *length = result == JpegResultOk ? size_t(params.OutputLength) : 0;
  if (result != JpegResultOk) *error = "the encoder failed with " + std::to_string(result);
  return result == JpegResultOk;
}

BenchThreadScope::BenchThreadScope() : thread_("kxsim") { hostk::UserRangeKeepViewsResident(true); }

BenchThreadScope::~BenchThreadScope() { hostk::UserRangeKeepViewsResident(false); }

PixelRect GlyphCell(int index, int width) {
  LONG columns = width / kGlyphCell;
  LONG left = (index % columns) * kGlyphCell;
  LONG top = (index / columns) * kGlyphCell;
  return PixelRect{left, top, left + kGlyphCell, top + kGlyphCell};
}

void DrawGlyphLetters(const Canvas& canvas, int count) {
  const char* letters = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int i = 0; i < count; i++) {
    PixelRect cell = GlyphCell(i, canvas.width);
    DrawText(canvas, cell.left + 5, cell.top + 3, std::string(1, letters[i % 36]),
             Rgb(32, 36, 40), 1);
  }
}

}  // namespace kxsim
