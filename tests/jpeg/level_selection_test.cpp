// The choice of the stage level: the highest the processor runs (portable without SSE2), never
// above the limit a host program sets, and every level known by its name.
#include <gtest/gtest.h>

#include "jpeg_test_support.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

class JpegLevelSelection : public testing::Test {
 protected:
  JpegLevelSelection() : saved_(JpegCurrentStageRoutines()) {}
  ~JpegLevelSelection() override {
    ApplyLevelLimitFromEnvironment();
    JpegUseStageRoutines(saved_);
  }
  static ULONG Selected() {
    JpegSelectStageRoutines();
    return JpegCurrentStageRoutines()->Level;
  }

 private:
  const JpegStageRoutines* saved_;
};

TEST_F(JpegLevelSelection, PicksTheHighestLevelTheProcessorRuns) {
  JpegLimitStageLevel(JpegLevelCount - 1);
  ULONG highest = AllStageLevels().back()->Level;
  EXPECT_EQ(highest, Selected());
  EXPECT_EQ(Selected(), JpegProcessorStageLevel());
  EXPECT_TRUE(JpegProcessorRunsLevel(JpegLevelPortable));
#if defined(__x86_64__)
  EXPECT_TRUE(JpegProcessorRunsLevel(JpegLevelSse2)) << "every 64-bit x86 processor has SSE2";
#endif
  // Levels are cumulative: the runnable ones are a prefix of the list.
  for (ULONG level = 1; level < JpegLevelCount; level++) {
    EXPECT_TRUE(!JpegProcessorRunsLevel(level) || JpegProcessorRunsLevel(level - 1)) << level;
  }
}

// Each processor gets the highest level whose every feature it has: a processor without SSE2 runs
// the portable stages (the SSE2 ones would fault on it), AVX needs the system to save the YMM
// state, and AVX2 needs BMI1, BMI2 and LZCNT besides.
TEST(JpegLevelForFeatures, EachLevelNeedsAllItsFeatures) {
  constexpr ULONG kSse2 = 1u << 26, kSsse3 = 1u << 9, kSse4 = (1u << 19) | (1u << 20);
  constexpr ULONG kAvx = (1u << 28) | (1u << 27), kYmm = 6, kAvx2 = (1u << 3) | (1u << 5) | (1u << 8);
  JpegProcessorFeatures all = {TRUE, kSsse3 | kSse4 | kAvx, kSse2, TRUE, kAvx2, TRUE, 1u << 5, kYmm};
  EXPECT_EQ(ULONG(JpegLevelAvx2), JpegLevelForFeatures(&all));
  struct Case {
    const char* what;
    void (*change)(JpegProcessorFeatures*);
    ULONG expected;
  } cases[] = {
      {"no leaf 1", [](JpegProcessorFeatures* f) { f->HasLeaf1 = FALSE; }, JpegLevelPortable},
      {"no SSE2", [](JpegProcessorFeatures* f) { f->Leaf1Edx = 0; }, JpegLevelPortable},
      {"no SSSE3", [](JpegProcessorFeatures* f) { f->Leaf1Ecx &= ~kSsse3; }, JpegLevelSse2},
      {"SSE4.1 only", [](JpegProcessorFeatures* f) { f->Leaf1Ecx &= ~(1u << 20); },
       JpegLevelSsse3},
      {"YMM not saved", [](JpegProcessorFeatures* f) { f->Xcr0 = 2; }, JpegLevelSse41},
      {"no OSXSAVE", [](JpegProcessorFeatures* f) { f->Leaf1Ecx &= ~(1u << 27); },
       JpegLevelSse41},
      {"no leaf 7", [](JpegProcessorFeatures* f) { f->HasLeaf7 = FALSE; }, JpegLevelAvx},
      {"no BMI2", [](JpegProcessorFeatures* f) { f->Leaf7Ebx &= ~(1u << 8); }, JpegLevelAvx},
      {"no LZCNT", [](JpegProcessorFeatures* f) { f->Leaf80000001Ecx = 0; }, JpegLevelAvx},
  };
  for (const Case& c : cases) {
    JpegProcessorFeatures features = all;
    c.change(&features);
    EXPECT_EQ(c.expected, JpegLevelForFeatures(&features)) << c.what;
  }
}

TEST_F(JpegLevelSelection, ALimitCapsTheSelection) {
  ULONG highest = JpegProcessorStageLevel();
  for (ULONG limit = 0; limit < JpegLevelCount; limit++) {
    JpegLimitStageLevel(limit);
    EXPECT_EQ(std::min(limit, highest), Selected()) << "limit " << limit;
  }
  JpegLimitStageLevel(JpegLevelCount + 5);  // no limit
  EXPECT_EQ(highest, Selected());
}

TEST_F(JpegLevelSelection, EveryLevelIsKnownByItsName) {
  for (ULONG level = 0; level < JpegLevelCount; level++) {
    const JpegStageRoutines* stages = JpegStageRoutinesAt(level);
    ASSERT_NE(nullptr, stages);
    EXPECT_EQ(level, stages->Level);
    ULONG named = JpegLevelCount;
    EXPECT_TRUE(JpegStageLevelNamed(stages->Name, &named)) << stages->Name;
    EXPECT_EQ(level, named) << stages->Name;
  }
  EXPECT_EQ(nullptr, JpegStageRoutinesAt(JpegLevelCount));
  ULONG unchanged = 77;
  const char* const kNotLevels[] = {"", "AVX2", "avx512", "sse4", "sse2 ", nullptr};
  for (const char* name : kNotLevels) {
    EXPECT_FALSE(JpegStageLevelNamed(name, &unchanged)) << (name ? name : "null");
  }
  EXPECT_EQ(77u, unchanged);
}

// On the host nothing is saved, but the frame worker's entry still encodes with the table in use.
TEST_F(JpegLevelSelection, TheSavedEntryEncodesWithTheSelectedStages) {
  JpegLimitStageLevel(JpegLevelCount - 1);
  Image image = SyntheticImage(48, 32, 5);
  Selected();
  Encoded plain = Encode(image, 75, 3);
  std::vector<uint8_t> saved(plain.bytes.size() + 1024);
  JpegEncodeParams params{
      48, 32, 4, image.bgrx.data(), 48 * 4, 75, 3, saved.data(), LONG(saved.size()), 0};
  ASSERT_EQ(JpegResultOk, JpegEncodeFrameSaved(&params));
  saved.resize(size_t(params.OutputLength));
  EXPECT_EQ(plain.bytes, saved);
}

}  // namespace
}  // namespace jpegtest
