#include "present_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "adapter_session.h"
#include "jpeg/jpeg.h"
#include "png_file.h"

namespace kxsim {
namespace {


struct PresentOptions {
  std::string input;
  std::string output;
  int quality = 75;  // the adapter's defaults
  int sampling = 3;
  int modeWidth = 0;  // 0: the image's size
  int modeHeight = 0;
  std::vector<PixelRect> rects;  // none: the whole output
};

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kxsim present IN.png OUT.png [-q Q] [-s 0..3] [--mode WxH] "
               "[--rect L,T,R,B]...\n"
               "  the image on a display of the virtual adapter, through the driver; OUT.png is\n"
               "  what the far side shows\n");
}

bool ParseInt(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = int(parsed);
  return true;
}

// "1366x768"
bool ParseMode(const std::string& text, int* width, int* height) {
  size_t x = text.find('x');
  if (x == std::string::npos) return false;
  return ParseInt(text.substr(0, x).c_str(), 1, 65535, width) &&
         ParseInt(text.substr(x + 1).c_str(), 1, 65535, height);
}

// "L,T,R,B"; the driver judges whether the rectangle fits the output.
bool ParseRect(const std::string& text, PixelRect* rect) {
  int values[4];
  size_t start = 0;
  for (int i = 0; i < 4; i++) {
    size_t comma = i < 3 ? text.find(',', start) : text.size();
    if (comma == std::string::npos) return false;
    if (!ParseInt(text.substr(start, comma - start).c_str(), -65535, 65535, &values[i])) {
      return false;
    }
    start = comma + 1;
  }
  *rect = PixelRect{values[0], values[1], values[2], values[3]};
  return true;
}

bool ParseOptions(int argc, char** argv, PresentOptions* options) {
  std::vector<std::string> positional;
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    bool ok = true;
    if (arg == "-q" && hasValue) {
      ok = ParseInt(argv[++i], 0, 100, &options->quality);
    } else if (arg == "-s" && hasValue) {
      ok = ParseInt(argv[++i], 0, 3, &options->sampling);
    } else if (arg == "--mode" && hasValue) {
      ok = ParseMode(argv[++i], &options->modeWidth, &options->modeHeight);
    } else if (arg == "--rect" && hasValue) {
      PixelRect rect;
      ok = ParseRect(argv[++i], &rect);
      options->rects.push_back(rect);
    } else if (!arg.empty() && arg[0] == '-') {
      ok = false;
    } else {
      positional.push_back(arg);
    }
    if (!ok) {
      std::fprintf(stderr, "kxsim present: bad argument '%s'\n", argv[i]);
      PrintUsage();
      return false;
    }
  }
  if (positional.size() != 2) {
    PrintUsage();
    return false;
  }
  options->input = positional[0];
  options->output = positional[1];
  return true;
}

// The image at the top-left of a black output of `width` x `height`, clipped to it.
BgrxImage PlacedOnOutput(const BgrxImage& image, int width, int height) {
  BgrxImage output;
  output.width = width;
  output.height = height;
  output.pixels.assign(size_t(width) * size_t(height) * 4, 0);
  int columns = std::min(width, image.width);
  for (int y = 0; y < std::min(height, image.height); y++) {
    std::copy_n(&image.pixels[size_t(y) * image.width * 4], size_t(columns) * 4,
                &output.pixels[size_t(y) * width * 4]);
  }
  return output;
}

// Marks the pixels of `rect` that lie on the output.
void Mark(const PixelRect& rect, int width, int height, std::vector<bool>* mask) {
  int left = std::max(0, int(rect.left));
  int top = std::max(0, int(rect.top));
  int right = std::min(width, int(rect.right));
  int bottom = std::min(height, int(rect.bottom));
  for (int y = top; y < bottom; y++) {
    for (int x = left; x < right; x++) (*mask)[size_t(y) * width + x] = true;
  }
}

