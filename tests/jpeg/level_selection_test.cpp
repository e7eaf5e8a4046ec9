// The choice of the stage level: the highest the processor runs, SSE2 at least, never above the
// limit a host program sets, and every level known by its name.
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
  EXPECT_EQ(highest < JpegLevelSse2 ? ULONG(JpegLevelSse2) : highest, Selected());
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
