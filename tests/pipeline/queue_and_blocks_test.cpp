// The pieces of the pipeline that need no thread: command blocks byte for byte, the merging ring
// of changed rectangles, and the alignment of a taken rectangle.
#include <gtest/gtest.h>

#include <vector>

#include "driver/kxbus.h"
#include "pipeline/command_block.h"
#include "sim/adapter/command_block.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Block(void (*build)(UCHAR*)) {
  Bytes block(kCommandBlockSize, 0xEE);
  build(block.data());
  return block;
}

// The far side's own parser reads what the driver writes.
TEST(CommandBlocks, EveryFieldWhereTheAdapterReadsIt) {
  Bytes mode = Block([](UCHAR* b) {
    ModeFields fields = {1920, 1080, 32, 0xBEEF};
    BuildModeBlock(b, 7, &fields);
  });
  kxsim::CommandBlock parsed = kxsim::ParseCommandBlock(mode.data());
  EXPECT_TRUE(parsed.magicOk);
  EXPECT_TRUE(parsed.fillClean);
  EXPECT_EQ(1, parsed.command);
  EXPECT_EQ(7, parsed.displayId);
  EXPECT_EQ(1920, parsed.mode.width);
  EXPECT_EQ(1080, parsed.mode.height);
  EXPECT_EQ(32, parsed.mode.bitsPerPixel);
  EXPECT_EQ(0xBEEF, parsed.mode.modeExtra);

  Bytes stop = Block([](UCHAR* b) { BuildStopBlock(b, -2); });
  EXPECT_EQ(Bytes({'K', 'X', 'g', 't', 2, 0, 0xFE, 0xFF, 0xFF, 0xFF}),
            Bytes(stop.begin(), stop.begin() + 10));
  for (size_t i = 10; i < stop.size(); i++) ASSERT_EQ(0, stop[i]) << i;

  // A rectangle at (16, 32) of 48 x 16 on a 1920-pixel-wide 32-bit output.
  Bytes frame = Block([](UCHAR* b) {
    FrameDataFields fields = {16, 32, 48, 16, 37, FrameOffsetOf(32, 1920, 16, 32)};
    BuildFrameDataBlock(b, 3, &fields);
  });
  EXPECT_EQ(Bytes(kxsim::BuildFrameBlock(3, kxsim::FrameFor(16, 32, 48, 16, 37, 1920, 32))),
            frame);
  EXPECT_EQ(245824u, FrameOffsetOf(32, 1920, 16, 32));
}

TEST(CommandBlocks, PayloadsArePaddedToWholeKilobytes) {
  EXPECT_EQ(1024u, PaddedPayloadLength(37));
  EXPECT_EQ(1024u, PaddedPayloadLength(1024));
  EXPECT_EQ(2048u, PaddedPayloadLength(2048));
  EXPECT_EQ(3072u, PaddedPayloadLength(2049));
  EXPECT_EQ(kFrameBufferSize, PaddedPayloadLength(kFrameBufferSize - 5));
}

class RectQueue : public testing::Test {
 protected:
  RectQueue() { QueueClear(&queue_); }
  void Insert(LONG l, LONG t, LONG r, LONG b) {
    UpdateRect rect = {l, t, r, b};
    QueueInsert(&queue_, &rect);
  }
  std::vector<std::vector<LONG>> TakeAll() {
    std::vector<std::vector<LONG>> taken;
    for (;;) {
      UpdateRect rect = QueueTake(&queue_);
      if (IsEmptyRect(&rect)) return taken;
      taken.push_back({rect.Left, rect.Top, rect.Right, rect.Bottom});
    }
  }
  DirtyRectQueue queue_;
};

TEST_F(RectQueue, RectanglesThatTouchMergeAndOnesAPixelApartDoNot) {
  Insert(0, 0, 16, 16);
  Insert(16, 0, 32, 16);  // shares an edge
  EXPECT_EQ((std::vector<std::vector<LONG>>{{0, 0, 32, 16}}), TakeAll());
  Insert(0, 0, 16, 16);
  Insert(17, 0, 32, 16);
  EXPECT_EQ((std::vector<std::vector<LONG>>{{0, 0, 16, 16}, {17, 0, 32, 16}}), TakeAll());
  Insert(0, 0, 8, 8);
  Insert(8, 8, 16, 16);  // a shared corner
  EXPECT_EQ((std::vector<std::vector<LONG>>{{0, 0, 16, 16}}), TakeAll());
}

// The newer of two queued rectangles grows to cover a third that overlaps both; the older one is
// folded into it and its slot cleared.
TEST_F(RectQueue, ARectangleOverTwoQueuedOnesJoinsAllThree) {
  Insert(0, 0, 10, 10);
  Insert(100, 100, 110, 110);
  Insert(500, 500, 510, 510);
  Insert(5, 5, 105, 105);
  EXPECT_EQ((std::vector<std::vector<LONG>>{{0, 0, 110, 110}, {500, 500, 510, 510}}), TakeAll());
}

TEST_F(RectQueue, AFullQueueGrowsItsNewestRectangle) {
  for (LONG i = 0; i < 127; i++) Insert(i * 20, 0, i * 20 + 10, 10);
  Insert(5000, 500, 5010, 510);  // touches nothing: the newest entry grows instead
  auto taken = TakeAll();
  ASSERT_EQ(127u, taken.size());
  EXPECT_EQ((std::vector<LONG>{126 * 20, 0, 5010, 510}), taken.back());
  EXPECT_EQ((std::vector<LONG>{0, 0, 10, 10}), taken.front());
  // The ring goes on from where it stopped.
  Insert(1, 1, 2, 2);
  EXPECT_EQ((std::vector<std::vector<LONG>>{{1, 1, 2, 2}}), TakeAll());
}

TEST(RectAlignment, OutwardToTheGridAndInsideTheOutput) {
  auto aligned = [](LONG l, LONG t, LONG r, LONG b, ULONG w, ULONG h) {
    UpdateRect rect = AlignRect({l, t, r, b}, w, h);
    return std::vector<LONG>{rect.Left, rect.Top, rect.Right, rect.Bottom};
  };
  EXPECT_EQ((std::vector<LONG>{0, 16, 48, 32}), aligned(16, 17, 33, 20, 1920, 1080));
  EXPECT_EQ((std::vector<LONG>{0, 0, 16, 16}), aligned(0, 0, 16, 16, 1920, 1080));
  EXPECT_EQ((std::vector<LONG>{16, 16, 48, 48}), aligned(32, 32, 48, 48, 1920, 1080));
  EXPECT_EQ(1366, aligned(1344, 0, 1366, 16, 1366, 768)[2]);
  EXPECT_EQ(1366, aligned(1344, 0, 1365, 16, 1366, 768)[2]);
  // Columns 1361..1365 of a 1366-wide output align to 1360..1366, six pixels: too narrow for the
  // encoder, so the strip grows back to the grid line at least 16 pixels before the edge.
  EXPECT_EQ((std::vector<LONG>{1344, 752, 1366, 768}), aligned(1361, 762, 1366, 768, 1366, 768));
  // An output of fewer than 16 pixels: the whole of it.
  EXPECT_EQ((std::vector<LONG>{0, 0, 10, 12}), aligned(9, 9, 10, 12, 10, 12));
}

}  // namespace
