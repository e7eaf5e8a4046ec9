// The bytes of reads and writes on each data channel, in one stage and in many, and what a
// failing or short stage leaves behind.
#include "read_write_fixture.h"

#include <algorithm>

#include "host/hostk/pnp.h"
#include "host/hostk/registry.h"
#include "sim/adapter/command_block.h"
#include "sim/usb/usb_fault.h"

namespace kxtest {

using kxsim::UsbFault;

// Channel 1's far side takes only command blocks: whole blocks go there as mode blocks, which it
// records per display, and a single byte as the one malformed transfer it counts.
void ReadWrite::ExpectWriteArrives(HANDLE handle, ULONG channel, ULONG length) {
  kxsim::VirtualAdapter* adapter = adapter_.get();
  Bytes sent = Pattern(length, (uint8_t)(channel * 3));
  if (channel == 1 && length % kxsim::kCommandBlockSize == 0) {
    sent.clear();
    for (ULONG i = 0; i < length / kxsim::kCommandBlockSize; i++) {
      Bytes block = kxsim::BuildModeBlock(100 + i, {(USHORT)(16 * (i + 1)), 16, 32, 0});
      sent.insert(sent.end(), block.begin(), block.end());
    }
  }
  ULONG badBefore = adapter->ViolationCount(kxsim::Violation::BadBlockLength);
  hostk::UserBuffer buffer(length);
  std::copy(sent.begin(), sent.end(), buffer.Data());
  Outcome outcome = Write(handle, buffer.Data(), length);
  EXPECT_EQ(STATUS_SUCCESS, outcome.status);
  EXPECT_EQ(length, outcome.information);
  if (channel != 1) {
    EXPECT_EQ(sent, Joined(adapter->TakeReceived((UCHAR)channel)));
  } else if (length % kxsim::kCommandBlockSize != 0) {
    EXPECT_EQ(badBefore + 1, adapter->ViolationCount(kxsim::Violation::BadBlockLength));
  } else {
    for (ULONG i = 0; i < length / kxsim::kCommandBlockSize; i++) {
      auto display = adapter->Display(100 + i);
      ASSERT_TRUE(display.has_value());
      EXPECT_EQ(16 * (i + 1), display->mode.width);
    }
  }
}

namespace {

TEST_F(ReadWrite, EveryByteOfOneAndManyStagesOnEachChannel) {
  Start();
  bus_->MaxTransferSize = kStage;
  for (ULONG channel = 1; channel <= 4; channel++) {
    HANDLE handle = OpenChannel(channel);
    for (ULONG length : {1u, kStage, 5 * kStage + 100}) {
      SCOPED_TRACE("channel " + std::to_string(channel) + ", " + std::to_string(length) + " bytes");
      Bytes sent = Pattern(length, (uint8_t)channel);
      adapter_->QueueIn((UCHAR)(0x80 + channel), sent);
      ULONG starts = adapter_->Dma(channel).starts;
      hostk::UserBuffer buffer(length);
      Outcome outcome = Read(handle, buffer.Data(), length);
      EXPECT_EQ(STATUS_SUCCESS, outcome.status);
      EXPECT_EQ(length, outcome.information);
      EXPECT_EQ(sent, Bytes(buffer.Data(), buffer.Data() + length));
      // The engine is told the whole request once, not each stage.
      EXPECT_EQ(length, adapter_->Dma(channel).count);
      EXPECT_EQ(starts + 1, adapter_->Dma(channel).starts);
      ULONG writeLength = channel == 1 && length > 1 ? length / kStage * kStage : length;
      ExpectWriteArrives(handle, channel, writeLength);
    }
  }
  ExpectSettled();
  EXPECT_EQ(0u, bus_->ErrorCode);
}

// A read larger than the message the adapter has ends with the message, whole and alone: the
// next stage would wait for data that is not coming, and the next message is the next read's.
TEST_F(ReadWrite, ShortStageEndsTheRead) {
  Start();
  bus_->MaxTransferSize = kStage;
  HANDLE handle = OpenChannel(3);
  Bytes first = Pattern(300, 1), second = Pattern(200, 2);
  adapter_->QueueIn(0x83, first);
  adapter_->QueueIn(0x83, second);
  hostk::UserBuffer buffer(4 * kStage);
  Outcome outcome = Read(handle, buffer.Data(), 4 * kStage);
  EXPECT_EQ(STATUS_SUCCESS, outcome.status);
  ASSERT_EQ(first.size(), outcome.information);
  EXPECT_EQ(first, Bytes(buffer.Data(), buffer.Data() + first.size()));
  outcome = Read(handle, buffer.Data(), 4 * kStage);
  ASSERT_EQ(second.size(), outcome.information);
  EXPECT_EQ(second, Bytes(buffer.Data(), buffer.Data() + second.size()));
  ExpectSettled();
}

TEST_F(ReadWrite, FailedStageRecordsItsBitsAndFlushesTheFifo) {
  Start();
  bus_->MaxTransferSize = kStage;
  for (ULONG channel = 1; channel <= 4; channel++) {
    HANDLE handle = OpenChannel(channel);
    for (bool in : {true, false}) {
      SCOPED_TRACE("channel " + std::to_string(channel) + (in ? " read" : " write"));
      bus_->ErrorCode = 0;
      ULONG flushes = adapter_->FifoFlushes(channel, in);
      UCHAR endpoint = (UCHAR)(in ? 0x80 + channel : channel);
      port_->InjectFault(endpoint, UsbFault::FailAfter(0));
      if (in) adapter_->QueueIn(endpoint, Pattern(kStage, 5));
      hostk::UserBuffer buffer(2 * kStage);
      Outcome outcome = in ? Read(handle, buffer.Data(), 2 * kStage)
                           : Write(handle, buffer.Data(), 2 * kStage);
      EXPECT_FALSE(NT_SUCCESS(outcome.status));
      EXPECT_EQ(0u, outcome.information);
      EXPECT_EQ((0x2u << 2 * (channel - 1)) | (in ? 0x400u : 0x800u), bus_->ErrorCode);
      EXPECT_TRUE(adapter_->WaitUntil(
          [&] { return adapter_->FifoFlushes(channel, in) == flushes + 1; }, kSecond));
      // The failure halted the pipe; the channel serves the next request all the same.
      if (in) adapter_->QueueIn(endpoint, Pattern(kStage, 6));
      outcome = in ? Read(handle, buffer.Data(), kStage) : Write(handle, buffer.Data(), kStage);
      EXPECT_EQ(STATUS_SUCCESS, outcome.status);
      EXPECT_EQ(kStage, outcome.information);
    }
  }
  ExpectSettled();
}

// The second stage of a write on channel 3 fails: the first stage's bytes are reported, and the
// flush reaches register 0x36C from the work item.
TEST_F(ReadWrite, FailureAfterTheFirstStageReportsWhatMoved) {
  Start();
  bus_->MaxTransferSize = kStage;
  HANDLE handle = OpenChannel(3);
  port_->InjectFault(0x03, UsbFault::Delay(kSecond).Times(1));
  // While the first stage is held up, the fault for the next one is laid.
  SystemThread saboteur([this] {
    Sleep(100 * kMillisecond);
    port_->InjectFault(0x03, UsbFault::FailAfter(0));
  });
  Bytes sent = Pattern(3 * kStage, 7);
  hostk::UserBuffer buffer(sent.size());
  std::copy(sent.begin(), sent.end(), buffer.Data());
  ULONG flushes = adapter_->FifoFlushes(3, false);
  Outcome outcome = Write(handle, buffer.Data(), (ULONG)sent.size());
  saboteur.Join();
  EXPECT_FALSE(NT_SUCCESS(outcome.status));
  EXPECT_EQ(kStage, outcome.information);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + kStage), Joined(adapter_->TakeReceived(0x03)));
  EXPECT_EQ(0x820u, bus_->ErrorCode);
  EXPECT_TRUE(adapter_->WaitUntil([&] { return adapter_->FifoFlushes(3, false) == flushes + 1; }, kSecond));
  ExpectSettled();
}

