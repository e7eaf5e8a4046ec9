// Whole streams at every processor level this machine runs, byte for byte against the portable
// level: synthetic images at the sizes where vector loops meet their edges, and the corpus.
#include <gtest/gtest.h>

#include "jpeg_test_support.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

// Makes `stages` the table of the encoders a test creates, and puts the previous one back.
class StagesInUse {
 public:
  explicit StagesInUse(const JpegStageRoutines* stages) : saved_(JpegCurrentStageRoutines()) {
    JpegUseStageRoutines(stages);
  }
  ~StagesInUse() { JpegUseStageRoutines(saved_); }

 private:
  const JpegStageRoutines* saved_;
};

Encoded EncodeAt(const JpegStageRoutines* stages, const Image& image, int quality, int sampling,
                 bool threeChannel = false) {
  StagesInUse use(stages);
  return threeChannel ? EncodeThreeChannel(image, quality, sampling)
                      : Encode(image, quality, sampling);
}

void ExpectEveryLevelMatches(const Image& image, int quality, int sampling, bool threeChannel,
                             const std::string& what) {
  Encoded reference = EncodeAt(&JpegPortableStages, image, quality, sampling, threeChannel);
  ASSERT_EQ(JpegResultOk, reference.result) << what;
  for (const JpegStageRoutines* stages : VectorStageLevels()) {
    Encoded encoded = EncodeAt(stages, image, quality, sampling, threeChannel);
    ASSERT_EQ(JpegResultOk, encoded.result) << what << " at " << stages->Name;
    ASSERT_EQ(reference.bytes.size(), encoded.bytes.size()) << what << " at " << stages->Name;
    EXPECT_TRUE(reference.bytes == encoded.bytes) << what << " at " << stages->Name;
  }
}

// Widths on both sides of 16, 32 and 64 pixels (the conversion's vector groups and the reduction's
// vectors) and of the MCU multiples, heights that leave bottom padding in every sampling.
const int kWidths[] = {8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 95, 127, 128, 129, 200};
const int kHeights[] = {8, 9, 16, 23};
const int kQualities[] = {1, 50, 75, 90, 100};

TEST(JpegLevelStreams, SyntheticImagesAtEveryWidthMatchThePortableLevel) {
  if (VectorStageLevels().empty()) GTEST_SKIP() << "this processor runs no vector level";
  uint32_t seed = 100;
  for (int width : kWidths) {
    for (int height : kHeights) {
      int sampling = seed % 4;
      int quality = kQualities[seed % 5];
      Image image = SyntheticImage(width, height, seed++);
      std::string what = std::to_string(width) + "x" + std::to_string(height) + " sampling " +
                         std::to_string(sampling) + " quality " + std::to_string(quality);
      ExpectEveryLevelMatches(image, quality, sampling, false, what);
    }
  }
}

TEST(JpegLevelStreams, EverySamplingAndQualityMatchesThePortableLevel) {
  if (VectorStageLevels().empty()) GTEST_SKIP() << "this processor runs no vector level";
  Image image = SyntheticImage(136, 72, 7);
  for (int sampling = 0; sampling < 4; sampling++) {
    for (int quality : {0, 1, 10, 50, 75, 90, 95, 100}) {
      ExpectEveryLevelMatches(
          image, quality, sampling, false,
          "sampling " + std::to_string(sampling) + " quality " + std::to_string(quality));
    }
  }
}

TEST(JpegLevelStreams, ThreeBytePixelsMatchThePortableLevel) {
  if (VectorStageLevels().empty()) GTEST_SKIP() << "this processor runs no vector level";
  for (int width : {8, 33, 70}) {
    ExpectEveryLevelMatches(SyntheticImage(width, 24, width), 80, 3, true,
                            "3-byte pixels, width " + std::to_string(width));
  }
}

// Saturated and extreme content: the largest coefficients, long zero runs, 0xFF bytes to stuff.
TEST(JpegLevelStreams, ExtremeContentMatchesThePortableLevel) {
  if (VectorStageLevels().empty()) GTEST_SKIP() << "this processor runs no vector level";
  Image checker = FlatImage(64, 48, 0, 0, 0);
  for (int y = 0; y < checker.height; y++) {
    for (int x = 0; x < checker.width; x++) {
      uint8_t value = ((x + y) % 2 == 0 || (x / 4 + y / 4) % 3 == 0) ? 255 : 0;
      uint8_t* p = &checker.bgrx[(size_t(y) * checker.width + x) * 4];
      p[0] = p[1] = value;
      p[2] = uint8_t(255 - value);
    }
  }
  for (int quality : {1, 100}) {
    for (int sampling = 0; sampling < 4; sampling++) {
      ExpectEveryLevelMatches(checker, quality, sampling, false, "checker");
      ExpectEveryLevelMatches(FlatImage(40, 40, 255, 255, 255), quality, sampling, false, "white");
      ExpectEveryLevelMatches(FlatImage(40, 40, 0, 0, 0), quality, sampling, false, "black");
    }
  }
}

// Each corpus image once per level, the settings varying from image to image so that every
// sampling code is covered.
TEST(JpegLevelStreams, CorpusMatchesThePortableLevel) {
  if (kThreadSanitizer) GTEST_SKIP() << kThreadSanitizerSkip;
  if (VectorStageLevels().empty()) GTEST_SKIP() << "this processor runs no vector level";
  std::vector<std::string> paths = CorpusImages();
  if (paths.empty()) GTEST_SKIP() << "corpus folder not found at " << KX_CORPUS_DIR;
  const int kSettings[][2] = {{75, 3}, {90, 0}, {50, 1}, {95, 2}};
  for (size_t i = 0; i < paths.size(); i++) {
    bool ok;
    Image image = LoadPng(paths[i], &ok);
    ASSERT_TRUE(ok) << paths[i];
    const int* setting = kSettings[i % 4];
    ExpectEveryLevelMatches(image, setting[0], setting[1], false, paths[i]);
  }
}

}  // namespace
}  // namespace jpegtest
