// Bulk and interrupt transfers through the simulated stack: queued per endpoint, completed on the
// host controller's thread at DISPATCH_LEVEL, cancellable, with the URB rules of the platform.
#include <algorithm>
#include <numeric>

#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterUsbOptions;
using kxsim::UsbPortOptions;

std::vector<uint8_t> Pattern(size_t size, uint8_t first = 1) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

class UsbTransfers : public UsbPortTest {
 protected:
  void OpenConfigured(AdapterUsbOptions options = {}, UsbPortOptions portOptions = {},
                      ULONG maxTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) {
    Open(options, portOptions);
    ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration(0, maxTransferSize));
  }
};

TEST_F(UsbTransfers, OutTransferPendsThenCompletesAtDispatchOnTheHostController) {
  OpenConfigured();
  std::vector<uint8_t> data = Pattern(100);
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x01), data.data(), 100, USBD_TRANSFER_DIRECTION_OUT);
  EXPECT_EQ(STATUS_PENDING, request.Send());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_SUCCESS, request.status);
  EXPECT_EQ(USBD_STATUS_SUCCESS, request.urb.UrbHeader.Status);
  EXPECT_EQ(100u, request.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(DISPATCH_LEVEL, request.completionIrql);
  EXPECT_NE(KeGetCurrentThread(), request.completionThread);
  EXPECT_TRUE(request.pendingReturned);
  EXPECT_EQ(std::vector<std::vector<uint8_t>>{data}, Script(0x01).Received());
  EXPECT_EQ(1u, port_->Counters().transfersCompleted);
  EXPECT_EQ(100u, port_->Counters().bytesOut);
}

TEST_F(UsbTransfers, InTransferWaitsForTheDeviceAndTakesItsAnswerInPieces) {
  OpenConfigured();
  std::vector<uint8_t> buffer(512);
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x81), buffer.data(), 512,
                    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  EXPECT_FALSE(request.Wait(kSecond));  // the device NAKs: nothing to send yet
  EXPECT_TRUE(Script(0x81).HasWaitingTransfer());
  EXPECT_EQ(USBD_STATUS_PENDING, request.urb.UrbHeader.Status);

  std::vector<uint8_t> answer = Pattern(700);
  Script(0x81).QueueIn(answer);
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_SUCCESS, request.status);
  ASSERT_EQ(512u, request.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(std::vector<uint8_t>(answer.begin(), answer.begin() + 512), buffer);

  ULONG moved = 0;
  ASSERT_EQ(STATUS_SUCCESS, Bulk(0x81, buffer.data(), 512, &moved));
  ASSERT_EQ(188u, moved);  // the rest of the answer, ended by its short packet
  EXPECT_EQ(answer[512], buffer[0]);
  EXPECT_EQ(700u, port_->Counters().bytesIn);
}

TEST_F(UsbTransfers, TransfersOfOneEndpointCompleteInOrder) {
  OpenConfigured();
  std::vector<std::unique_ptr<AsyncUrb>> requests;
  std::vector<std::vector<uint8_t>> data;
  for (uint8_t i = 0; i < 4; i++) data.push_back(Pattern(10 + i, i));
  for (auto& bytes : data) {
    requests.push_back(std::make_unique<AsyncUrb>(Pdo()));
    requests.back()->BuildBulk(Pipe(0x03), bytes.data(), (ULONG)bytes.size(), 0);
    ASSERT_EQ(STATUS_PENDING, requests.back()->Send());
  }
  for (auto& request : requests) ASSERT_TRUE(request->Wait());
  EXPECT_EQ(data, Script(0x03).Received());
}

// A client sending a large buffer in chunks from its completion routine, as drivers do.
struct ChunkedSend {
  PDEVICE_OBJECT pdo;
  USBD_PIPE_HANDLE pipe;
  PUCHAR next;
  ULONG remaining;
  ULONG chunk;
  URB urb;
  KEVENT done;
  std::vector<KIRQL> irqls;

