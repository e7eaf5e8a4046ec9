// The bulk transfer engine over the simulated stack: argument checks, time-outs in virtual time,
// the device-gone latch, halted pipes, chunking, the asynchronous form and its cancellation.
#include <gtest/gtest.h>

#include <vector>

#include "usb_adapter_fixture.h"

namespace {

using kxtest::kSecond;
using kxtest::UsbAdapterFixture;

using BulkTransfer = UsbAdapterFixture;

TEST_F(BulkTransfer, ArgumentsAreCheckedInOrderBeforeAnythingIsSent) {
  Start();
  UCHAR byte = 0;
  EXPECT_EQ(STATUS_INVALID_HANDLE, UsbDoBulkTransfer(bus_, nullptr, nullptr, 0, kTransferOut));
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            UsbDoBulkTransfer(bus_, bus_->PipePciOut, nullptr, 8, kTransferOut));
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            UsbDoBulkTransfer(bus_, bus_->PipePciOut, &byte, 0, kTransferOut));
  SetBusPnpState(bus_, Stopped);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, UsbDoBulkTransfer(bus_, bus_->PipePciOut, &byte, 1, kTransferOut));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, UsbDoDataTransfer(bus_, bus_->PipeDataOut1, &byte, 1, kTransferOut));
  EXPECT_EQ(0u, port_->Counters().transfersCompleted);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(BulkTransfer, MovesDataBothWays) {
  Start();
  UCHAR command[8] = {0xCF, 0, 0, 1, 2, 0, 0, 0x10};
  EXPECT_EQ(STATUS_SUCCESS, UsbDoBulkTransfer(bus_, bus_->PipePciOut, command, 8, kTransferOut));
  EXPECT_EQ(std::vector<uint8_t>(command, command + 8), Script(0x0E)->TakeReceived().at(0));
  Script(0x8E)->QueueIn({1, 2, 3, 4});
  UCHAR result[4] = {};
  EXPECT_EQ(STATUS_SUCCESS, UsbDoBulkTransfer(bus_, bus_->PipePciIn, result, 4, kTransferIn));
  EXPECT_EQ(4, result[3]);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(BulkTransfer, ATransferThatNeverCompletesEndsAfterExactlyTenSeconds) {
  Start();
  hostk::TraceCapture trace;
  UCHAR buffer[4];
  port_->InjectFault(0x8E, kxsim::UsbFault::NoAnswer());
  LONGLONG start = hostk::ClockNow();
  EXPECT_EQ(STATUS_CANCELLED, UsbDoBulkTransfer(bus_, bus_->PipePciIn, buffer, 4, kTransferIn));
  EXPECT_EQ(start + 10 * kSecond, hostk::ClockNow());
  EXPECT_TRUE(trace.Contains("UsbDoBulkTransfer: timeout\n"));
  EXPECT_EQ(0u, port_->PendingCount(0x8E));  // cancelled, and its completion awaited

  port_->InjectFault(0x81, kxsim::UsbFault::NoAnswer());
  start = hostk::ClockNow();
  EXPECT_EQ(STATUS_TIMEOUT, UsbDoDataTransfer(bus_, bus_->PipeDataIn1, buffer, 4, kTransferIn));
  EXPECT_EQ(start + 10 * kSecond, hostk::ClockNow());
  EXPECT_TRUE(trace.Contains("UsbDoDataTransfer: timeout\n"));
  EXPECT_FALSE(IsDeviceGone(bus_));
  EXPECT_EQ(1, bus_->OutstandingIo);
}

// A device that stops answering holds neither the bridge register path nor a descriptor read for
// ever: both give up after 10 seconds, cancel their request and wait for it to come back.
TEST_F(BulkTransfer, TheRegisterPathAndDescriptorReadsGiveUpOnADeviceThatNeverAnswers) {
  Start();
  UCHAR command[4] = {0xDF, 0, 0x90, 0};
  port_->InjectFault(0x0D, kxsim::UsbFault::NoAnswer().Times(1));
  LONGLONG start = hostk::ClockNow();
  EXPECT_EQ(STATUS_CANCELLED,
            UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, command, 4, kTransferOut));
  EXPECT_EQ(start + 10 * kSecond, hostk::ClockNow());
  EXPECT_EQ(0u, port_->PendingCount(0x0D));

  port_->InjectFault(0x00, kxsim::UsbFault::NoAnswer().Times(1));
  start = hostk::ClockNow();
  EXPECT_NE(STATUS_SUCCESS, ConfigureDevice(fdo_));
  EXPECT_EQ(start + 10 * kSecond, hostk::ClockNow());
  EXPECT_EQ(0u, port_->PendingCount(0x00));
}

