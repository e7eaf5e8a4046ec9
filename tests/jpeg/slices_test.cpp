// A stream coded in slices of MCU rows, each by an encoder of its own, laid end to end: exactly
// the bytes of the whole stream, at every level, wherever the rows are cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "jpeg/slices.h"
#include "jpeg_test_support.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

JpegEncodeParams ParamsOf(const Image& image, int quality, int sampling,
                          std::vector<uint8_t>* out) {
  return JpegEncodeParams{image.width,        image.height, 4,        image.bgrx.data(),
                          image.width * 4,    quality,      sampling, out->data(),
                          LONG(out->size()), 0};
}

// The rows cut before each row of `cuts`, each slice coded by a new encoder, in reverse order
// when asked (an encoder's earlier slices must not colour a later one); the slices joined.
std::vector<uint8_t> EncodeInSlices(const Image& image, int quality, int sampling,
                                    const JpegStageRoutines* stages, std::vector<ULONG> cuts,
                                    bool oneEncoderBackwards = false) {
  std::vector<uint8_t> unused(1);
  JpegEncodeParams params = ParamsOf(image, quality, sampling, &unused);
  ULONG rows = JpegMcuRowCount(&params);
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(rows);
  size_t count = cuts.size() - 1;
  std::vector<std::vector<uint8_t>> slices(count);
  JpegEncoder* shared = nullptr;
  if (oneEncoderBackwards) {
    EXPECT_EQ(JpegResultOk, JpegCreateSliceEncoder(&params, stages, &shared));
  }
  for (size_t n = 0; n < count; n++) {
    size_t i = oneEncoderBackwards ? count - 1 - n : n;
    JpegEncoder* encoder = shared;
    if (encoder == nullptr) {
      EXPECT_EQ(JpegResultOk, JpegCreateSliceEncoder(&params, stages, &encoder));
    }
    if (encoder == nullptr) return {};
    std::vector<uint8_t> out(size_t(image.width) * image.height * 4 + 4096);
    ULONG length = 0;
    EXPECT_EQ(JpegResultOk, JpegEncodeSlice(encoder, cuts[i], cuts[i + 1] - cuts[i], out.data(),
                                            ULONG(out.size()), &length));
    slices[i].assign(out.begin(), out.begin() + length);
    if (shared == nullptr) JpegDestroySliceEncoder(encoder);
  }
  if (shared != nullptr) JpegDestroySliceEncoder(shared);
  std::vector<uint8_t> joined;
  for (const auto& slice : slices) joined.insert(joined.end(), slice.begin(), slice.end());
  return joined;
}

// Every cut into two, and the rows one slice each, forwards by new encoders and backwards by one.
TEST(JpegSlices, EveryCutOfSyntheticImagesAtEveryLevelGivesTheWholeStream) {
  uint32_t seed = 300;
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    for (int sampling = 0; sampling < 4; sampling++) {
      const int width = 40 + int(seed % 50), height = 50 + int(seed % 23);
      Image image = SyntheticImage(width, height, seed++);
      int quality = sampling == 2 ? 100 : 30 + 20 * sampling;
      std::string what = std::string(stages->Name) + " " + std::to_string(width) + "x" +
                         std::to_string(height) + " sampling " + std::to_string(sampling);
      Encoded whole = Encode(image, quality, sampling);
      ASSERT_EQ(JpegResultOk, whole.result) << what;
      std::vector<uint8_t> unused(1);
      JpegEncodeParams params = ParamsOf(image, quality, sampling, &unused);
      ULONG rows = JpegMcuRowCount(&params);
      ASSERT_GE(rows, 3u) << what;
      std::vector<ULONG> everyRow;
      for (ULONG cut = 1; cut < rows; cut++) {
        EXPECT_EQ(whole.bytes, EncodeInSlices(image, quality, sampling, stages, {cut}))
            << what << ", cut before row " << cut;
        everyRow.push_back(cut);
      }
      EXPECT_EQ(whole.bytes, EncodeInSlices(image, quality, sampling, stages, everyRow))
          << what << ", a slice per row";
      EXPECT_EQ(whole.bytes, EncodeInSlices(image, quality, sampling, stages, everyRow, true))
          << what << ", a slice per row, backwards, by one encoder";
    }
  }
}