  void SendNext(PIRP irp) {
    ULONG length = std::min(chunk, remaining);
    UsbBuildInterruptOrBulkTransferRequest(
        &urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe, next, nullptr, length,
        0, nullptr);
    next += length;
    remaining -= length;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    stack->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
    IoCallDriver(pdo, irp);
  }

  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    ChunkedSend* self = (ChunkedSend*)context;
    self->irqls.push_back(KeGetCurrentIrql());
    if (NT_SUCCESS(irp->IoStatus.Status) && self->remaining > 0) {
      self->SendNext(irp);
    } else {
      KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

TEST_F(UsbTransfers, ACompletionRoutineMaySendTheNextChunkAtDispatchLevel) {
  OpenConfigured({}, {}, 100);
  std::vector<uint8_t> data = Pattern(250);
  ChunkedSend send = {Pdo(), Pipe(0x01), data.data(), 250, 100, {}, {}, {}};
  KeInitializeEvent(&send.done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(Pdo()->StackSize, FALSE);
  send.SendNext(irp);
  KeWaitForSingleObject(&send.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, irp->IoStatus.Status);
  EXPECT_EQ((std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL, DISPATCH_LEVEL}), send.irqls);
  std::vector<std::vector<uint8_t>> received = Script(0x01).Received();
  ASSERT_EQ(3u, received.size());
  EXPECT_EQ(50u, received[2].size());
  std::vector<uint8_t> joined;
  for (const auto& chunk : received) joined.insert(joined.end(), chunk.begin(), chunk.end());
  EXPECT_EQ(data, joined);
  IoFreeIrp(irp);
}

TEST_F(UsbTransfers, ShortInAnswerWithoutShortTransferOkFailsAndHaltsThePipe) {
  OpenConfigured();
  Script(0x82).QueueIn(Pattern(10));
  std::vector<uint8_t> buffer(64);
  ULONG moved = 0;
  USBD_STATUS urbStatus;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Bulk(0x82, buffer.data(), 64, &moved, &urbStatus, 0));
  EXPECT_EQ(USBD_STATUS_ERROR_SHORT_TRANSFER, urbStatus);
  EXPECT_EQ(10u, moved);
  EXPECT_TRUE(port_->IsHalted(0x82));

  // The halted pipe holds the next transfer, and cannot be reset while it waits.
  Script(0x82).QueueIn(Pattern(64));
  AsyncUrb held(Pdo());
  held.BuildBulk(Pipe(0x82), buffer.data(), 64, USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, held.Send());
  EXPECT_FALSE(held.Wait(kSecond));
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x82), &urbStatus));
  EXPECT_EQ(USBD_STATUS_ERROR_BUSY, urbStatus);
  EXPECT_TRUE(held.Cancel());
  ASSERT_TRUE(held.Wait());
  EXPECT_EQ(STATUS_CANCELLED, held.status);

  EXPECT_EQ(STATUS_SUCCESS,
            PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x82), &urbStatus));
  EXPECT_EQ(USBD_STATUS_SUCCESS, urbStatus);
  EXPECT_FALSE(port_->IsHalted(0x82));
  EXPECT_EQ(1u, device_->ResetCount(0x82));
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x82, buffer.data(), 64, &moved));
  EXPECT_EQ(64u, moved);
}

TEST_F(UsbTransfers, EhciRuleIgnoresTheShortTransferFlag) {
  UsbPortOptions portOptions;
  portOptions.shortPackets = kxsim::ShortPacketRule::Ignore;
  OpenConfigured({}, portOptions);
  Script(0x82).QueueIn(Pattern(10));
  std::vector<uint8_t> buffer(64);
  ULONG moved = 0;
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x82, buffer.data(), 64, &moved, nullptr, 0));
  EXPECT_EQ(10u, moved);
  EXPECT_FALSE(port_->IsHalted(0x82));
}

