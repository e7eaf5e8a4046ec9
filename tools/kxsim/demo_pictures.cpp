#include "demo_pictures.h"

#include <cstdio>
#include <cstdlib>

#include "sim/display/glyphs.h"

namespace kxsim {
namespace {

constexpr int kCaptionScale = 2;
constexpr LONG kGap = 12;
constexpr LONG kBand = 44;  // caption and footer strips
constexpr ULONG kBackground = 0x202124;
constexpr ULONG kInk = 0xE8EAED;

std::string FiguresLine(const DisplayResult& display) {
  char line[200];
  std::snprintf(line, sizeof line,
                "display %d  %d x %d   psnr %.2f db   %llu presents   %llu rectangles sent   "
                "stale blocks %llu",
                int(display.id), display.width, display.height, display.psnr,
                (unsigned long long)display.presents, (unsigned long long)display.rectanglesSent,
                (unsigned long long)display.staleBlocks);
  return line;
}

}  // namespace

std::vector<uint8_t> RgbOf(const BgrxImage& image) {
  size_t pixels = size_t(image.width) * size_t(image.height);
  std::vector<uint8_t> rgb(pixels * 3);
  for (size_t i = 0; i < pixels; i++) {
    for (int c = 0; c < 3; c++) rgb[3 * i + size_t(c)] = image.pixels[4 * i + size_t(2 - c)];
  }
  return rgb;
}

BgrxImage BgrxOf(int width, int height, const std::vector<uint8_t>& rgb) {
  BgrxImage image;
  image.width = width;
  image.height = height;
  size_t pixels = size_t(width) * size_t(height);
  image.pixels.assign(pixels * 4, 0);
  for (size_t i = 0; i < pixels && 3 * i + 2 < rgb.size(); i++) {
    for (int c = 0; c < 3; c++) image.pixels[4 * i + size_t(2 - c)] = rgb[3 * i + size_t(c)];
  }
  return image;
}

std::vector<uint8_t> DifferenceRgb(const BgrxImage& presented,
                                   const std::vector<uint8_t>& farRgb) {
  std::vector<uint8_t> presentedRgb = RgbOf(presented);
  std::vector<uint8_t> difference(presentedRgb.size(), 255);
  if (farRgb.size() != presentedRgb.size()) return difference;  // nothing matches
  for (size_t i = 0; i < difference.size(); i++) {
    int magnified = std::abs(int(presentedRgb[i]) - int(farRgb[i])) * kDifferenceGain;
    difference[i] = uint8_t(std::min(255, magnified));
  }
  return difference;
}

BgrxImage Composite(const DisplayResult& display, int panelWidth) {
  LONG panelHeight = LONG(panelWidth) * display.height / std::max(1, display.width);
  BgrxImage composite;
  composite.width = int(3 * panelWidth + 4 * kGap);
  composite.height = int(panelHeight + 2 * kBand);
  composite.pixels.assign(size_t(composite.width) * composite.height * 4, 0);
  Canvas canvas = CanvasOf(&composite);
  Fill(canvas, canvas.Bounds(), kBackground);
  BgrxImage far = BgrxOf(display.width, display.height, display.farRgb);
  BgrxImage difference =
      BgrxOf(display.width, display.height, DifferenceRgb(display.presented, display.farRgb));
  const BgrxImage* panels[3] = {&display.presented, &far, &difference};
  const char* captions[3] = {"presented", "far side", "difference x8"};
  LONG textTop = (kBand - GlyphHeight(kCaptionScale)) / 2;
  for (int i = 0; i < 3; i++) {
    LONG left = kGap + i * (panelWidth + kGap);
    BlitScaled(canvas, {left, kBand, left + panelWidth, kBand + panelHeight}, *panels[i]);
    DrawText(canvas, left, textTop, captions[i], kInk, kCaptionScale);
  }
  DrawText(canvas, kGap, kBand + panelHeight + textTop, FiguresLine(display), kInk,
           kCaptionScale);
  return composite;
}

}  // namespace kxsim
