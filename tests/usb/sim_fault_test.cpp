// Faults injected per endpoint of the simulated stack, and a device that leaves the bus.
#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::UsbFault;

class UsbFaults : public UsbPortTest {
 protected:
  void SetUp() override {
    Open();
    ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  }
};

TEST_F(UsbFaults, StallHaltsThePipeUntilItIsReset) {
  port_->InjectFault(0x0D, UsbFault::Stall());
  uint8_t command[4] = {1, 2, 3, 4};
  ULONG moved = 99;
  USBD_STATUS urbStatus;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Bulk(0x0D, command, 4, &moved, &urbStatus));
  EXPECT_EQ(USBD_STATUS_STALL_PID, urbStatus);
  EXPECT_TRUE(USBD_HALTED(urbStatus));
  EXPECT_EQ(0u, moved);
  EXPECT_EQ(0u, Script(0x0D).ReceivedCount());
  EXPECT_TRUE(port_->IsHalted(0x0D));

  AsyncUrb held(Pdo());
  held.BuildBulk(Pipe(0x0D), command, 4, 0);
  ASSERT_EQ(STATUS_PENDING, held.Send());
  EXPECT_FALSE(held.Wait(kSecond));  // the halted pipe moves nothing
  held.Cancel();
  ASSERT_TRUE(held.Wait());

  ASSERT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x0D)));
  EXPECT_EQ(1u, port_->Counters().pipeResets);
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x0D, command, 4, &moved));
  EXPECT_EQ(1u, Script(0x0D).ReceivedCount());
}

TEST_F(UsbFaults, ResetOfAnUnknownPipeIsAnInvalidHandle) {
  USBD_STATUS urbStatus;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                                  (USBD_PIPE_HANDLE)(ULONG_PTR)0x1234, &urbStatus));
  EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urbStatus);
}

TEST_F(UsbFaults, NoAnswerHoldsTheTransferUntilItIsCancelled) {
  port_->InjectFault(0x0E, UsbFault::NoAnswer().Times(1));
  uint8_t word[4] = {};
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x0E), word, 4, 0);
  LONGLONG start = hostk::ClockNow();
  ASSERT_EQ(STATUS_PENDING, request.Send());
  EXPECT_FALSE(request.Wait(10 * kSecond));
  EXPECT_EQ(10 * kSecond, hostk::ClockNow() - start);  // virtual time, at no cost
  EXPECT_EQ(0u, Script(0x0E).ReceivedCount());
  EXPECT_TRUE(request.Cancel());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_CANCELLED, request.status);
  EXPECT_FALSE(port_->IsHalted(0x0E));
  // The fault had one use: the next transfer goes through.
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x0E, word, 4));
}

TEST_F(UsbFaults, DeviceGoneReportsTheChosenStatus) {
  port_->InjectFault(0x01, UsbFault::DeviceGone());
  port_->InjectFault(0x02, UsbFault::DeviceGone(STATUS_NO_SUCH_DEVICE));
  uint8_t byte = 0;
  USBD_STATUS urbStatus;
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, Bulk(0x01, &byte, 1, nullptr, &urbStatus));
  EXPECT_EQ(USBD_STATUS_DEVICE_GONE, urbStatus);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Bulk(0x02, &byte, 1, nullptr, &urbStatus));
  EXPECT_EQ(USBD_STATUS_DEVICE_GONE, urbStatus);
  EXPECT_FALSE(port_->IsHalted(0x01));
  port_->ClearFaults(0x01);
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, &byte, 1));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, Bulk(0x02, &byte, 1));
}

TEST_F(UsbFaults, ShortLimitsWhatAnInEndpointSends) {
  port_->InjectFault(0x81, UsbFault::Short(100));
  Script(0x81).QueueIn(std::vector<uint8_t>(512, 0x33));
  std::vector<uint8_t> buffer(512);
  ULONG moved = 0;
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x81, buffer.data(), 512, &moved));
  EXPECT_EQ(100u, moved);
  port_->ClearAllFaults();
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x81, buffer.data(), 512, &moved));
  EXPECT_EQ(412u, moved);  // the device still had the rest
}