TEST_F(UsbTransfers, TheEndpointDecidesTheDirection) {
  OpenConfigured();
  Script(0x83).QueueIn({1, 2, 3});
  std::vector<uint8_t> buffer(3);
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(
      &urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe(0x83), buffer.data(),
      nullptr, 3, USBD_TRANSFER_DIRECTION_OUT, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitUrbSync(Pdo(), &urb));
  EXPECT_EQ((ULONG)USBD_TRANSFER_DIRECTION_IN,
            urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), buffer);
}

TEST_F(UsbTransfers, TheMdlWinsOverTheBuffer) {
  OpenConfigured();
  std::vector<uint8_t> ignored(32, 0xEE);
  auto pool = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, 32, hostk::PoolTag("Test"));
  for (int i = 0; i < 32; i++) pool[i] = (UCHAR)i;
  PMDL mdl = IoAllocateMdl(pool, 32, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x04), ignored.data(), 32, 0, mdl);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_SUCCESS, request.status);
  EXPECT_EQ(std::vector<uint8_t>(pool, pool + 32), Script(0x04).Received().at(0));
  IoFreeMdl(mdl);
  ExFreePool(pool);
}

TEST_F(UsbTransfers, AnInMdlOverUserMemoryReceivesTheData) {
  OpenConfigured();
  hostk::UserBuffer user(300, true, true, 0xF80);  // crosses a page
  PMDL mdl = IoAllocateMdl(user.Data(), 300, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  std::vector<uint8_t> answer = Pattern(300, 9);
  Script(0x84).QueueIn(answer);
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x84), nullptr, 300, USBD_TRANSFER_DIRECTION_IN, mdl);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_SUCCESS, request.status);
  EXPECT_EQ(answer, std::vector<uint8_t>(user.Data(), user.Data() + 300));
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

// The host controller reaches a plain transfer buffer from its own thread: a client's user address
// there is reported (an MDL's system address is the way to hand it over), as one the request
// already came with.
TEST_F(UsbTransfers, AUserAddressAsTheTransferBufferIsReported) {
  OpenConfigured();
  hostk::UserBuffer user(32);
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x04), user.Data(), 32, 0);
  EXPECT_DEATH(
      {
        request.Send();
        request.Wait();
      },
      "USB transfer buffer.*with this user address.*client process.*usb host controller");
}

// A buffer given back while its request waits behind another, or while the device has it, may be
// someone else's memory by the time the controller touches it: either is stopped.
TEST_F(UsbTransfers, ABufferFreedBeforeItsTransferStartsOrEndsIsReported) {
  OpenConfigured();
  const ULONG tag = hostk::PoolTag("TEST");
  std::vector<uint8_t> head(16);
  auto* queued = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 256, tag);
  AsyncUrb first(Pdo());
  AsyncUrb second(Pdo());
  first.BuildBulk(Pipe(0x81), head.data(), 16, 0);
  second.BuildBulk(Pipe(0x81), queued, 256, 0);
  EXPECT_DEATH(
      {
        first.Send();  // nothing to read: the device holds it, the second waits behind it
        first.Wait(kSecond);
        second.Send();
        ExFreePoolWithTag(queued, tag);
        first.Cancel();
        second.Wait();
      },
      "USB transfer buffer of endpoint 0x81.*256 bytes.*pool block.*tag TEST.*was freed before "
      "the transfer started");
  EXPECT_DEATH(
      {
        second.Send();
        second.Wait(kSecond);  // the device holds it
        ExFreePoolWithTag(queued, tag);
        second.Cancel();
        second.Wait();
      },
      "pool block.*was freed before the transfer ended");
  ExFreePoolWithTag(queued, tag);
}

