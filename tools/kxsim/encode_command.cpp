#include "encode_command.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jpeg/jpeg.h"
#include "png_file.h"

namespace kxsim {
namespace {

struct EncodeOptions {
  std::string input;
  std::string output;
  int quality = 75;  // the adapter's defaults
  int sampling = 3;
  int repeat = 1;
};

const char* ResultText(LONG result) {
  switch (result) {
    case JpegResultHeaderFailed: return "writing the header failed";
    case JpegResultScanFailed: return "writing the scan failed (output full or a stage error)";
    case JpegResultNoEncoder: return "the encoder object could not be allocated";
    case JpegResultBadSize: return "channel count or image size not supported";
    case JpegResultBadArgument: return "bad argument, or no memory for the Huffman tables";
    default: return "unknown result";
  }
}

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = int(parsed);
  return true;
}

bool ParseOptions(int argc, char** argv, EncodeOptions* options) {
  std::vector<std::string> positional;
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "-q" && hasValue) {
      if (!ParseInt(argv[++i], 0, 100, &options->quality)) {
        std::fprintf(stderr, "kxsim encode: quality must be 0..100\n");
        return false;
      }
    } else if (arg == "-s" && hasValue) {
      if (!ParseInt(argv[++i], 0, 3, &options->sampling)) {
        std::fprintf(stderr, "kxsim encode: sampling must be 0..3\n");
        return false;
      }
    } else if (arg == "--repeat" && hasValue) {
      if (!ParseInt(argv[++i], 1, 100000, &options->repeat)) {
        std::fprintf(stderr, "kxsim encode: --repeat must be 1 or more\n");
        return false;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "kxsim encode: unknown option '%s'\n", arg.c_str());
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    std::fprintf(stderr, "usage: kxsim encode IN.png OUT.jpg [-q Q] [-s 0..3] [--repeat N]\n");
    return false;
  }
  options->input = positional[0];
  options->output = positional[1];
  return true;
}

// Room for any stream of the image: far above what even noise at quality 100 needs.
LONG OutputCapacity(const BgrxImage& image) {
  long long bytes = 16LL * image.width * image.height + 65536;
  return LONG(std::min<long long>(bytes, INT_MAX));
}

bool WriteFile(const std::string& path, const uint8_t* bytes, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

int RunEncode(int argc, char** argv) {
  EncodeOptions options;
  if (!ParseOptions(argc, argv, &options)) return 2;

  BgrxImage image;
  std::string error;
  if (!LoadPng(options.input, &image, &error)) {
    std::fprintf(stderr, "kxsim encode: cannot read %s as a PNG image: %s\n", options.input.c_str(),
                 error.c_str());
    return 1;
  }
  if (image.width < 8 || image.height < 8) {
    std::fprintf(stderr, "kxsim encode: %s is %d x %d; the encoder needs at least 8 x 8\n",
                 options.input.c_str(), image.width, image.height);
    return 1;
  }

  JpegSelectStageRoutines();
  LONG capacity = OutputCapacity(image);
  std::unique_ptr<uint8_t[]> output(new uint8_t[size_t(capacity)]);
  JpegEncodeParams params{};
  std::vector<double> seconds;
  for (int i = 0; i < options.repeat; i++) {
    params = JpegEncodeParams{image.width, image.height, 4, image.pixels.data(), image.width * 4,
                              options.quality, options.sampling, output.get(), capacity, 0};
    auto start = std::chrono::steady_clock::now();
    LONG result = JpegEncodeFrame(&params);
    auto elapsed = std::chrono::steady_clock::now() - start;
    seconds.push_back(std::chrono::duration<double>(elapsed).count());
    if (result != JpegResultOk) {
      std::fprintf(stderr, "kxsim encode: JpegEncodeFrame failed with %d: %s\n", int(result),
                   ResultText(result));
      return 1;
    }
  }
  if (!WriteFile(options.output, output.get(), size_t(params.OutputLength))) {
    std::fprintf(stderr, "kxsim encode: cannot write %s\n", options.output.c_str());
    return 1;
  }

  std::sort(seconds.begin(), seconds.end());
  double median = seconds[seconds.size() / 2];
  double pixels = double(image.width) * image.height;
  std::printf("%s: %d x %d, quality %d, sampling %d\n", options.output.c_str(), image.width,
              image.height, options.quality, options.sampling);
  std::printf("  %d bytes, %.3f bits per pixel\n", int(params.OutputLength),
              8.0 * params.OutputLength / pixels);
  std::printf("  encode %.3f ms (median of %d), %.1f MP/s\n", median * 1e3, options.repeat,
              pixels / median / 1e6);
  return 0;
}

}  // namespace kxsim
