// A large rectangle shared among the frame worker's encode threads: the far side receives exactly
// the bytes the worker alone sends, whatever the count of processors and the stage level.
#include "jpeg/stages.h"
#include "pipeline_fixture.h"

namespace kxtest {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// The stage tables a test codes with: every level this processor runs, the selected one last. The
// shipped image selects its own, out of the test program's reach: there, only that one (nullptr).
std::vector<const JpegStageRoutines*> StagesToTry() {
#if defined(KX_SHIPPED_IMAGE)
  return {nullptr};
#else
  std::vector<const JpegStageRoutines*> levels;
  for (ULONG level = 0; JpegStageRoutinesAt(level) != nullptr; level++) {
    bool sampled = !kThreadSanitizer || level == 0 || level == JpegProcessorStageLevel();
    if (JpegProcessorRunsLevel(level) && sampled) levels.push_back(JpegStageRoutinesAt(level));
  }
  return levels;
#endif
}

void UseStages(const JpegStageRoutines* stages) {
#if defined(KX_SHIPPED_IMAGE)
  (void)stages;
#else
  JpegUseStageRoutines(stages != nullptr ? stages
                                         : JpegStageRoutinesAt(JpegProcessorStageLevel()));
#endif
}

const char* NameOf(const JpegStageRoutines* stages) {
  return stages != nullptr ? stages->Name : "the image's own level";
}

struct Received {
  ULONGLONG digest = 0;
  ULONG rectangles = 0;
};

class SharedEncoding : public PipelineTest {
 protected:
  void SetUp() override { Plug(); }
  void TearDown() override {
    UseStages(nullptr);
    PipelineTest::TearDown();
  }

  // A fresh worker with a crew for `processors`, coding with `stages`, on a new child: the whole
  // image, then a large rectangle off the grid and a small one, which the worker codes alone.
  Received Send(const kxsim::BgrxImage& image, ULONG processors,
                const JpegStageRoutines* stages) {
    StopFrameWorker(bus_);
    bus_->Channels[0].Free = 1;
    bus_->EncodeThreads = processors;
    UseStages(stages);
    LONG id = nextId_++;
    PDEVICE_OBJECT child = AddChild(0, id);
    EXPECT_EQ(STATUS_SUCCESS, SetMode(child, (USHORT)image.width, (USHORT)image.height));
    EXPECT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
    Settle();
    EXPECT_EQ(STATUS_SUCCESS, Present(child, image, 37, 21, image.width - 5, image.height - 3));
    Settle();
    EXPECT_EQ(STATUS_SUCCESS, Present(child, image, 100, 100, 140, 132));
    Settle();
    std::optional<kxsim::FarDisplayState> display = adapter_->Display(id);
    if (!display) {
      ADD_FAILURE() << "display " << id << " unknown on the far side";
      return {};
    }
    return Received{display->payloadDigest, display->rectangles};
  }

  void ExpectSameBytesAtEveryCount(const kxsim::BgrxImage& image, const JpegStageRoutines* stages,
                                   ULONG highest, const std::string& what) {
    Received alone = Send(image, 1, stages);
    ASSERT_EQ(3u, alone.rectangles) << what;
    for (ULONG processors = 2; processors <= highest; processors++) {
      Received shared = Send(image, processors, stages);
      EXPECT_EQ(alone.rectangles, shared.rectangles) << what << ", " << processors;
      EXPECT_EQ(alone.digest, shared.digest)
          << what << " at " << NameOf(stages) << ": " << processors << " processors";
    }
  }

  LONG nextId_ = 1;
};

TEST_F(SharedEncoding, SyntheticDesktopsGiveTheWorkersBytesAtEveryLevelAndProcessorCount) {
  kxsim::BgrxImage image = SyntheticDesktop(kThreadSanitizer ? 400 : 720, 416, 3);
  std::vector<const JpegStageRoutines*> levels = StagesToTry();
  for (size_t i = 0; i < levels.size(); i++) {
    for (UCHAR sampling : {UCHAR(3), UCHAR(i % 2 == 0 ? 0 : 1)}) {
      bus_->Sampling = sampling;
      ExpectSameBytesAtEveryCount(image, levels[i], kMaxEncodeThreads,
                                  "sampling " + std::to_string(sampling));
    }
  }
  EXPECT_GT(FarPsnr(nextId_ - 1, image), 30.0);
  ExpectNoViolations();
}

TEST_F(SharedEncoding, CorpusImagesGiveTheWorkersBytes) {
  if (kThreadSanitizer) GTEST_SKIP() << "the synthetic desktops cover the threads here";
  std::vector<std::string> names = CorpusNames();
  ASSERT_FALSE(names.empty()) << "corpus folder not found at " << KX_CORPUS_DIR;
  const JpegStageRoutines* stages = StagesToTry().back();
  for (size_t i = 0; i < names.size(); i++) {
    kxsim::BgrxImage image = CorpusImage(names[i]);
    ASSERT_GT(image.width, 0) << names[i];
    bus_->Sampling = UCHAR(i % 2 == 0 ? 3 : 0);
    Received alone = Send(image, 1, stages);
    ULONG processors = 2 + ULONG(i % (kMaxEncodeThreads - 1));
    Received shared = Send(image, processors, stages);
    EXPECT_EQ(alone.digest, shared.digest) << names[i] << ", " << processors << " processors";
  }
  ExpectNoViolations();
}

// A crew whose threads could not all be created still shares with those it has; without any,
// the worker codes alone. The bytes stay the worker's either way.
TEST_F(SharedEncoding, ACrewShortOfThreadsStillSendsTheWorkersBytes) {
  kxsim::BgrxImage image = SyntheticDesktop(512, 320, 8);
  const JpegStageRoutines* stages = StagesToTry().back();
  Received alone = Send(image, 1, stages);
  for (uint64_t failing : {2, 3, 4}) {
    hostk::PsFailThreadCreation(failing);  // the worker is the first thread, its crew the next ones
    Received shared = Send(image, 4, stages);
    hostk::PsFailThreadCreation(0);
    EXPECT_EQ(alone.digest, shared.digest) << "thread creation " << failing << " failing";
    EXPECT_EQ(alone.rectangles, shared.rectangles);
  }
  ExpectNoViolations();
}

}  // namespace
}  // namespace kxtest