// The host controller works at DISPATCH_LEVEL: paged pool handed over by address must be locked
// for the transfer, as a pageable frame buffer is by its MDL.
TEST_F(UsbTransfers, PagedPoolMustBeLockedForATransfer) {
  OpenConfigured();
  const ULONG tag = hostk::PoolTag("TEST");
  auto* paged = (UCHAR*)ExAllocatePoolWithTag(PagedPool, 4096, tag);
  ASSERT_NE(nullptr, paged);
  memset(paged, 0x77, 4096);
  PMDL mdl = IoAllocateMdl(paged, 4096, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, mdl);
  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, paged + 100, 1000));
  EXPECT_EQ(std::vector<uint8_t>(1000, 0x77), Script(0x01).Received().back());
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  EXPECT_DEATH(Bulk(0x01, paged, 16), "paged pool at .* whose pages are not locked");
  ExFreePoolWithTag(paged, tag);
  // Non-paged pool needs no lock.
  auto* resident = (UCHAR*)ExAllocatePoolWithTag(NonPagedPoolNx, 64, tag);
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, resident, 64));
  ExFreePoolWithTag(resident, tag);
}

TEST_F(UsbTransfers, ZeroLengthTransfersAreAllowed) {
  OpenConfigured();
  ULONG moved = 99;
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, nullptr, 0, &moved));
  EXPECT_EQ(0u, moved);
  EXPECT_EQ(std::vector<std::vector<uint8_t>>{{}}, Script(0x01).Received());

  Script(0x81).QueueIn({});  // a zero-length packet
  uint8_t buffer[8];
  moved = 99;
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x81, buffer, sizeof buffer, &moved));
  EXPECT_EQ(0u, moved);
}

TEST_F(UsbTransfers, BadRequestsFailAtOnce) {
  OpenConfigured({}, {}, 0x1000);
  std::vector<uint8_t> buffer(0x1001);
  AsyncUrb tooLong(Pdo());
  tooLong.BuildBulk(Pipe(0x01), buffer.data(), 0x1001, 0);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, tooLong.Send());
  EXPECT_EQ(USBD_STATUS_INVALID_PARAMETER, tooLong.urb.UrbHeader.Status);
  EXPECT_EQ(0u, tooLong.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_TRUE(tooLong.Done());

  AsyncUrb noBuffer(Pdo());
  noBuffer.BuildBulk(Pipe(0x01), nullptr, 16, 0);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, noBuffer.Send());

  AsyncUrb shortHeader(Pdo());
  shortHeader.BuildBulk(Pipe(0x01), buffer.data(), 16, 0);
  shortHeader.urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, shortHeader.Send());
  EXPECT_EQ(0u, Script(0x01).ReceivedCount());

  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, buffer.data(), 0x1000));
}

TEST_F(UsbTransfers, InterruptEndpointsQueueLikeBulkOnes) {
  AdapterUsbOptions options;
  options.MakeInterrupt(0x81, 8);
  OpenConfigured(options);
  uint8_t buffer[4];
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x81), buffer, 4, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  Script(0x81).QueueIn({0xAA, 0xBB});
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(2u, request.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(0xAA, buffer[0]);
}

TEST_F(UsbTransfers, CancelledTransferCompletesLaterOnTheHostController) {
  OpenConfigured();
  uint8_t buffer[64];
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x81), buffer, 64, USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  EXPECT_FALSE(request.Wait(kMillisecond));
  EXPECT_TRUE(request.Cancel());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_CANCELLED, request.status);
  EXPECT_EQ(USBD_STATUS_CANCELED, request.urb.UrbHeader.Status);
  EXPECT_EQ(0u, request.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(DISPATCH_LEVEL, request.completionIrql);
  EXPECT_NE(KeGetCurrentThread(), request.completionThread);
  EXPECT_FALSE(Script(0x81).HasWaitingTransfer());

  // The device's next answer is not lost with the cancelled transfer.
  Script(0x81).QueueIn({42});
  ULONG moved = 0;
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x81, buffer, 64, &moved));
  EXPECT_EQ(1u, moved);
  EXPECT_EQ(42, buffer[0]);
}

