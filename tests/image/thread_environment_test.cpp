// The fs segment every managed thread gets: its own thread information block, as code of an image
// reads it at fs:[0] and fs:[0x18].
#include "host/hostk/driver_image.h"
#include "support/kernel_test_util.h"

namespace kxtest {
namespace {

struct BlockSeen {
  hostk::ThreadInformationBlock* block = nullptr;
  void* exceptionList = nullptr;
  bool localOnItsStack = false;
};

BlockSeen LookAtOwnBlock() {
  BlockSeen seen;
  int local = 0;
  seen.block = hostk::CurrentThreadInformationBlock();
  if (seen.block == nullptr) return seen;
  seen.exceptionList = seen.block->exceptionList;
  seen.localOnItsStack = (void*)&local >= seen.block->stackLimit &&
                         (void*)&local < seen.block->stackBase;
  return seen;
}

TEST(ThreadEnvironment, EveryManagedThreadHasItsOwnBlock) {
  BlockSeen test = LookAtOwnBlock();
  ASSERT_NE(nullptr, test.block) << "the attached test thread";
  EXPECT_EQ(test.block, test.block->self);
  EXPECT_EQ((void*)0xFFFFFFFF, test.exceptionList) << "an empty exception chain";
  EXPECT_TRUE(test.localOnItsStack);

  BlockSeen system;
  {
    SystemThread thread([&] { system = LookAtOwnBlock(); });
  }
  ASSERT_NE(nullptr, system.block) << "a system thread";
  EXPECT_NE(test.block, system.block);
  EXPECT_EQ((void*)0xFFFFFFFF, system.exceptionList);
  EXPECT_TRUE(system.localOnItsStack);
  // The creator's segment is untouched by the new thread's.
  EXPECT_EQ(test.block, hostk::CurrentThreadInformationBlock());
}

}  // namespace
}  // namespace kxtest
