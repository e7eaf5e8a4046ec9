// Whether a far-side display shows the last presented picture, once the frame worker is idle.
//
// The worker sends rectangles aligned to the 16-pixel grid, and the encoder codes every 16 x 16
// block from that block's pixels alone (its colour conversion, chroma reduction, transform and
// quantisation never reach past a block), so a far side that got every update shows, inside each
// block, exactly what decoding the whole presented picture coded in one piece shows. Only the
// decoder's smoothing of colour between neighbouring chroma samples crosses a block edge, which
// moves the colour, not the brightness, of a block's outermost ring of pixels (unless the decoder
// clamped a channel). So: inside the ring the far side must match that reference exactly; on the
// ring, where no channel of either was clamped, its brightness must match within
// kRingLumaTolerance. A block that does not is stale: an update that never arrived. Any change of
// a block's pixels changes all its coefficients, so a missed update shows inside the ring as
// well; the ring's test is the second line.
#pragma once

#include <string>
#include <vector>

#include "sim/display/pixel_rect.h"

namespace kxsim {

constexpr int kCheckBlock = 16;
// The rounding of brightness recomputed from decoded RGB; far below any real change of content.
constexpr int kRingLumaTolerance = 3;

struct FarSideComparison {
  bool ok = false;        // the reference could be made
  std::string error;      // why not
  uint64_t blocks = 0;    // compared
  uint64_t staleBlocks = 0;
  PixelRect firstStale;   // empty when none
  int worstInner = 0;     // the largest channel difference inside any block's ring
  int worstRingLuma = 0;  // the largest brightness difference on any ring
};

// `farRgb` is the far side's picture (red, green, blue rows of presented.width pixels).
FarSideComparison CompareFarSide(const BgrxImage& presented, const std::vector<uint8_t>& farRgb,
                                 int quality, int sampling);

// The same block by block against a reference picture made some other way (red, green, blue rows
// of `width` pixels, as `farRgb`).
FarSideComparison CompareFarSideTo(const std::vector<uint8_t>& reference,
                                   const std::vector<uint8_t>& farRgb, int width, int height);

// What the far side should show: the picture coded by the driver's encoder and decoded as the far
// side decodes. False with a message when the encoder or decoder failed.
bool ReferenceDecode(const BgrxImage& presented, int quality, int sampling,
                     std::vector<uint8_t>* rgb, std::string* error);

}  // namespace kxsim
