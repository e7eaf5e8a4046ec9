// The main of every test binary: the test thread joins the host kernel for its lifetime, and after
// every test the kernel must be clean (no pool, handles or threads left behind).
#include <gtest/gtest.h>

#include "host/hostk.h"

namespace {

class KernelCleanCheck : public testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo& info) override {
    std::string report = hostk::LeakReport();
    if (!report.empty()) {
      ADD_FAILURE() << info.test_suite_name() << "." << info.name()
                    << " left the host kernel unclean:\n"
                    << report;
    }
    hostk::ResetForNextTest();
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  hostk::AttachCurrentThread("test");
  // The check runs before the result printer so that a leak fails the test it belongs to.
  testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
  testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
  listeners.Append(new KernelCleanCheck);
  listeners.Append(printer);
  int result = RUN_ALL_TESTS();
  hostk::DetachCurrentThread();
  return result;
}