TEST_F(BulkTransfer, LargeDataGoesOutInChunksOfTheTransferSizeOnOneRequest) {
  Start();
  std::vector<UCHAR> data(0x180000);
  for (size_t i = 0; i < data.size(); i++) data[i] = (UCHAR)(i * 7);
  ULONG urbsBefore = port_->Counters().urbs;
  EXPECT_EQ(STATUS_SUCCESS,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, data.data(), (ULONG)data.size(),
                              kTransferOut));
  auto chunks = Script(0x01)->TakeReceived();
  ASSERT_EQ(2u, chunks.size());
  EXPECT_EQ(0xFF000u, chunks[0].size());
  EXPECT_EQ(0x81000u, chunks[1].size());
  EXPECT_TRUE(std::equal(chunks[0].begin(), chunks[0].end(), data.begin()));
  EXPECT_TRUE(std::equal(chunks[1].begin(), chunks[1].end(), data.begin() + 0xFF000));
  EXPECT_EQ(urbsBefore + 2, port_->Counters().urbs);
  EXPECT_EQ(0u, hostk::IoLiveIrpCount());
}

TEST_F(BulkTransfer, AGoneDeviceLatchesAndLaterTransfersAreRefusedAtOnce) {
  Start();
  UCHAR buffer[8] = {};
  port_->InjectFault(0x0E, kxsim::UsbFault::DeviceGone());
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED,
            UsbDoBulkTransfer(bus_, bus_->PipePciOut, buffer, 8, kTransferOut));
  EXPECT_TRUE(IsDeviceGone(bus_));
  ULONG urbs = port_->Counters().urbs;
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            UsbDoBulkTransfer(bus_, bus_->PipePciOut, buffer, 8, kTransferOut));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, buffer, 8, kTransferOut));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer, 8, kTransferIn));
  EXPECT_EQ(urbs, port_->Counters().urbs);
  // The register path still reaches the stack.
  port_->ClearAllFaults();
  EXPECT_EQ(STATUS_SUCCESS, UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, buffer, 8, kTransferOut));
}

TEST_F(BulkTransfer, AUsbdDeviceGoneStatusAlsoLatches) {
  Start();
  UCHAR buffer[8] = {};
  port_->InjectFault(0x01, kxsim::UsbFault::DeviceGone(STATUS_UNSUCCESSFUL).Times(1));
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, buffer, 8, kTransferOut));
  EXPECT_TRUE(IsDeviceGone(bus_));
}

TEST_F(BulkTransfer, AStalledRegisterPipeIsResetOnceButAGoneOneIsNot) {
  Start();
  UCHAR command[4] = {0xDF, 0, 0x90, 0};
  port_->InjectFault(0x0D, kxsim::UsbFault::Stall());
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, command, 4, kTransferOut));
  EXPECT_EQ(1u, device_->ResetCount(0x0D));
  EXPECT_FALSE(port_->IsHalted(0x0D));
  EXPECT_EQ(STATUS_SUCCESS, UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, command, 4, kTransferOut));

  port_->InjectFault(0x0D, kxsim::UsbFault::FailAfter(0, USBD_STATUS_DEVICE_GONE).Times(1));
  UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, command, 4, kTransferOut);
  EXPECT_EQ(1u, device_->ResetCount(0x0D));
  EXPECT_FALSE(IsDeviceGone(bus_));  // the register path neither checks nor sets the latch
}

TEST_F(BulkTransfer, RegisterPathRefusesAbovePassiveLevel) {
  Start();
  UCHAR command[4] = {};
  KIRQL irql;
  KeRaiseIrql(APC_LEVEL, &irql);
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, command, 4, kTransferOut));
  KeLowerIrql(irql);
}

