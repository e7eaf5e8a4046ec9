// The demo's pictures of each display: what was presented, what the far side shows, where they
// differ, and the three side by side with captions.
#pragma once

#include <string>
#include <vector>

#include "demo_result.h"

namespace kxsim {

// How much the difference picture magnifies: JPEG's small errors become visible, a lost update
// glares.
constexpr int kDifferenceGain = 8;

// Red, green, blue rows of a BGRX picture.
std::vector<uint8_t> RgbOf(const BgrxImage& image);
// A BGRX picture of red, green, blue rows.
BgrxImage BgrxOf(int width, int height, const std::vector<uint8_t>& rgb);
// |far side - presented| of each channel times kDifferenceGain, clamped to 255: black where the
// far side shows what was presented.
std::vector<uint8_t> DifferenceRgb(const BgrxImage& presented, const std::vector<uint8_t>& farRgb);
// Presented, far side and difference side by side, each `panelWidth` wide, under captions and
// over a line of the display's figures.
BgrxImage Composite(const DisplayResult& display, int panelWidth);

}  // namespace kxsim
