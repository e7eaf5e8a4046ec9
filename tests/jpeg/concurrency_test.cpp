// Several adapters encode at the same time, each with its own buffers, while another adapter
// starts and selects the stage routines: encoders share no mutable state.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "jpeg_test_support.h"
#include "support/kernel_test_util.h"

namespace jpegtest {
namespace {

TEST(JpegConcurrency, SimultaneousEncodersGiveTheSameStreams) {
  Image image = SyntheticImage(96, 64, 21);
  std::vector<uint8_t> expected = Encode(image, 75, 3).bytes;
  ASSERT_FALSE(expected.empty());

  constexpr int kThreads = 3;
  std::vector<uint8_t> results[kThreads];
  {
    std::vector<std::unique_ptr<kxtest::SystemThread<std::function<void()>>>> threads;
    for (int t = 0; t < kThreads; t++) {
      threads.push_back(std::make_unique<kxtest::SystemThread<std::function<void()>>>(
          [&image, &results, t] {
            for (int round = 0; round < 3; round++) results[t] = Encode(image, 75, 3).bytes;
          }));
    }
    threads.push_back(std::make_unique<kxtest::SystemThread<std::function<void()>>>(
        [] { JpegSelectStageRoutines(); }));
  }
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(expected, results[t]) << "thread " << t;
}

}  // namespace
}  // namespace jpegtest
