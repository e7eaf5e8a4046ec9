// Drawing on a desktop surface: solid fills, copies, scaled pictures and text, each clipped to the
// canvas's clip rectangle so that a scene can redraw one strip of its picture and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/ntdef.h"
#include "sim/display/pixel_rect.h"

namespace kxsim {

// 0xRRGGBB.
constexpr ULONG Rgb(unsigned red, unsigned green, unsigned blue) {
  return ULONG(red & 0xFF) << 16 | ULONG(green & 0xFF) << 8 | ULONG(blue & 0xFF);
}

// A view of BGRX pixels someone else owns (a display driver's surface, a picture).
struct Canvas {
  uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  size_t pitch = 0;  // bytes from one row to the next
  PixelRect clip;    // drawing stays inside; always inside the canvas

  uint8_t* At(LONG x, LONG y) const { return pixels + size_t(y) * pitch + size_t(x) * 4; }
  PixelRect Bounds() const { return {0, 0, width, height}; }
};

Canvas CanvasOver(uint8_t* pixels, int width, int height, size_t pitch);
Canvas CanvasOf(BgrxImage* image);
// The same canvas drawing only inside `rect` as well.
Canvas Clipped(const Canvas& canvas, const PixelRect& rect);

void Fill(const Canvas& canvas, const PixelRect& rect, ULONG rgb);
// A vertical blend from `top` to `bottom` colour over `rect`.
void FillGradient(const Canvas& canvas, const PixelRect& rect, ULONG top, ULONG bottom);
// A one-pixel outline just inside `rect`.
void Frame(const Canvas& canvas, const PixelRect& rect, ULONG rgb);
// `from` (the whole picture) with its top-left corner at (x, y).
void Blit(const Canvas& canvas, LONG x, LONG y, const BgrxImage& from);
// `from` scaled to cover `rect` exactly: bilinear, or the mean of the pixels each target pixel
// covers when shrinking to half or less.
void BlitScaled(const Canvas& canvas, const PixelRect& rect, const BgrxImage& from);
// Moves the pixels of `rect` up by `rows` (down when negative); the rows left behind keep their
// old pixels for the caller to redraw. Ignores the clip: it works on the whole of `rect`.
void ScrollUp(const Canvas& canvas, const PixelRect& rect, LONG rows);

// A copy of the canvas's pixels as a picture of its own.
BgrxImage Snapshot(const Canvas& canvas);

}  // namespace kxsim