// The USB stack refuses a write outright (a stage larger than the pipe takes): the channel's
// engine is stopped and its out FIFO flushed on the bridge path, in that order, and the request
// ends as a failed write.
TEST_F(ReadWrite, AWriteTheStackRefusesStopsItsChannel) {
  Start();
  const ULONG pipeLimit = bus_->MaxTransferSize;
  bus_->MaxTransferSize = pipeLimit + 1;
  hostk::UserBuffer buffer(pipeLimit + 1);
  const ULONG stops[4][2] = {{0x184, 0x32C}, {0x1A4, 0x34C}, {0x1C4, 0x36C}, {0x1E4, 0x38C}};
  for (ULONG channel = 1; channel <= 4; channel++) {
    SCOPED_TRACE("channel " + std::to_string(channel));
    bus_->ErrorCode = 0;
    size_t mark = adapter_->Log().Size();
    Outcome outcome = Write(OpenChannel(channel), buffer.Data(), pipeLimit + 1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, outcome.status);
    EXPECT_EQ(0u, outcome.information);
    EXPECT_EQ((0x2u << 2 * (channel - 1)) | 0x800u, bus_->ErrorCode);
    std::vector<kxsim::AdapterOperation> ops = adapter_->Log().Since(mark);
    auto stop = std::find(ops.begin(), ops.end(), kxsim::ops::RW(stops[channel - 1][0], 2));
    ASSERT_NE(ops.end(), stop);
    ASSERT_NE(ops.end(), stop + 1);
    EXPECT_EQ(kxsim::ops::RW(stops[channel - 1][1], 0x200), *(stop + 1));
    EXPECT_TRUE(adapter_->TakeReceived((UCHAR)channel).empty());
    ExpectSettled();  // the failure's own flush from its work item
  }
}

// The error record starts again with every start: a failure after a stop and start reports its
// own bits, in the record and in the registry, not those of a failure before the stop.
TEST_F(ReadWrite, AFailureAfterARestartReportsOnlyItsOwnBits) {
  Start();
  auto failWrite = [this](ULONG channel) {
    HANDLE handle = OpenChannel(channel);
    port_->InjectFault((UCHAR)channel, UsbFault::FailAfter(0).Times(1));
    hostk::UserBuffer buffer(kStage);
    EXPECT_FALSE(NT_SUCCESS(Write(handle, buffer.Data(), kStage).status));
    EXPECT_EQ(STATUS_SUCCESS, client_->Close(handle));
    ExpectSettled();
  };
  auto registered = [this] {
    auto value = hostk::RegistryGetValue(
        hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters\\0000", "ErrorCode");
    return value.has_value() ? value->data : Bytes{};
  };
  failWrite(2);
  EXPECT_EQ(0x808u, bus_->ErrorCode);
  EXPECT_EQ((Bytes{0x08, 0x08, 0, 0}), registered());
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpRebalance(port_->Pdo()));
  EXPECT_EQ(0u, bus_->ErrorCode);
  EXPECT_EQ((Bytes{0, 0, 0, 0}), registered());
  failWrite(3);
  EXPECT_EQ(0x820u, bus_->ErrorCode);
  EXPECT_EQ((Bytes{0x20, 0x08, 0, 0}), registered());
}

}  // namespace
}  // namespace kxtest
