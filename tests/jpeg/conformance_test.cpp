// Every stream decodes with libjpeg-turbo without a single warning, carries exactly the
// coefficients an independent model predicts (but for DCT rounding cases within one unit), and
// looks as good as libjpeg-turbo's own encoder at the same settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "jpeg_test_support.h"
#include "reference_model.h"

namespace jpegtest {
namespace {

// How close to a half-integer the exact DCT value must be for a one-unit difference to count as
// a rounding case: far wider than the integer DCT's own error, far narrower than any real fault.
constexpr double kRoundingMargin = 0.02;

void ExpectDecodesCleanly(const std::vector<uint8_t>& stream, int width, int height,
                          const std::string& what) {
  Decoded decoded = Decode(stream);
  ASSERT_TRUE(decoded.ok) << what << ": " << decoded.error;
  EXPECT_EQ(0, decoded.warnings) << what << ": " << decoded.lastWarning;
  EXPECT_EQ(width, decoded.width) << what;
  EXPECT_EQ(height, decoded.height) << what;
}

Comparison CheckAgainstModel(const Image& image, const std::vector<uint8_t>& stream, int quality,
                             int sampling, const std::string& what) {
  Coefficients read = ReadCoefficients(stream);
  EXPECT_TRUE(read.ok) << what << ": " << read.error;
  EXPECT_EQ(0, read.warnings) << what;
  Model model = PredictCoefficients(image, quality, sampling, kRoundingMargin);
  Comparison comparison = CompareWithModel(model, read);
  EXPECT_EQ(0, comparison.violations) << what << ": " << comparison.firstViolation;
  if (read.quantTables.size() == 2) {
    for (int t = 0; t < 2; t++) {
      EXPECT_EQ(std::vector<uint16_t>(model.quantTables[t].begin(), model.quantTables[t].end()),
                read.quantTables[t])
          << what << " table " << t;
    }
  } else {
    ADD_FAILURE() << what << ": " << read.quantTables.size() << " quantisation tables";
  }
  return comparison;
}

struct Size {
  int width;
  int height;
};

// Sizes that are and are not multiples of every MCU, the smallest, and odd ones.
const Size kSizes[] = {{8, 8}, {16, 16}, {24, 8}, {20, 16}, {17, 9}, {33, 47}, {100, 75}, {9, 130}};
const int kQualities[] = {0, 1, 50, 75, 90, 100};

TEST(JpegConformance, EverySamplingQualityAndSizeDecodesAsModelled) {
  long total = 0, rounding = 0;
  uint32_t seed = 1;
  for (const Size& size : kSizes) {
    for (int sampling = 0; sampling < 4; sampling++) {
      for (int quality : kQualities) {
        Image image = SyntheticImage(size.width, size.height, seed++);
        std::string what = std::to_string(size.width) + "x" + std::to_string(size.height) +
                           " sampling " + std::to_string(sampling) + " quality " +
                           std::to_string(quality) + " seed " + std::to_string(seed - 1);
        Encoded encoded = Encode(image, quality, sampling);
        ASSERT_EQ(JpegResultOk, encoded.result) << what;
        ExpectDecodesCleanly(encoded.bytes, size.width, size.height, what);
        Comparison comparison = CheckAgainstModel(image, encoded.bytes, quality, sampling, what);
        total += comparison.total;
        rounding += comparison.roundingCases;
      }
    }
  }
  std::printf("[ model    ] synthetic images: %ld of %ld coefficients are DCT rounding cases "
              "(%.4f%%)\n", rounding, total, 100.0 * rounding / total);
  EXPECT_LT(double(rounding) / total, 0.01);
}

TEST(JpegConformance, LargestRectangleDecodesAsModelled) {
  if (kThreadSanitizer) GTEST_SKIP() << kThreadSanitizerSkip;
  Image image = SyntheticImage(2560, 1440, 77);
  Encoded encoded = Encode(image, 90, 1);
  ASSERT_EQ(JpegResultOk, encoded.result);
  ExpectDecodesCleanly(encoded.bytes, 2560, 1440, "2560x1440");
  Comparison comparison = CheckAgainstModel(image, encoded.bytes, 90, 1, "2560x1440");
  EXPECT_LT(comparison.RoundingShare(), 0.01);
}

TEST(JpegConformance, CorpusAtQuality100MatchesTheExactDct) {
  if (kThreadSanitizer) GTEST_SKIP() << kThreadSanitizerSkip;
  std::vector<std::string> paths = CorpusImages();
  if (paths.empty()) GTEST_SKIP() << "corpus folder not found at " << KX_CORPUS_DIR;
  long total = 0, rounding = 0;
  for (const std::string& path : paths) {
    bool ok;
    Image image = LoadPng(path, &ok);
    ASSERT_TRUE(ok) << path;
    Encoded encoded = Encode(image, 100, 3);
    ASSERT_EQ(JpegResultOk, encoded.result) << path;
    ExpectDecodesCleanly(encoded.bytes, image.width, image.height, path);
    Comparison comparison = CheckAgainstModel(image, encoded.bytes, 100, 3, path);
    std::printf("[ model    ] %s at quality 100: DCT differs from exact rounding in %.4f%%\n",
                path.substr(path.rfind('/') + 1).c_str(), 100.0 * comparison.RoundingShare());
    total += comparison.total;
    rounding += comparison.roundingCases;
  }
  std::printf("[ model    ] corpus at quality 100: %ld of %ld coefficients (%.4f%%)\n", rounding,
              total, 100.0 * rounding / total);
  EXPECT_LT(double(rounding) / total, 0.01);
}

TEST(JpegConformance, CorpusAtQuality75IsAsGoodAsLibjpegTurbo) {
  if (kThreadSanitizer) GTEST_SKIP() << kThreadSanitizerSkip;
  std::vector<std::string> paths = CorpusImages();
  if (paths.empty()) GTEST_SKIP() << "corpus folder not found at " << KX_CORPUS_DIR;
  for (const std::string& path : paths) {
    bool ok;
    Image image = LoadPng(path, &ok);
    ASSERT_TRUE(ok) << path;
    Encoded ours = Encode(image, 75, 3);
    ASSERT_EQ(JpegResultOk, ours.result) << path;
    std::vector<uint8_t> theirs = EncodeWithLibjpeg(image, 75, 3);
    ASSERT_FALSE(theirs.empty()) << path;
    Decoded oursDecoded = Decode(ours.bytes);
    Decoded theirsDecoded = Decode(theirs);
    ASSERT_TRUE(oursDecoded.ok && theirsDecoded.ok) << path;
    EXPECT_EQ(0, oursDecoded.warnings) << path << ": " << oursDecoded.lastWarning;
    double oursPsnr = Psnr(image, oursDecoded);
    double theirsPsnr = Psnr(image, theirsDecoded);
    std::printf("[ psnr     ] %s: %.3f dB, %zu bytes (libjpeg-turbo %.3f dB, %zu bytes)\n",
                path.substr(path.rfind('/') + 1).c_str(), oursPsnr, ours.bytes.size(), theirsPsnr,
                theirs.size());
    EXPECT_GE(oursPsnr, theirsPsnr - 0.2) << path;
  }
}

}  // namespace
}  // namespace jpegtest
