// The forward DCT and quantiser at every stage level against T.81 A.3.3 computed in double
// precision, and the quantisation tables as the stream carries them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "jpeg/dct_constants.h"
#include "jpeg_test_support.h"
#include "reference_model.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

struct Block {
  uint8_t samples[64];
};

std::vector<USHORT> Reciprocals(USHORT value) { return std::vector<USHORT>(64, value); }

std::vector<SHORT> Transform(const JpegStageRoutines* stages, const Block& block,
                             USHORT reciprocal = 32768) {
  // Rows 8 bytes apart inside a wider buffer, as in a component row.
  uint8_t buffer[8 * 24] = {};
  for (int y = 0; y < 8; y++) {
    for (int x = 0; x < 8; x++) buffer[y * 24 + 8 + x] = block.samples[y * 8 + x];
  }
  std::vector<USHORT> reciprocals = Reciprocals(reciprocal);
  std::vector<SHORT> out(64);
  stages->TransformBlock(buffer + 8, 24, reciprocals.data(), out.data());
  return out;
}

void Exact(const Block& block, double out[64]) {
  double shifted[64];
  for (int i = 0; i < 64; i++) shifted[i] = block.samples[i] - 128.0;
  ModelForwardDct(shifted, out);
}

// Blocks of every character: noise, smooth ramps, two-level text, symmetric patterns.
Block RandomBlock(std::mt19937& random, int kind) {
  Block block;
  int base = int(random() % 256);
  int slopeX = int(random() % 41) - 20, slopeY = int(random() % 41) - 20;
  int low = int(random() % 256), high = int(random() % 256);
  for (int i = 0; i < 64; i++) {
    int x = i % 8, y = i / 8, value;
    switch (kind % 4) {
      case 0: value = int(random() % 256); break;
      case 1: value = base + slopeX * x + slopeY * y + int(random() % 9) - 4; break;
      case 2: value = (random() % 3 == 0) ? low : high; break;
      default: value = (std::min(x, 7 - x) + 3 * y) * 9 % 256; break;  // mirror-symmetric in x
    }
    block.samples[i] = uint8_t(std::min(255, std::max(0, value)));
  }
  return block;
}

TEST(JpegDct, FlatBlocksAreExact) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    SCOPED_TRACE(stages->Name);
    for (int value : {0, 128, 255, 37}) {
      Block block;
      std::fill(std::begin(block.samples), std::end(block.samples), uint8_t(value));
      std::vector<SHORT> out = Transform(stages, block);
      EXPECT_EQ(8 * (value - 128), out[0]) << value;
      for (int k = 1; k < 64; k++) EXPECT_EQ(0, out[k]) << value << " coefficient " << k;
    }
  }
}

// Within one unit of the exactly rounded value everywhere; exact wherever the true value is
// rational (DC and the other coefficients of cos(pi/4) in both directions, and the odd
// frequencies of a mirror-symmetric block); differences only next to a half-integer.
TEST(JpegDct, MatchesTheExactTransformRoundedToNearest) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    SCOPED_TRACE(stages->Name);
    std::mt19937 random(2024);
    long total = 0, differing = 0;
    double widest = 0;
    for (int n = 0; n < 20000; n++) {
      Block block = RandomBlock(random, n);
      double exact[64];
      Exact(block, exact);
      std::vector<SHORT> out = Transform(stages, block);
      for (int k = 0; k < 64; k++) {
        int u = k % 8, v = k / 8;
        int rounded = ModelRound(exact[k]);
        bool rational = (u % 4 == 0 && v % 4 == 0) || (n % 4 == 3 && u % 2 == 1);
        total++;
        if (out[k] == rounded) continue;
        differing++;
        ASSERT_EQ(1, std::abs(out[k] - rounded)) << "block " << n << " coefficient " << k;
        ASSERT_FALSE(rational) << "block " << n << " coefficient " << k << " exact " << exact[k];
        double magnitude = std::fabs(exact[k]);
        widest = std::max(widest, std::fabs(magnitude - std::floor(magnitude) - 0.5));
      }
    }
    std::printf("[ dct      ] %s: %ld of %ld coefficients differ from exact rounding (%.4f%%), "
                "all within %.5f of a half-integer\n",
                stages->Name, differing, total, 100.0 * differing / total, widest);
    EXPECT_LT(double(differing) / total, 0.01);
    EXPECT_LT(widest, 0.02) << "the margin the model allows";
  }
}

TEST(JpegDct, ConstantsAreTheRoundedCosines) {
  for (int m = 0; m <= 8; m++) {
    EXPECT_EQ(std::lround(16384 * std::cos(m * M_PI / 16)), JpegDctCosine[m]) << m;
  }
}

// F * R / 32768 rounded to nearest with ties to even: with Q = 2 (R = 16384), DC values 5, 3, -3
// and 7 quantise to 2, 2, -2 and 4.
TEST(JpegDct, QuantisationRoundsTiesToEven) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    SCOPED_TRACE(stages->Name);
    for (auto [sum, expected] : {std::pair{40, 2}, {24, 2}, {-24, -2}, {56, 4}}) {
      Block block;
      // A sum of level-shifted samples spread over the block gives DC = sum / 8.
      for (int i = 0; i < 64; i++) {
        int step = i < std::abs(sum) ? (sum > 0 ? 1 : -1) : 0;
        block.samples[i] = uint8_t(128 + step);
      }
      EXPECT_EQ(expected, Transform(stages, block, 16384)[0]) << "DC " << sum / 8;
    }
  }
}

std::vector<uint8_t> QuantPayload(int quality, int table) {
  Encoded encoded = Encode(FlatImage(8, 8, 1, 2, 3), quality, 0);
  EXPECT_EQ(JpegResultOk, encoded.result);
  int seen = 0;
  for (const Marker& marker : ParseMarkers(encoded.bytes)) {
    if (marker.code == 0xDB && seen++ == table) {
      return std::vector<uint8_t>(encoded.bytes.begin() + marker.offset + 5,
                                  encoded.bytes.begin() + marker.offset + 69);
    }
  }
  return {};
}

TEST(JpegDct, QualityScalesTheAnnexKTables) {
  std::vector<uint8_t> luma50 = QuantPayload(50, 0), chroma50 = QuantPayload(50, 1);
  EXPECT_EQ(luma50, QuantPayload(0, 0));
  EXPECT_EQ(16, luma50[0]);
  EXPECT_EQ(99, chroma50[63]);
  EXPECT_EQ(8, QuantPayload(75, 0)[0]);
  EXPECT_EQ(50, QuantPayload(75, 1)[63]);
  EXPECT_EQ(255, QuantPayload(1, 0)[0]) << "800 limited to 255";
  EXPECT_EQ(std::vector<uint8_t>(64, 1), QuantPayload(100, 0));
  EXPECT_EQ(std::vector<uint8_t>(64, 1), QuantPayload(100, 1));
}

}  // namespace
}  // namespace jpegtest
