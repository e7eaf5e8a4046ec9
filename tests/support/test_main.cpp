// The main of every test binary: the test thread joins the host kernel for its lifetime, and after
// every test the kernel must be clean (no pool, handles or threads left behind).
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

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
  // A death test starts this program again by its argv[0]. Under qemu-i386, on a machine whose
  // kernel runs no 32-bit x86 programs, the emulator's launcher (target/host-i386/run-i386) stands
  // in for the program there.
  std::vector<char*> args(argv, argv + argc + 1);
  if (const char* relaunch = std::getenv("KX_I386_RELAUNCH")) args[0] = const_cast<char*>(relaunch);
  testing::InitGoogleTest(&argc, args.data());
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
