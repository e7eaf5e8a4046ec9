// What a transfer reports when the device misbehaves part-way: the bytes that really moved, a
// chain of chunks that stops in the middle, a URB failed under a successful request, the outcome
// of an asynchronous receive, and a pipe reset the stack refuses.
#include <gtest/gtest.h>

#include <vector>

#include "support/tested_driver.h"
#include "usb_adapter_fixture.h"

namespace {

using kxtest::kSecond;
using kxtest::kTestedDriverTraces;
using kxtest::UsbAdapterFixture;

class TransferOutcome : public UsbAdapterFixture {
 protected:
  void SetUp() override {
    UsbAdapterFixture::SetUp();
    Start();
  }
  // Small chunks, so that a few bytes make a chain.
  void UseChunksOf(ULONG size) { bus_->MaxTransferSize = size; }
  // An asynchronous completion drops its reference and frees its request just after it signals
  // the waiter: a moment of virtual time lets it finish.
  void ExpectNothingLeft() {
    LARGE_INTEGER moment;
    moment.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &moment);
    EXPECT_EQ(1, InterlockedCompareExchange(&bus_->OutstandingIo, 0, 0));
    EXPECT_EQ(0u, hostk::IoLiveIrpCount());
    EXPECT_EQ(0u, port_->PendingCount());
  }
};

TEST_F(TransferOutcome, EveryFormReportsTheBytesThatMoved) {
  std::vector<UCHAR> buffer(64, 0xEE);
  ULONG moved = 99;
  Script(0x8E)->QueueIn({1, 2, 3});
  EXPECT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransfer(bus_, bus_->PipePciIn, buffer.data(), 4, kTransferIn, &moved));
  EXPECT_EQ(3u, moved);
  Script(0x8D)->QueueIn({1, 2});
  EXPECT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransfer_2(bus_, bus_->PipeCsrIn, buffer.data(), 4, kTransferIn, &moved));
  EXPECT_EQ(2u, moved);
  Script(0x81)->QueueIn(std::vector<uint8_t>(40, 7));
  EXPECT_EQ(STATUS_SUCCESS,
            UsbDoDataTransfer(bus_, bus_->PipeDataIn1, buffer.data(), 64, kTransferIn, &moved));
  EXPECT_EQ(40u, moved);
  // A refusal moves nothing, and says so.
  moved = 99;
  EXPECT_EQ(STATUS_INVALID_HANDLE,
            UsbDoBulkTransfer(bus_, nullptr, buffer.data(), 4, kTransferIn, &moved));
  EXPECT_EQ(0u, moved);
  ExpectNothingLeft();
}

// The second of three chunks never gets an answer: the whole transfer ends after 10 seconds with
// what the first chunk moved, and the third chunk is never sent.
TEST_F(TransferOutcome, AChainWhoseMiddleChunkHangsEndsWithTheFirstChunksBytes) {
  UseChunksOf(16);
  Script(0x81)->QueueIn(std::vector<uint8_t>(16, 0x5A));
  std::vector<UCHAR> buffer(48, 0);
  ULONG moved = 0;
  LONGLONG start = hostk::ClockNow();
  ULONG urbs = port_->Counters().urbs;
  EXPECT_EQ(STATUS_TIMEOUT,
            UsbDoDataTransfer(bus_, bus_->PipeDataIn1, buffer.data(), 48, kTransferIn, &moved));
  EXPECT_EQ(start + 10 * kSecond, hostk::ClockNow());
  EXPECT_EQ(16u, moved);
  EXPECT_EQ(urbs + 2, port_->Counters().urbs);
  EXPECT_EQ(0, buffer[16]);
  ExpectNothingLeft();
}

