// The stage level the whole suite runs at: the highest the processor allows, or the one
// KX_JPEG_LEVEL names (portable, sse2, ssse3, sse41, avx, avx2), so that every test of the
// encoder can be run at any level. Tests that need a particular level choose it themselves.
#include <gtest/gtest.h>

#include <cstdlib>

#include "jpeg/jpeg.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

class StageLevelEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    if (!ApplyLevelLimitFromEnvironment()) {
      FAIL() << "KX_JPEG_LEVEL=" << std::getenv("KX_JPEG_LEVEL") << " is not a level";
    }
    JpegSelectStageRoutines();
  }
};

testing::Environment* const kStageLevelEnvironment =
    testing::AddGlobalTestEnvironment(new StageLevelEnvironment);

}  // namespace
}  // namespace jpegtest