// PSNR of the far side's RGB picture against the output's BGRX pixels, over the marked pixels.
double MaskedPsnr(const BgrxImage& source, const std::vector<uint8_t>& rgb,
                  const std::vector<bool>& mask, size_t* compared) {
  double squared = 0;
  *compared = 0;
  for (size_t i = 0; i < mask.size(); i++) {
    if (!mask[i]) continue;
    (*compared)++;
    for (int c = 0; c < 3; c++) {
      double difference = double(source.pixels[4 * i + 2 - c]) - double(rgb[3 * i + c]);
      squared += difference * difference;
    }
  }
  if (*compared == 0) return 0;
  double mse = squared / (3.0 * double(*compared));
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::string RectText(const PixelRect& rect) {
  return "(" + std::to_string(rect.left) + "," + std::to_string(rect.top) + ")-(" +
         std::to_string(rect.right) + "," + std::to_string(rect.bottom) + ")";
}

// Everything from the mode on, with the device plugged; false when anything failed.
// `image` is the output's picture, the source's `sourceWidth` x `sourceHeight` at its top-left.
bool PresentOnAdapter(const PresentOptions& options, const BgrxImage& image, int sourceWidth,
                      int sourceHeight, AdapterSession* session) {
  bool ok = true;
  ULONGLONG bytesBefore = session->Port().Counters().bytesOut;
  PDEVICE_OBJECT child = session->AddChild(kSingleChannel, kSingleDisplayId);
  if (child == nullptr) {
    std::fprintf(stderr, "kxsim present: the child device could not be created\n");
    return false;
  }
  NTSTATUS status = session->SetMode(child, USHORT(image.width), USHORT(image.height));
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "kxsim present: IOCTL_DISPLAY_SET_MODE %d x %d failed with %s\n",
                 image.width, image.height, StatusText(status).c_str());
    return false;
  }

  hostk::UserBuffer pixels(image.pixels.size());
  std::copy(image.pixels.begin(), image.pixels.end(), pixels.Data());
  std::vector<PixelRect> rects = options.rects;
  if (rects.empty()) rects.push_back(PixelRect{0, 0, image.width, image.height});
  // What the far side should show: the pixels of the presents the driver took.
  std::vector<bool> presentedArea(size_t(image.width) * image.height, false);
  size_t presented = 0;
  for (const PixelRect& rect : rects) {
    status = session->Present(child, pixels, image.width * 4, rect);
    if (!NT_SUCCESS(status)) {
      std::fprintf(stderr, "kxsim present: IOCTL_DISPLAY_PRESENT of %s failed with %s\n",
                   RectText(rect).c_str(), StatusText(status).c_str());
      ok = false;
    } else {
      Mark(rect, image.width, image.height, &presentedArea);
      presented++;
    }
  }
  session->Settle(kOneSecond);
  ULONGLONG bytes = session->Port().Counters().bytesOut - bytesBefore;

  size_t area = size_t(std::count(presentedArea.begin(), presentedArea.end(), true));
  // The PSNR covers the presented pixels that hold the source, not the output's black padding.
  std::vector<bool> compared(presentedArea.size(), false);
  for (int y = 0; y < std::min(image.height, sourceHeight); y++) {
    for (int x = 0; x < std::min(image.width, sourceWidth); x++) {
      size_t i = size_t(y) * image.width + x;
      compared[i] = presentedArea[i];
    }
  }

  std::optional<FarDisplayState> display = session->Adapter().Display(kSingleDisplayId);
  bool shown = display && display->mode.width == image.width &&
               display->mode.height == image.height;
  std::string error;
  if (!shown) {
    std::fprintf(stderr, "kxsim present: the far side shows no %d x %d display %d\n",
                 image.width, image.height, int(kSingleDisplayId));
    ok = false;
  } else if (!SaveRgbPng(options.output, display->mode.width, display->mode.height, display->rgb,
                         &error)) {
    std::fprintf(stderr, "kxsim present: cannot write %s: %s\n", options.output.c_str(),
                 error.c_str());
    ok = false;
  }

  std::vector<std::string> violations = session->Violations();
  ULONG violationCount = session->Adapter().ViolationTotal();
  std::printf("%s: %d x %d output, quality %d, sampling %d\n", options.output.c_str(),
              image.width, image.height, options.quality, options.sampling);
  std::printf("  rectangles: %zu presented, %u drawn by the far side\n", presented,
              unsigned(session->Adapter().Rectangles()));
  std::printf("  wire: %llu bytes out for the mode and the presents, %.3f bits per presented "
              "pixel\n",
              (unsigned long long)bytes, area ? 8.0 * double(bytes) / double(area) : 0.0);
  std::printf("  violations: %u\n", unsigned(violationCount));
  for (const std::string& line : violations) std::printf("    %s\n", line.c_str());
  size_t comparedPixels = 0;
  double psnr = shown ? MaskedPsnr(image, display->rgb, compared, &comparedPixels) : 0;
  if (!shown) {
    std::printf("  PSNR: no picture on the far side\n");
  } else if (comparedPixels == 0) {
    std::printf("  PSNR: no source pixel was presented\n");
  } else {
    std::printf("  PSNR: %.2f dB over %zu pixels\n", psnr, comparedPixels);
  }
  return ok && violationCount == 0;
}

}  // namespace

int RunPresent(int argc, char** argv) {
  PresentOptions options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  BgrxImage source;
  std::string error;
  if (!LoadPng(options.input, &source, &error)) {
    std::fprintf(stderr, "kxsim present: cannot read %s as a PNG image: %s\n",
                 options.input.c_str(), error.c_str());
    return 1;
  }
  int width = options.modeWidth ? options.modeWidth : source.width;
  int height = options.modeHeight ? options.modeHeight : source.height;
  if (width > 65535 || height > 65535) {
    std::fprintf(stderr, "kxsim present: %s is %d x %d; a mode is at most 65535 x 65535\n",
                 options.input.c_str(), source.width, source.height);
    return 1;
  }
  BgrxImage output = options.modeWidth ? PlacedOnOutput(source, width, height) : source;

  hostk::ManagedThreadScope thread("kxsim");
  bool ok;
  {
    AdapterSession session;
    ok = session.Plug(options.quality, options.sampling, &error);
    if (!ok) {
      std::fprintf(stderr, "kxsim present: %s\n", error.c_str());
    } else {
      ok = PresentOnAdapter(options, output, source.width, source.height, &session);
    }
    NTSTATUS status = session.Remove();
    if (!NT_SUCCESS(status)) {
      std::fprintf(stderr, "kxsim present: removing the device failed with %s\n",
                   StatusText(status).c_str());
      ok = false;
    }
  }
  std::string leaks = hostk::LeakReport();
  if (!leaks.empty()) {
    std::fprintf(stderr, "kxsim present: the host kernel is not clean after the removal:\n%s\n",
                 leaks.c_str());
    ok = false;
  }
  return ok ? 0 : 1;
}

}  // namespace kxsim
