// Data channels: IN endpoints that wait for their DMA engine, those that send at once, the
// engine's byte count as a limit, FIFO flushes, and OUT test data.
#include <algorithm>

#include "adapter_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterGeneration;
using kxsim::VirtualAdapterOptions;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i++) bytes[i] = (uint8_t)(seed + i * 7);
  return bytes;
}

class DataChannels : public AdapterTest {
 protected:
  // An IN transfer sent and left pending.
  std::unique_ptr<AsyncUrb> StartRead(UCHAR endpoint, std::vector<uint8_t>* buffer) {
    auto urb = std::make_unique<AsyncUrb>(Pdo());
    urb->BuildBulk(Pipe(endpoint), buffer->data(), (ULONG)buffer->size(),
                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(STATUS_PENDING, urb->Send());
    return urb;
  }
  void ProgramWindow(ULONG window, int engine, ULONG count) {
    MW(window + 0x190 + 0x20 * (engine - 1), count);
    MW(window + 0x184 + 0x20 * (engine - 1), 1);
  }
};

TEST_F(DataChannels, ExtendedReadWaitsForItsEngine) {
  Plug();
  MapFarSide();
  adapter_->QueueIn(0x82, Pattern(1024, 1));
  std::vector<uint8_t> buffer(1024);
  std::unique_ptr<AsyncUrb> read = StartRead(0x82, &buffer);
  EXPECT_FALSE(read->Wait(500 * kMillisecond));
  EXPECT_TRUE(adapter_->HasWaitingTransfer(0x82));
  // Programming that arrives after the transfer was queued releases it.
  ProgramWindow(0x30000000, 2, 1024);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(STATUS_SUCCESS, read->status);
  EXPECT_EQ(1024u, read->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(Pattern(1024, 1), buffer);
  EXPECT_FALSE(adapter_->Dma(2).running);  // its count is used up
}

TEST_F(DataChannels, EngineCountLimitsWhatMoves) {
  Plug();
  MapFarSide();
  std::vector<uint8_t> data = Pattern(100, 3);
  adapter_->QueueIn(0x83, data);
  ProgramWindow(0x30000000, 3, 40);
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 40), ReadIn(0x83, 100));
  std::vector<uint8_t> buffer(100);
  std::unique_ptr<AsyncUrb> read = StartRead(0x83, &buffer);
  EXPECT_FALSE(read->Wait(100 * kMillisecond));
  ProgramWindow(0x30000000, 3, 200);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(60u, read->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(140u, adapter_->Dma(3).remaining);
}

TEST_F(DataChannels, StoppedOrResetEngineMovesNothing) {
  Plug();
  adapter_->QueueIn(0x84, Pattern(16, 4));
  RW(0x1F0, 16);
  RW(0x1E4, 1);
  RW(0x1E4, 2);
  std::vector<uint8_t> buffer(16);
  std::unique_ptr<AsyncUrb> read = StartRead(0x84, &buffer);
  EXPECT_FALSE(read->Wait(100 * kMillisecond));
  RW(0x1E0, 0);  // reset clears the count: starting again moves nothing
  RW(0x1E4, 1);
  EXPECT_FALSE(read->Wait(100 * kMillisecond));
  RW(0x1F0, 16);
  RW(0x1E4, 1);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(Pattern(16, 4), buffer);
}

TEST_F(DataChannels, CancelledReadLosesNothing) {
  Plug();
  std::vector<uint8_t> buffer(64);
  std::unique_ptr<AsyncUrb> read = StartRead(0x81, &buffer);
  EXPECT_FALSE(read->Wait(100 * kMillisecond));
  read->Cancel();
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(STATUS_CANCELLED, read->status);
  adapter_->QueueIn(0x81, Pattern(64, 5));
  RW(0x190, 64);
  RW(0x184, 1);
  EXPECT_EQ(Pattern(64, 5), ReadIn(0x81, 64));
}

TEST_F(DataChannels, WhichEndpointsWaitByGeneration) {
  struct Case {
    AdapterGeneration generation;
    bool legacy;
    std::vector<UCHAR> gated;
  };
  const Case cases[] = {
      {AdapterGeneration::Extended, false, {0x81, 0x82, 0x83, 0x84}},
      {AdapterGeneration::Extended, true, {0x81, 0x83, 0x84}},
      {AdapterGeneration::Basic, false, {0x81}},
      {AdapterGeneration::Basic, true, {}},
  };
  for (const Case& c : cases) {
    VirtualAdapterOptions options;
    options.generation = c.generation;
    options.legacy = c.legacy;
    Plug(options);
    for (UCHAR endpoint = 0x81; endpoint <= 0x84; endpoint++) {
      bool gated = std::find(c.gated.begin(), c.gated.end(), endpoint) != c.gated.end();
      adapter_->QueueIn(endpoint, {endpoint});
      std::vector<uint8_t> buffer(1);
      std::unique_ptr<AsyncUrb> read = StartRead(endpoint, &buffer);
      EXPECT_EQ(!gated, read->Wait(50 * kMillisecond))
          << "endpoint " << std::hex << (int)endpoint << " legacy " << c.legacy;
      if (gated) {
        RW((USHORT)(0x190 + 0x20 * ((endpoint & 0xF) - 1)), 1);
        RW((USHORT)(0x184 + 0x20 * ((endpoint & 0xF) - 1)), 1);
        ASSERT_TRUE(read->Wait());
      }
      EXPECT_EQ(endpoint, buffer[0]);
    }
    port_.reset();
  }
}

TEST_F(DataChannels, BasicChannel1EngineAtTheBasicWindow) {
  VirtualAdapterOptions options;
  options.generation = AdapterGeneration::Basic;
  Plug(options);
  adapter_->QueueIn(0x81, Pattern(8, 6));
  ProgramWindow(0x30000000, 1, 8);  // not decoded on this generation
  std::vector<uint8_t> buffer(8);
  std::unique_ptr<AsyncUrb> read = StartRead(0x81, &buffer);
  EXPECT_FALSE(read->Wait(50 * kMillisecond));
  ProgramWindow(0x00100000, 1, 8);
  ASSERT_TRUE(read->Wait());
  EXPECT_EQ(Pattern(8, 6), buffer);
}

TEST_F(DataChannels, MessagesEndWithShortPacketsAndInFlushDropsTheRest) {
  VirtualAdapterOptions options;
  options.generation = AdapterGeneration::Basic;
  Plug(options);
  std::vector<uint8_t> first = Pattern(10, 7);
  adapter_->QueueIn(0x83, first);
  adapter_->QueueIn(0x83, Pattern(4, 8));
  adapter_->QueueIn(0x83, Pattern(6, 9));
  EXPECT_EQ(std::vector<uint8_t>(first.begin(), first.begin() + 6), ReadIn(0x83, 6));
  RW(0x42C, 0x200);  // channel 3 in: the rest of the first message goes
  EXPECT_EQ(Pattern(4, 8), ReadIn(0x83, 64));
  RW(0x42C, 0x200);  // nothing partly sent: nothing dropped
  EXPECT_EQ(Pattern(6, 9), ReadIn(0x83, 64));
  EXPECT_EQ(0u, adapter_->QueuedIn(0x83));
}

// Dropped messages are gone, a partly sent one included; what is queued afterwards comes next.
TEST_F(DataChannels, DroppedInMessagesAreNeverSent) {
  VirtualAdapterOptions options;
  options.generation = AdapterGeneration::Basic;
  Plug(options);
  adapter_->QueueIn(0x83, Pattern(10, 7));
  adapter_->QueueIn(0x83, Pattern(4, 8));
  ReadIn(0x83, 6);
  adapter_->DropQueuedIn(0x83);
  EXPECT_EQ(0u, adapter_->QueuedIn(0x83));
  adapter_->QueueIn(0x83, Pattern(5, 9));
  EXPECT_EQ(Pattern(5, 9), ReadIn(0x83, 64));
}

TEST_F(DataChannels, OutChannelsKeepTheirTransfers) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, WriteOut(0x03, Pattern(300, 1)));
  ASSERT_EQ(STATUS_SUCCESS, WriteOut(0x03, Pattern(5, 2)));
  ASSERT_EQ(STATUS_SUCCESS, WriteOut(0x04, Pattern(7, 3)));
  EXPECT_EQ((std::vector<std::vector<uint8_t>>{Pattern(300, 1), Pattern(5, 2)}),
            adapter_->TakeReceived(0x03));
  EXPECT_TRUE(adapter_->TakeReceived(0x03).empty());
  EXPECT_EQ(std::vector<std::vector<uint8_t>>{Pattern(7, 3)}, adapter_->TakeReceived(0x04));
}

}  // namespace
}  // namespace kxtest