TEST_F(TransferOutcome, AChainWhoseMiddleChunkFailsStopsThere) {
  UseChunksOf(16);
  int chunks = 0;
  device_->SetHandler(0x01, [&chunks](const std::shared_ptr<kxsim::UsbTransfer>& transfer) {
    if (++chunks == 2) {
      transfer->Fail(USBD_STATUS_DEV_NOT_RESPONDING, 5);
    } else {
      transfer->Complete(transfer->Length());
    }
  });
  std::vector<UCHAR> data(48, 1);
  ULONG moved = 0;
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, data.data(), 48, kTransferOut, &moved));
  EXPECT_EQ(16u, moved);  // the failed chunk's five bytes are not counted as delivered
  EXPECT_EQ(2, chunks);
  ExpectNothingLeft();
}

// A write may carry a second buffer (a frame's payload behind its block): it goes on the same
// request once the first has gone whole, and the caller waits once, ten seconds for each buffer.
// After a first buffer that failed or never ended, nothing of the second goes.
TEST_F(TransferOutcome, ASecondBufferFollowsOnlyAFirstThatWentWhole) {
  UseChunksOf(16);
  std::vector<UCHAR> first(20, 0xB1), second(40, 0xB2);
  ULONG moved = 0;
  EXPECT_EQ(STATUS_SUCCESS, UsbDoDataTransferThen(bus_, bus_->PipeDataOut1, first.data(), 20,
                                                  second.data(), 40, kTransferOut, &moved));
  EXPECT_EQ(60u, moved);
  std::vector<std::vector<uint8_t>> chunks = Script(0x01)->TakeReceived();
  std::vector<size_t> sizes;
  std::vector<uint8_t> wire;
  for (const std::vector<uint8_t>& chunk : chunks) {
    sizes.push_back(chunk.size());
    wire.insert(wire.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ((std::vector<size_t>{16, 4, 16, 16, 8}), sizes);
  std::vector<uint8_t> expected(20, 0xB1);
  expected.resize(60, 0xB2);
  EXPECT_EQ(expected, wire);

  UseChunksOf(64);
  port_->InjectFault(0x01, kxsim::UsbFault::Delay(6 * kSecond).Times(2));
  LONGLONG start = hostk::ClockNow();
  EXPECT_EQ(STATUS_SUCCESS, UsbDoDataTransferThen(bus_, bus_->PipeDataOut1, first.data(), 20,
                                                  second.data(), 40, kTransferOut, &moved));
  EXPECT_GE(hostk::ClockNow() - start, 12 * kSecond);
  EXPECT_EQ(2u, Script(0x01)->TakeReceived().size());

  port_->InjectFault(0x01, kxsim::UsbFault::NoAnswer().Times(1));
  start = hostk::ClockNow();
  EXPECT_EQ(STATUS_TIMEOUT, UsbDoDataTransferThen(bus_, bus_->PipeDataOut1, first.data(), 20,
                                                  second.data(), 40, kTransferOut, &moved));
  EXPECT_EQ(start + 10 * kSecond, hostk::ClockNow());
  EXPECT_EQ(0u, moved);
  EXPECT_TRUE(Script(0x01)->TakeReceived().empty());

  port_->InjectFault(0x01, kxsim::UsbFault::Stall().Times(1));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteChannel1(bus_, first.data(), 20, second.data(), 40));
  EXPECT_EQ(0x2u, bus_->ErrorCode);
  EXPECT_TRUE(Script(0x01)->TakeReceived().empty());
  ASSERT_EQ(STATUS_SUCCESS, UsbResetPipe(bus_, bus_->PipeDataOut1));
  EXPECT_EQ(STATUS_SUCCESS, WriteChannel1(bus_, first.data(), 20, second.data(), 40));
  EXPECT_EQ(2u, Script(0x01)->TakeReceived().size());
  ExpectNothingLeft();
}

// A stack that completes the request with success but fails the URB has not moved the data: the
// synchronous form fails, the channel records its error, the asynchronous form records a failure.
TEST_F(TransferOutcome, AFailedUrbUnderASuccessfulRequestIsAFailure) {
  std::vector<UCHAR> buffer(64);
  ULONG moved = 99;
  port_->InjectFault(0x01, kxsim::UsbFault::Contradict(STATUS_SUCCESS,
                                                       USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, buffer.data(), 64, kTransferOut, &moved));
  EXPECT_EQ(0u, moved);
  ASSERT_EQ(STATUS_SUCCESS, UsbResetPipe(bus_, bus_->PipeDataOut1));
  port_->InjectFault(0x01, kxsim::UsbFault::Contradict(STATUS_SUCCESS,
                                                       USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteChannel1(bus_, buffer.data(), 64));
  EXPECT_EQ(0x2u, bus_->ErrorCode);

  port_->InjectFault(0x81, kxsim::UsbFault::Contradict(STATUS_SUCCESS,
                                                       USBD_STATUS_DEV_NOT_RESPONDING));
  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 64, kTransferIn));
  KeWaitForSingleObject(&bus_->AsyncIdleEvent, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, UsbAsyncTransferResult(bus_, &moved));
  EXPECT_EQ(0u, moved);
  ExpectNothingLeft();
}

