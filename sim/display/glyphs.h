// A small bitmap font for the scenes' text and the demo's captions: lower-case letters, digits
// and a little punctuation in cells of 5 x 9 dots (two of them below the baseline for g, j, p, q,
// y). Capitals are drawn as their lower-case letter; anything unknown is blank.
#pragma once

#include <string>

#include "sim/display/canvas.h"

namespace kxsim {

constexpr int kGlyphDotsWide = 5;
constexpr int kGlyphDotsHigh = 9;

// The advance of one character at `scale` (each dot a scale x scale square): the glyph and one
// dot of spacing.
inline LONG GlyphAdvance(int scale) { return LONG(kGlyphDotsWide + 1) * scale; }
inline LONG GlyphHeight(int scale) { return LONG(kGlyphDotsHigh) * scale; }
inline LONG TextWidth(const std::string& text, int scale) {
  return LONG(text.size()) * GlyphAdvance(scale);
}

// Draws `text` with its cell's top-left at (x, y) and returns the rectangle of the cells.
PixelRect DrawText(const Canvas& canvas, LONG x, LONG y, const std::string& text, ULONG rgb,
                   int scale);

}  // namespace kxsim
