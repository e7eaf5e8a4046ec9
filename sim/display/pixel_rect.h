// Rectangles of an output and pictures as the display stack holds them. Plain C++ types (int32_t
// is the platform's LONG), so that the picture files' code needs no platform header.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kxsim {

// In output pixels; right and bottom exclusive.
struct PixelRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  uint64_t Area() const { return Empty() ? 0 : uint64_t(Width()) * uint64_t(Height()); }
};

inline PixelRect Intersection(const PixelRect& a, const PixelRect& b) {
  PixelRect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
              std::min(a.bottom, b.bottom)};
  return r.Empty() ? PixelRect{} : r;
}

// The bounding box; an empty rectangle adds nothing.
inline PixelRect BoundingBox(const PixelRect& a, const PixelRect& b) {
  if (a.Empty()) return b;
  if (b.Empty()) return a;
  return {std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
          std::max(a.bottom, b.bottom)};
}

// Pixels as the driver sees them: blue, green, red, x, rows of width * 4 bytes.
struct BgrxImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

}  // namespace kxsim
