#include "sim/display/scene_kit.h"

#include <cmath>

#include "sim/display/glyphs.h"

namespace kxsim {

uint64_t SceneRandom::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int SceneRandom::Below(int bound) { return bound <= 0 ? 0 : int(Next() % uint64_t(bound)); }

uint64_t MixSeed(uint64_t seed, uint64_t salt) {
  SceneRandom random(seed ^ (salt * 0xD1B54A32D192ED03ull));
  return random.Next();
}

void DrawWallpaper(const Canvas& canvas, uint64_t seed) {
  SceneRandom random(MixSeed(seed, 1));
  int hue = random.Below(3);
  int phase = random.Below(360);
  PixelRect area = canvas.clip;
  double diagonal = double(canvas.width + canvas.height);
  for (LONG y = area.top; y < area.bottom; y++) {
    uint8_t* out = canvas.At(area.left, y);
    for (LONG x = area.left; x < area.right; x++, out += 4) {
      double t = double(x + y) / diagonal;
      double band = 0.5 + 0.5 * std::sin(t * 9.0 + phase * 0.0174533 + 0.002 * double(y));
      int a = int(40 + 90 * t + 30 * band);
      int b = int(70 + 60 * (1 - t) + 20 * band);
      int c = int(110 + 100 * t);
      int channel[3] = {a, b, c};
      out[0] = uint8_t(channel[(hue + 2) % 3]);
      out[1] = uint8_t(channel[(hue + 1) % 3]);
      out[2] = uint8_t(channel[hue]);
      out[3] = 0;
    }
  }
}

PixelRect DrawWindow(const Canvas& canvas, const PixelRect& outer, const std::string& title,
                     ULONG client) {
  Fill(canvas, outer, Rgb(60, 64, 72));
  PixelRect bar{outer.left + 1, outer.top + 1, outer.right - 1, outer.top + kTitleBarHeight};
  FillGradient(canvas, bar, Rgb(52, 101, 164), Rgb(32, 74, 135));
  LONG textTop = bar.top + (kTitleBarHeight - 1 - GlyphHeight(2)) / 2 + 1;
  DrawText(canvas, bar.left + 10, textTop, title, Rgb(255, 255, 255), 2);
  static const ULONG kButtons[3] = {Rgb(237, 106, 94), Rgb(245, 191, 79), Rgb(98, 197, 84)};
  for (int i = 0; i < 3; i++) {
    LONG right = bar.right - 10 - i * 24;
    Fill(canvas, {right - 16, bar.top + 7, right, bar.top + 23}, kButtons[i]);
  }
  PixelRect inside{outer.left + 1, outer.top + kTitleBarHeight, outer.right - 1, outer.bottom - 1};
  Fill(canvas, inside, client);
  return inside;
}

std::string NextWord(SceneRandom* random) {
  // Letters about as often as in English prose.
  static const char kLetters[] =
      "eeeeeeeeeeeetttttttttaaaaaaaaoooooooiiiiiiinnnnnnnssssssrrrrrrhhhhhdddddllllcccuuummmwwff"
      "ggyyppbbvkjxqz";
  int length = random->Between(2, 9);
  std::string word;
  for (int i = 0; i < length; i++) word += kLetters[random->Below(int(sizeof kLetters) - 1)];
  return word;
}

std::string NextLine(SceneRandom* random, LONG width, int scale) {
  std::string line;
  for (;;) {
    std::string word = NextWord(random);
    std::string longer = line.empty() ? word : line + " " + word;
    if (TextWidth(longer, scale) > width) return line;
    line = longer;
  }
}

void DrawTextBlock(const Canvas& canvas, const PixelRect& rect, SceneRandom* random, ULONG rgb,
                   int scale, LONG lineHeight) {
  Canvas inside = Clipped(canvas, rect);
  for (LONG y = rect.top; y + GlyphHeight(scale) <= rect.bottom; y += lineHeight) {
    // Paragraphs end with a shorter line now and then.
    LONG width = random->Below(5) == 0 ? rect.Width() * random->Between(30, 80) / 100
                                       : rect.Width();
    DrawText(inside, rect.left, y, NextLine(random, width, scale), rgb, scale);
  }
}

}  // namespace kxsim