TEST_F(UsbTransfers, CancellingAQueuedTransferLeavesTheOneAhead) {
  OpenConfigured();
  uint8_t first[8], second[8];
  AsyncUrb ahead(Pdo()), behind(Pdo());
  ahead.BuildBulk(Pipe(0x82), first, 8, USBD_SHORT_TRANSFER_OK);
  behind.BuildBulk(Pipe(0x82), second, 8, USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, ahead.Send());
  ASSERT_EQ(STATUS_PENDING, behind.Send());
  EXPECT_EQ(2u, port_->PendingCount(0x82));
  EXPECT_TRUE(behind.Cancel());
  ASSERT_TRUE(behind.Wait());
  EXPECT_EQ(STATUS_CANCELLED, behind.status);
  EXPECT_FALSE(ahead.Done());
  Script(0x82).QueueIn({1});
  ASSERT_TRUE(ahead.Wait());
  EXPECT_EQ(STATUS_SUCCESS, ahead.status);
  EXPECT_EQ(0u, port_->PendingCount());
}

TEST_F(UsbTransfers, ARequestCancelledBeforeItArrivesNeverReachesTheDevice) {
  OpenConfigured();
  uint8_t byte = 1;
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x01), &byte, 1, 0);
  EXPECT_EQ(STATUS_PENDING, request.Send(true));
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_CANCELLED, request.status);
  EXPECT_EQ(0u, Script(0x01).ReceivedCount());
}

TEST_F(UsbTransfers, AbortPipeCancelsEveryTransferOfThePipe) {
  OpenConfigured();
  uint8_t buffers[3][8];
  std::vector<std::unique_ptr<AsyncUrb>> requests;
  for (auto& buffer : buffers) {
    requests.push_back(std::make_unique<AsyncUrb>(Pdo()));
    requests.back()->BuildBulk(Pipe(0x8D), buffer, 8, USBD_SHORT_TRANSFER_OK);
    ASSERT_EQ(STATUS_PENDING, requests.back()->Send());
  }
  EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(0x8D)));
  for (auto& request : requests) {
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(STATUS_CANCELLED, request->status);
  }
  EXPECT_FALSE(port_->IsHalted(0x8D));
  EXPECT_FALSE(Script(0x8D).HasWaitingTransfer());
}

TEST_F(UsbTransfers, DeselectionCancelsTransfersOnTheClosedPipes) {
  OpenConfigured();
  uint8_t buffer[8];
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x8E), buffer, 8, USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  ASSERT_EQ(STATUS_SUCCESS, Deconfigure());
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_CANCELLED, request.status);
}

TEST_F(UsbTransfers, ADeviceMayAnswerFromAnotherThreadLater) {
  OpenConfigured();
  std::shared_ptr<kxsim::UsbTransfer> kept;
  device_->SetHandler(
      0x8D, [&kept](const std::shared_ptr<kxsim::UsbTransfer>& transfer) { kept = transfer; });
  uint8_t buffer[16];
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x8D), buffer, 16, USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, request.Send());
  Sleep(5 * kMillisecond);
  ASSERT_NE(nullptr, kept);
  EXPECT_EQ(16u, kept->Length());
  EXPECT_TRUE(kept->IsIn());
  {
    SystemThread answerer([&kept] {
      const uint8_t reply[] = {9, 8, 7};
      EXPECT_TRUE(kept->CompleteIn(reply, sizeof reply));
      EXPECT_FALSE(kept->CompleteIn(reply, sizeof reply));  // one answer only
    });
  }
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(3u, request.urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  EXPECT_EQ(9, buffer[0]);
}

TEST_F(UsbTransfers, AnAnswerLargerThanTheBufferIsBabble) {
  OpenConfigured();
  device_->SetHandler(0x8E, [](const std::shared_ptr<kxsim::UsbTransfer>& transfer) {
    std::vector<uint8_t> reply = Pattern(transfer->Length() + 1);
    transfer->CompleteIn(reply.data(), reply.size());
  });
  uint8_t buffer[8];
  ULONG moved = 0;
  USBD_STATUS urbStatus;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Bulk(0x8E, buffer, 8, &moved, &urbStatus));
  EXPECT_EQ(USBD_STATUS_DATA_OVERRUN, urbStatus);
  EXPECT_EQ(8u, moved);
  EXPECT_TRUE(port_->IsHalted(0x8E));
}

}  // namespace
}  // namespace kxtest
