// What the scenes share: a seeded random source, the wallpaper, window frames, and words of
// running text.
#pragma once

#include <cstdint>
#include <string>

#include "sim/display/canvas.h"

namespace kxsim {

// splitmix64: small, fast and the same everywhere, so a seed replays a scene exactly.
class SceneRandom {
 public:
  explicit SceneRandom(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // 0 to bound - 1; 0 when bound is 0.
  int Below(int bound);
  // low to high inclusive.
  int Between(int low, int high) { return low + Below(high - low + 1); }

 private:
  uint64_t state_;
};

// A seed of its own for each part of a scene, so that adding a draw in one part does not change
// the others.
uint64_t MixSeed(uint64_t seed, uint64_t salt);

// The desktop behind the windows: a diagonal blend with soft bands, chosen by the seed.
void DrawWallpaper(const Canvas& canvas, uint64_t seed);

// A window: border, title bar with its title and buttons, and a client area of `client` colour.
// Returns the client area.
PixelRect DrawWindow(const Canvas& canvas, const PixelRect& outer, const std::string& title,
                     ULONG client);

constexpr int kTitleBarHeight = 30;

// A word of lower-case letters, 2 to 9 of them, drawn with the frequencies of running text.
std::string NextWord(SceneRandom* random);
// Words enough to fill `width` pixels at `scale`, separated by spaces.
std::string NextLine(SceneRandom* random, LONG width, int scale);
// Lines of running text down `rect`, `lineHeight` apart.
void DrawTextBlock(const Canvas& canvas, const PixelRect& rect, SceneRandom* random, ULONG rgb,
                   int scale, LONG lineHeight);

}  // namespace kxsim