// The corpus cut into 2 to 8 slices: the marker numbers run on across every cut, whatever the
// number of MCUs above it.
TEST(JpegSlices, CorpusImagesCutIntoSlicesGiveTheWholeStream) {
  if (kThreadSanitizer) GTEST_SKIP() << kThreadSanitizerSkip;
  std::vector<std::string> paths = CorpusImages();
  if (paths.empty()) GTEST_SKIP() << "corpus folder not found at " << KX_CORPUS_DIR;
  const int kSettings[][2] = {{75, 3}, {90, 0}, {50, 1}};
  for (size_t i = 0; i < paths.size(); i++) {
    bool ok;
    Image image = LoadPng(paths[i], &ok);
    ASSERT_TRUE(ok) << paths[i];
    const int* setting = kSettings[i % 3];
    std::vector<uint8_t> unused(1);
    JpegEncodeParams params = ParamsOf(image, setting[0], setting[1], &unused);
    ULONG rows = JpegMcuRowCount(&params);
    ULONG slices = 2 + ULONG(i % 7);
    std::vector<ULONG> cuts;
    for (ULONG s = 1; s < slices; s++) cuts.push_back(rows * s / slices);
    Encoded whole = Encode(image, setting[0], setting[1]);
    ASSERT_EQ(JpegResultOk, whole.result) << paths[i];
    EXPECT_EQ(whole.bytes, EncodeInSlices(image, setting[0], setting[1],
                                          JpegCurrentStageRoutines(), cuts))
        << paths[i] << " in " << slices << " slices";
  }
}

// One encoder set up anew for rectangle after rectangle, narrower and wider, every sampling, the
// quality now kept from one rectangle to the next, now changed: each stream is the one a new
// encoder writes, whatever the one before left behind.
TEST(JpegSlices, AnEncoderSetUpAgainForEachRectangleWritesWhatANewOneWrites) {
  JpegEncoder* encoder = nullptr;
  const int kSizes[][2] = {{64, 48}, {200, 40}, {16, 16}, {333, 29}, {8, 8}, {120, 72}};
  for (int i = 0; i < 12; i++) {
    Image image = SyntheticImage(kSizes[i % 6][0], kSizes[i % 6][1], 40 + i);
    int sampling = i % 4, quality = 20 + 14 * (i / 2);
    std::vector<uint8_t> out(size_t(image.width) * image.height * 4 + 4096);
    JpegEncodeParams params = ParamsOf(image, quality, sampling, &out);
    LONG prepared = encoder == nullptr
                        ? JpegCreateSliceEncoder(&params, JpegCurrentStageRoutines(), &encoder)
                        : JpegReuseSliceEncoder(encoder, &params, JpegCurrentStageRoutines());
    ASSERT_EQ(JpegResultOk, prepared) << i;
    ULONG length = 0;
    ASSERT_EQ(JpegResultOk, JpegEncodeSlice(encoder, 0, JpegMcuRowCount(&params), out.data(),
                                            ULONG(out.size()), &length));
    Encoded fresh = Encode(image, quality, sampling);
    EXPECT_EQ(fresh.bytes, std::vector<uint8_t>(out.begin(), out.begin() + length))
        << image.width << "x" << image.height << " after rectangle " << i - 1;
  }
  JpegEncodeParams bad{};
  EXPECT_EQ(JpegResultBadArgument, JpegReuseSliceEncoder(encoder, &bad, &JpegPortableStages));
  JpegDestroySliceEncoder(encoder);
}

TEST(JpegSlices, RowsOutsideTheStreamAndFullOutputsFailAsTheWholeStreamWould) {
  Image image = SyntheticImage(64, 64, 9);
  std::vector<uint8_t> out(65536);
  JpegEncodeParams params = ParamsOf(image, 75, 3, &out);
  ASSERT_EQ(4u, JpegMcuRowCount(&params));
  JpegEncoder* encoder = nullptr;
  ASSERT_EQ(JpegResultOk, JpegCreateSliceEncoder(&params, &JpegPortableStages, &encoder));
  ULONG length = 12345;
  EXPECT_EQ(JpegResultBadArgument, JpegEncodeSlice(encoder, 4, 1, out.data(), 65536, &length));
  EXPECT_EQ(JpegResultBadArgument, JpegEncodeSlice(encoder, 2, 3, out.data(), 65536, &length));
  EXPECT_EQ(JpegResultBadArgument, JpegEncodeSlice(encoder, 0, 0, out.data(), 65536, &length));
  EXPECT_EQ(JpegResultHeaderFailed, JpegEncodeSlice(encoder, 0, 1, out.data(), 100, &length));
  EXPECT_EQ(JpegResultScanFailed, JpegEncodeSlice(encoder, 1, 1, out.data(), 10, &length));
  EXPECT_EQ(12345u, length);
  // A failed slice leaves nothing behind for the next one.
  ASSERT_EQ(JpegResultOk, JpegEncodeSlice(encoder, 0, 4, out.data(), 65536, &length));
  JpegDestroySliceEncoder(encoder);
  Encoded whole = Encode(image, 75, 3);
  EXPECT_EQ(whole.bytes, std::vector<uint8_t>(out.begin(), out.begin() + length));

  params.Sampling = 7;
  EXPECT_EQ(0u, JpegMcuRowCount(&params));
  EXPECT_EQ(JpegResultBadArgument, JpegCreateSliceEncoder(&params, &JpegPortableStages, &encoder));
}

}  // namespace
}  // namespace jpegtest