TEST_F(UsbFaults, FailAfterMovesSomeBytesThenFailsAndHalts) {
  port_->InjectFault(0x01, UsbFault::FailAfter(300));
  std::vector<uint8_t> data(1000, 0x44);
  ULONG moved = 0;
  USBD_STATUS urbStatus;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Bulk(0x01, data.data(), 1000, &moved, &urbStatus));
  EXPECT_EQ(USBD_STATUS_DEV_NOT_RESPONDING, urbStatus);
  EXPECT_EQ(300u, moved);
  ASSERT_EQ(1u, Script(0x01).ReceivedCount());
  EXPECT_EQ(300u, Script(0x01).Received()[0].size());
  EXPECT_TRUE(port_->IsHalted(0x01));
}

TEST_F(UsbFaults, FailAfterBeyondTheLengthChangesNothing) {
  port_->InjectFault(0x01, UsbFault::FailAfter(64));
  uint8_t data[64] = {};
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, data, 64));
}

TEST_F(UsbFaults, DelayPostponesTheAnswerOnTheHostClock) {
  port_->InjectFault(0x02, UsbFault::Delay(50 * kMillisecond));
  uint8_t byte = 0;
  LONGLONG start = hostk::ClockNow();
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x02, &byte, 1));
  EXPECT_EQ(50 * kMillisecond, hostk::ClockNow() - start);
}

TEST_F(UsbFaults, ADelayedTransferCanStillBeCancelled) {
  port_->InjectFault(0x02, UsbFault::Delay(kSecond));
  uint8_t byte = 0;
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x02), &byte, 1, 0);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  EXPECT_FALSE(request.Wait(10 * kMillisecond));
  EXPECT_TRUE(request.Cancel());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_CANCELLED, request.status);
}

TEST_F(UsbFaults, ControlEndpointFaultsReachDescriptorReads) {
  port_->InjectFault(0x00, UsbFault::NoAnswer().Times(1));
  uint8_t descriptor[18];
  AsyncUrb read(Pdo());
  read.BuildDescriptorRead(USB_DEVICE_DESCRIPTOR_TYPE, 0, descriptor, 18);
  ASSERT_EQ(STATUS_PENDING, read.Send());
  EXPECT_FALSE(read.Wait(kSecond));
  EXPECT_EQ(1u, port_->PendingCount(0x00));
  read.Cancel();
  ASSERT_TRUE(read.Wait());
  EXPECT_EQ(STATUS_CANCELLED, read.status);

  port_->InjectFault(0x00, UsbFault::Stall());
  NTSTATUS status;
  USBD_STATUS urbStatus;
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &status, &urbStatus);
  EXPECT_EQ(USBD_STATUS_STALL_PID, urbStatus);
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &status, &urbStatus);
  EXPECT_EQ(STATUS_SUCCESS, status);
}

TEST_F(UsbFaults, UnplugFailsWhatIsQueuedAndEveryLaterUrb) {
  uint8_t buffer[8];
  AsyncUrb waiting(Pdo());
  waiting.BuildBulk(Pipe(0x81), buffer, 8, USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, waiting.Send());
  Sleep(kMillisecond);
  port_->Unplug(STATUS_NO_SUCH_DEVICE);
  ASSERT_TRUE(waiting.Wait());
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, waiting.status);
  EXPECT_EQ(USBD_STATUS_DEVICE_GONE, waiting.urb.UrbHeader.Status);
  EXPECT_FALSE(Script(0x81).HasWaitingTransfer());

  AsyncUrb later(Pdo());
  later.BuildBulk(Pipe(0x01), buffer, 8, 0);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, later.Send());
  EXPECT_TRUE(later.Done());
  NTSTATUS status;
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &status);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, status);
}

}  // namespace
}  // namespace kxtest
