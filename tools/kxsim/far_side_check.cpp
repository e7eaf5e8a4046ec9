#include "far_side_check.h"

#include <algorithm>
#include <cstdlib>

#include "jpeg/jpeg.h"
#include "libjpeg_peer.h"

namespace kxsim {
namespace {

int Luma(const uint8_t* rgb) {
  return (19595 * rgb[0] + 38470 * rgb[1] + 7471 * rgb[2] + 32768) >> 16;
}

// A channel the decoder clamped: its colour moved the brightness too.
bool Clamped(const uint8_t* rgb) {
  for (int c = 0; c < 3; c++) {
    if (rgb[c] == 0 || rgb[c] == 255) return true;
  }
  return false;
}

// A block cut short by the picture's edge is padded alike in both codings: no ring at the cut.
bool OnRing(int x, int y) {
  int bx = x % kCheckBlock, by = y % kCheckBlock;
  return bx == 0 || by == 0 || bx == kCheckBlock - 1 || by == kCheckBlock - 1;
}

// Compares one block; true when it is stale.
bool CompareBlock(const std::vector<uint8_t>& reference, const std::vector<uint8_t>& far,
                  int width, const PixelRect& block, FarSideComparison* result) {
  bool stale = false;
  for (LONG y = block.top; y < block.bottom; y++) {
    for (LONG x = block.left; x < block.right; x++) {
      size_t at = (size_t(y) * size_t(width) + size_t(x)) * 3;
      const uint8_t* want = &reference[at];
      const uint8_t* got = &far[at];
      if (OnRing(x, y)) {
        if (Clamped(want) || Clamped(got)) continue;
        int difference = std::abs(Luma(want) - Luma(got));
        result->worstRingLuma = std::max(result->worstRingLuma, difference);
        stale |= difference > kRingLumaTolerance;
        continue;
      }
      for (int c = 0; c < 3; c++) {
        int difference = std::abs(int(want[c]) - int(got[c]));
        result->worstInner = std::max(result->worstInner, difference);
        stale |= difference != 0;
      }
    }
  }
  return stale;
}

}  // namespace

bool ReferenceDecode(const BgrxImage& presented, int quality, int sampling,
                     std::vector<uint8_t>* rgb, std::string* error) {
  std::vector<uint8_t> stream(size_t(presented.width) * size_t(presented.height) * 4 + 65536);
  JpegEncodeParams params = {presented.width, presented.height, 4, presented.pixels.data(),
                             presented.width * 4, quality, sampling, stream.data(),
                             LONG(stream.size()), 0};
  LONG result = JpegEncodeFrame(&params);
  if (result != JpegResultOk) {
    *error = "the encoder failed with " + std::to_string(result);
    return false;
  }
  int width = 0, height = 0;
  if (!DecodeToRgb(stream.data(), size_t(params.OutputLength), &width, &height, rgb, error)) {
    return false;
  }
  if (width != presented.width || height != presented.height) {
    *error = "the reference decoded to another size";
    return false;
  }
  return true;
}

FarSideComparison CompareFarSide(const BgrxImage& presented, const std::vector<uint8_t>& farRgb,
                                 int quality, int sampling) {
  FarSideComparison result;
  int width = presented.width, height = presented.height;
  if (farRgb.size() != size_t(width) * size_t(height) * 3) {
    result.error = "the far side shows a picture of another size";
    return result;
  }
  std::vector<uint8_t> reference;
  if (!ReferenceDecode(presented, quality, sampling, &reference, &result.error)) return result;
  return CompareFarSideTo(reference, farRgb, width, height);
}

FarSideComparison CompareFarSideTo(const std::vector<uint8_t>& reference,
                                   const std::vector<uint8_t>& farRgb, int width, int height) {
  FarSideComparison result;
  if (reference.size() != size_t(width) * size_t(height) * 3 || farRgb.size() != reference.size()) {
    result.error = "the far side shows a picture of another size";
    return result;
  }
  result.ok = true;
  for (LONG top = 0; top < height; top += kCheckBlock) {
    for (LONG left = 0; left < width; left += kCheckBlock) {
      PixelRect block{left, top, std::min<LONG>(left + kCheckBlock, width),
                      std::min<LONG>(top + kCheckBlock, height)};
      result.blocks++;
      if (!CompareBlock(reference, farRgb, width, block, &result)) continue;
      if (result.staleBlocks++ == 0) result.firstStale = block;
    }
  }
  return result;
}

}  // namespace kxsim