// The waiter of an asynchronous receive tells a whole block from a failed or cancelled one.
TEST_F(TransferOutcome, TheAsynchronousReceiveRecordsItsStatusAndByteCount) {
  UseChunksOf(16);
  std::vector<UCHAR> buffer(40);
  ULONG moved = 0;
  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 40, kTransferIn));
  EXPECT_EQ(STATUS_PENDING, UsbAsyncTransferResult(bus_, &moved));
  std::vector<uint8_t> block(40);
  for (size_t i = 0; i < block.size(); i++) block[i] = (uint8_t)i;
  Script(0x81)->QueueIn(block);  // three chunks: 16, 16 and 8 bytes
  KeWaitForSingleObject(&bus_->AsyncIdleEvent, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, UsbAsyncTransferResult(bus_, &moved));
  EXPECT_EQ(40u, moved);
  EXPECT_EQ(block, std::vector<uint8_t>(buffer.begin(), buffer.end()));

  // Cancelled while its second chunk waits for data.
  Script(0x81)->QueueIn(std::vector<uint8_t>(16, 1));
  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 40, kTransferIn));
  while (Script(0x81)->QueuedInCount() != 0 || !Script(0x81)->HasWaitingTransfer()) {
    LARGE_INTEGER tick;
    tick.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
  }
  UsbCancelAsyncTransfer(bus_);
  EXPECT_EQ(STATUS_CANCELLED, UsbAsyncTransferResult(bus_, &moved));
  EXPECT_EQ(0u, moved);

  port_->InjectFault(0x81, kxsim::UsbFault::Stall());
  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 40, kTransferIn));
  KeWaitForSingleObject(&bus_->AsyncIdleEvent, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, UsbAsyncTransferResult(bus_, &moved));
  EXPECT_EQ(0u, moved);
  ExpectNothingLeft();
}

// The stack refuses a reset while a transfer is queued on the pipe: the reset reports failure and
// the register transfer that asked for it still reports its own.
TEST_F(TransferOutcome, AFailingPipeResetIsReported) {
  hostk::TraceCapture trace;
  std::vector<UCHAR> buffer(16);
  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 16, kTransferIn));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, UsbResetPipe(bus_, bus_->PipeDataIn1));
  if (kTestedDriverTraces) {
    EXPECT_TRUE(trace.Contains("UsbResetPipe: status"));
  }
  UsbCancelAsyncTransfer(bus_);

  ASSERT_EQ(STATUS_SUCCESS, UsbDeselectConfiguration(fdo_));  // every handle is closed now
  UCHAR command[4] = {0xDF, 0, 0x90, 0};
  port_->InjectFault(0x0D, kxsim::UsbFault::Stall());
  EXPECT_FALSE(NT_SUCCESS(UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, command, 4, kTransferOut)));
  EXPECT_EQ(0u, device_->ResetCount(0x0D));
  ExpectNothingLeft();
}

}  // namespace