TEST_F(BulkTransfer, AnAsynchronousReceiveCompletesOrIsCancelled) {
  Start();
  UsbCancelAsyncTransfer(bus_);  // nothing in flight: returns at once
  std::vector<UCHAR> buffer(1024);
  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 1024, kTransferIn));
  EXPECT_EQ(0, KeReadStateEvent(&bus_->AsyncIdleEvent));
  EXPECT_EQ(2, bus_->OutstandingIo);
  Script(0x81)->QueueIn(std::vector<uint8_t>(1024, 0x5A));
  KeWaitForSingleObject(&bus_->AsyncIdleEvent, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(0x5A, buffer[1023]);
  EXPECT_EQ(nullptr, bus_->AsyncTransferIrp);

  ASSERT_EQ(STATUS_SUCCESS,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer.data(), 1024, kTransferIn));
  UsbCancelAsyncTransfer(bus_);
  EXPECT_EQ(1, KeReadStateEvent(&bus_->AsyncIdleEvent));
  EXPECT_EQ(nullptr, bus_->AsyncTransferIrp);
  EXPECT_EQ(0u, port_->PendingCount(0x81));
  // The completion drops its reference just after it signals the waiter.
  LARGE_INTEGER moment;
  moment.QuadPart = -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &moment);
  EXPECT_EQ(1, InterlockedCompareExchange(&bus_->OutstandingIo, 0, 0));
  EXPECT_EQ(0u, hostk::IoLiveIrpCount());
}

TEST_F(BulkTransfer, AllocationFailuresLeaveNoReferenceAndNothingAllocated) {
  Start();
  // "200M" is also the registry path copy's tag: count what the transfers leave on top of it.
  size_t baseline = hostk::PoolLiveCount(kTagTransfer);
  UCHAR buffer[8] = {};
  hostk::PoolFailTag(kTagTransfer);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            UsbDoBulkTransfer(bus_, bus_->PipePciOut, buffer, 8, kTransferOut));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            UsbDoBulkTransfer_2(bus_, bus_->PipeCsrOut, buffer, 8, kTransferOut));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, UsbResetPipe(bus_, bus_->PipeCsrOut));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, buffer, 8, kTransferOut));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer, 8, kTransferIn));
  hostk::PoolClearFaults();
  hostk::PoolFailNth(2);  // the chunk context's URB, after the context
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            UsbDoDataTransfer(bus_, bus_->PipeDataOut1, buffer, 8, kTransferOut));
  hostk::PoolClearFaults();
  for (int form = 0; form < 3; form++) {
    hostk::IoFailIrpAllocation(1);
    NTSTATUS status =
        form == 0 ? UsbDoBulkTransfer(bus_, bus_->PipePciOut, buffer, 8, kTransferOut)
        : form == 1 ? UsbDoDataTransfer(bus_, bus_->PipeDataOut1, buffer, 8, kTransferOut)
                    : UsbDoBulkTransferAsync(bus_, bus_->PipeDataIn1, buffer, 8, kTransferIn);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << form;
  }
  EXPECT_EQ(1, bus_->OutstandingIo);
  EXPECT_EQ(baseline, hostk::PoolLiveCount(kTagTransfer));
}

TEST(UsbStatusName, NamesTheStackStatusesByTheirMaskedValue) {
  EXPECT_STREQ("USBD_STATUS_STALL_PID", UsbStatusName((USBD_STATUS)0xC0000004));
  EXPECT_STREQ("USBD_STATUS_ENDPOINT_HALTED", UsbStatusName((USBD_STATUS)0xC0000030));
  EXPECT_STREQ("USBD_STATUS_CANCELED", UsbStatusName(USBD_STATUS_CANCELED));
  EXPECT_STREQ("USBD_STATUS_SUCCESS", UsbStatusName(USBD_STATUS_SUCCESS));
  EXPECT_STREQ("(USBD status unknown)", UsbStatusName((USBD_STATUS)0x8000000E));
  EXPECT_STREQ("(USBD status unknown)", UsbStatusName(USBD_STATUS_DEVICE_GONE));
}

}  // namespace
