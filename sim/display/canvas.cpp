#include "sim/display/canvas.h"

#include <cstring>

namespace kxsim {
namespace {

void Put(uint8_t* at, ULONG rgb) {
  at[0] = uint8_t(rgb);
  at[1] = uint8_t(rgb >> 8);
  at[2] = uint8_t(rgb >> 16);
  at[3] = 0;
}

uint8_t Blend(ULONG a, ULONG b, int shift, int weight, int total) {
  int from = int((a >> shift) & 0xFF);
  int to = int((b >> shift) & 0xFF);
  return uint8_t(from + (to - from) * weight / total);
}

// Each target pixel the mean of the source pixels it covers: for shrinking to half or less, where
// sampling would skip whole rows and columns of text.
void BlitAveraged(const Canvas& canvas, const PixelRect& area, const PixelRect& rect,
                  const BgrxImage& from) {
  auto sourceStart = [](LONG target, LONG targetSize, int sourceSize) {
    return int(int64_t(target) * sourceSize / targetSize);
  };
  for (LONG y = area.top; y < area.bottom; y++) {
    int y0 = sourceStart(y - rect.top, rect.Height(), from.height);
    int y1 = std::max(y0 + 1, sourceStart(y - rect.top + 1, rect.Height(), from.height));
    uint8_t* out = canvas.At(area.left, y);
    for (LONG x = area.left; x < area.right; x++, out += 4) {
      int x0 = sourceStart(x - rect.left, rect.Width(), from.width);
      int x1 = std::max(x0 + 1, sourceStart(x - rect.left + 1, rect.Width(), from.width));
      uint32_t sum[3] = {0, 0, 0};
      for (int sy = y0; sy < y1; sy++) {
        const uint8_t* in = &from.pixels[(size_t(sy) * from.width + size_t(x0)) * 4];
        for (int sx = x0; sx < x1; sx++, in += 4) {
          for (int c = 0; c < 3; c++) sum[c] += in[c];
        }
      }
      uint32_t count = uint32_t((y1 - y0) * (x1 - x0));
      for (int c = 0; c < 3; c++) out[c] = uint8_t((sum[c] + count / 2) / count);
      out[3] = 0;
    }
  }
}

// Bilinear, in fixed point with 8 fractional bits: the source position of each target pixel's
// centre.
void BlitInterpolated(const Canvas& canvas, const PixelRect& area, const PixelRect& rect,
                      const BgrxImage& from) {
  auto sourceAt = [](LONG target, LONG targetSize, int sourceSize) {
    int64_t position = ((2 * int64_t(target) + 1) * sourceSize * 256) / (2 * targetSize) - 128;
    return std::clamp<int64_t>(position, 0, int64_t(sourceSize - 1) * 256);
  };
  for (LONG y = area.top; y < area.bottom; y++) {
    int64_t sy = sourceAt(y - rect.top, rect.Height(), from.height);
    int y0 = int(sy >> 8), y1 = std::min(y0 + 1, from.height - 1), fy = int(sy & 0xFF);
    uint8_t* out = canvas.At(area.left, y);
    for (LONG x = area.left; x < area.right; x++, out += 4) {
      int64_t sx = sourceAt(x - rect.left, rect.Width(), from.width);
      int x0 = int(sx >> 8), x1 = std::min(x0 + 1, from.width - 1), fx = int(sx & 0xFF);
      const uint8_t* p00 = &from.pixels[(size_t(y0) * from.width + x0) * 4];
      const uint8_t* p01 = &from.pixels[(size_t(y0) * from.width + x1) * 4];
      const uint8_t* p10 = &from.pixels[(size_t(y1) * from.width + x0) * 4];
      const uint8_t* p11 = &from.pixels[(size_t(y1) * from.width + x1) * 4];
      for (int c = 0; c < 3; c++) {
        int top = p00[c] * (256 - fx) + p01[c] * fx;
        int bottom = p10[c] * (256 - fx) + p11[c] * fx;
        out[c] = uint8_t((top * (256 - fy) + bottom * fy + 32768) >> 16);
      }
      out[3] = 0;
    }
  }
}

}  // namespace

Canvas CanvasOver(uint8_t* pixels, int width, int height, size_t pitch) {
  Canvas canvas;
  canvas.pixels = pixels;
  canvas.width = width;
  canvas.height = height;
  canvas.pitch = pitch;
  canvas.clip = canvas.Bounds();
  return canvas;
}

Canvas CanvasOf(BgrxImage* image) {
  return CanvasOver(image->pixels.data(), image->width, image->height, size_t(image->width) * 4);
}

Canvas Clipped(const Canvas& canvas, const PixelRect& rect) {
  Canvas clipped = canvas;
  clipped.clip = Intersection(canvas.clip, rect);
  return clipped;
}

void Fill(const Canvas& canvas, const PixelRect& rect, ULONG rgb) {
  PixelRect area = Intersection(canvas.clip, rect);
  if (area.Empty()) return;
  uint8_t pixel[4];
  Put(pixel, rgb);
  for (LONG y = area.top; y < area.bottom; y++) {
    uint8_t* row = canvas.At(area.left, y);
    for (LONG x = 0; x < area.Width(); x++) std::memcpy(row + 4 * x, pixel, 4);
  }
}

void FillGradient(const Canvas& canvas, const PixelRect& rect, ULONG top, ULONG bottom) {
  PixelRect area = Intersection(canvas.clip, rect);
  int total = std::max<LONG>(1, rect.Height() - 1);
  for (LONG y = area.top; y < area.bottom; y++) {
    int weight = int(y - rect.top);
    ULONG rgb = Rgb(Blend(top, bottom, 16, weight, total), Blend(top, bottom, 8, weight, total),
                    Blend(top, bottom, 0, weight, total));
    Fill(canvas, {area.left, y, area.right, y + 1}, rgb);
  }
}

void Frame(const Canvas& canvas, const PixelRect& rect, ULONG rgb) {
  Fill(canvas, {rect.left, rect.top, rect.right, rect.top + 1}, rgb);
  Fill(canvas, {rect.left, rect.bottom - 1, rect.right, rect.bottom}, rgb);
  Fill(canvas, {rect.left, rect.top, rect.left + 1, rect.bottom}, rgb);
  Fill(canvas, {rect.right - 1, rect.top, rect.right, rect.bottom}, rgb);
}

void Blit(const Canvas& canvas, LONG x, LONG y, const BgrxImage& from) {
  PixelRect area = Intersection(canvas.clip, {x, y, x + from.width, y + from.height});
  for (LONG row = area.top; row < area.bottom; row++) {
    const uint8_t* source =
        &from.pixels[(size_t(row - y) * size_t(from.width) + size_t(area.left - x)) * 4];
    std::memcpy(canvas.At(area.left, row), source, size_t(area.Width()) * 4);
  }
}

void BlitScaled(const Canvas& canvas, const PixelRect& rect, const BgrxImage& from) {
  PixelRect area = Intersection(canvas.clip, rect);
  if (area.Empty() || from.width < 1 || from.height < 1) return;
  bool shrinking = from.width >= 2 * rect.Width() && from.height >= 2 * rect.Height();
  if (shrinking) BlitAveraged(canvas, area, rect, from);
  else BlitInterpolated(canvas, area, rect, from);
}

void ScrollUp(const Canvas& canvas, const PixelRect& rect, LONG rows) {
  PixelRect area = Intersection(canvas.Bounds(), rect);
  LONG height = area.Height();
  if (area.Empty() || rows == 0 || rows >= height || -rows >= height) return;
  size_t bytes = size_t(area.Width()) * 4;
  if (rows > 0) {
    for (LONG y = area.top; y < area.bottom - rows; y++) {
      std::memmove(canvas.At(area.left, y), canvas.At(area.left, y + rows), bytes);
    }
  } else {
    for (LONG y = area.bottom - 1; y >= area.top - rows; y--) {
      std::memmove(canvas.At(area.left, y), canvas.At(area.left, y + rows), bytes);
    }
  }
}

BgrxImage Snapshot(const Canvas& canvas) {
  BgrxImage image;
  image.width = canvas.width;
  image.height = canvas.height;
  image.pixels.resize(size_t(canvas.width) * canvas.height * 4);
  for (int y = 0; y < canvas.height; y++) {
    std::memcpy(&image.pixels[size_t(y) * canvas.width * 4], canvas.At(0, y),
                size_t(canvas.width) * 4);
  }
  return image;
}

}  // namespace kxsim
