// Requests the path completes at once, with nothing passed down: handles that are no transfer
// set, an adapter that is not started or has no data pipes, buffers the I/O manager refuses, and
// every allocation that can fail.
#include "read_write_fixture.h"

#include "host/hostk/user_memory.h"
#include "sim/usb/usb_fault.h"

namespace kxtest {
namespace {

// Both directions on `handle` answer `expected` with no byte counted, and nothing reaches the
// channel's endpoints or engine.
void ExpectRefused(hostk::Client* client, kxsim::VirtualAdapter* adapter,
                   HANDLE handle, NTSTATUS expected, ULONG length = 16) {
  hostk::UserBuffer buffer(length == 0 ? 1 : length);
  for (bool in : {true, false}) {
    SCOPED_TRACE(in ? "read" : "write");
    ULONG_PTR information = 0xDEAD;
    NTSTATUS status = in ? client->Read(handle, buffer.Data(), length, &information)
                         : client->Write(handle, buffer.Data(), length, &information);
    EXPECT_EQ(expected, status);
    EXPECT_EQ(0u, information);
  }
  for (int channel = 1; channel <= 4; channel++) {
    EXPECT_TRUE(adapter->TakeReceived((UCHAR)channel).empty());
    EXPECT_EQ(0u, adapter->Dma(channel).starts);
  }
}

TEST_F(ReadWrite, OnlyTransferSetHandlesOfAStartedAdapterMoveData) {
  Start();
  ExpectRefused(client_.get(), adapter_.get(), Open(""), STATUS_INVALID_HANDLE);
  ExpectRefused(client_.get(), adapter_.get(), Open("\\DISP01"), STATUS_INVALID_HANDLE);
  ExpectRefused(client_.get(), adapter_.get(), OpenChannel(2), STATUS_SUCCESS, 0);
  // In link mode 1 channel 1 is link supervision's, the others stay usable.
  bus_->LinkMode = 1;
  ExpectRefused(client_.get(), adapter_.get(), OpenChannel(1), STATUS_INVALID_HANDLE);
  hostk::UserBuffer buffer(8);
  EXPECT_EQ(STATUS_SUCCESS, Write(OpenChannel(4), buffer.Data(), 8).status);
  EXPECT_EQ(1u, adapter_->TakeReceived(0x04).size());
  bus_->LinkMode = 0;
  HANDLE handle = OpenChannel(3);
  SetBusPnpState(bus_, Stopped);
  ExpectRefused(client_.get(), adapter_.get(), handle, STATUS_INVALID_DEVICE_STATE);
  RestoreBusPnpState(bus_);
  ExpectSettled();
  EXPECT_EQ(0u, bus_->ErrorCode);
}

TEST_F(ReadWrite, LegacyAdapterHasNoChannelsToOffer) {
  kxsim::VirtualAdapterOptions options;
  options.legacy = true;
  Start(options);
  for (ULONG channel = 1; channel <= 4; channel++) {
    ExpectRefused(client_.get(), adapter_.get(), OpenChannel(channel),
                  STATUS_INVALID_DEVICE_STATE);
  }
  ExpectSettled();
  EXPECT_EQ(0u, bus_->ErrorCode);
}

// The I/O manager probes the caller's buffer before the driver sees the request.
TEST_F(ReadWrite, BuffersTheCallerCannotUseNeverReachTheDriver) {
  Start();
  HANDLE handle = OpenChannel(2);
  hostk::UserBuffer unreadable(64, false, true), unwritable(64, true, false);
  UCHAR notUserMemory[64] = {};
  EXPECT_FALSE(NT_SUCCESS(Write(handle, unreadable.Data(), 64).status));
  EXPECT_FALSE(NT_SUCCESS(Read(handle, unwritable.Data(), 64).status));
  EXPECT_FALSE(NT_SUCCESS(Write(handle, notUserMemory, 64).status));
  EXPECT_FALSE(NT_SUCCESS(Read(handle, notUserMemory, 64).status));
  EXPECT_TRUE(adapter_->TakeReceived(0x02).empty());
  EXPECT_EQ(0u, adapter_->Dma(2).starts);
  ExpectSettled();
}

TEST_F(ReadWrite, MissingMdlForTheStagesRefusesTheRequest) {
  Start();
  HANDLE handle = OpenChannel(3);
  for (bool in : {true, false}) {
    hostk::MdlFailNext(2);  // the I/O manager's MDL of the caller's buffer comes first
    hostk::UserBuffer buffer(32);
    Outcome outcome = in ? Read(handle, buffer.Data(), 32) : Write(handle, buffer.Data(), 32);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, outcome.status);
    EXPECT_EQ(0u, outcome.information);
  }
  EXPECT_EQ(0u, adapter_->Dma(3).starts);
  ExpectSettled();
}

// Every allocation of a read, a write and a failing write (the failure's records and flush
// included) fails in turn: the request still completes once, with the whole data or none of it,
// and nothing is left behind. A read whose engine could not be told the length would wait for
// data the engine never sends: it ends cancelled instead.
TEST_F(ReadWrite, EveryAllocationFailureIsSurvived) {
  enum class Kind { Read, Write, FailingWrite };
  Start();
  bus_->MaxTransferSize = kStage;
  HANDLE handle = OpenChannel(2);
  Bytes sent = Pattern(3 * kStage, 4);
  hostk::UserBuffer buffer(sent.size());
  for (Kind kind : {Kind::Read, Kind::Write, Kind::FailingWrite}) {
    bool injected = true;
    for (uint64_t n = 1; injected; n++) {
      SCOPED_TRACE("kind " + std::to_string((int)kind) + ", allocation " + std::to_string(n));
      ASSERT_LT(n, 100u) << "the request never ran without a failure";
      if (kind == Kind::FailingWrite) {
        // A failing URB under a successful request: it moved nothing either.
        port_->InjectFault(0x02, kxsim::UsbFault::Contradict(STATUS_SUCCESS,
                                                             USBD_STATUS_REQUEST_FAILED));
      }
      if (kind == Kind::Read) {
        adapter_->QueueIn(0x82, sent);
        std::fill(buffer.Data(), buffer.Data() + sent.size(), 0);
      } else {
        std::copy(sent.begin(), sent.end(), buffer.Data());
      }
      bus_->ErrorCode = 0;
      uint64_t failedBefore = hostk::PoolFailedCount();
      hostk::PoolFailNth(n);
      Outcome outcome = kind == Kind::Read ? Read(handle, buffer.Data(), (ULONG)sent.size())
                                           : Write(handle, buffer.Data(), (ULONG)sent.size());
      ExpectSettled();
      injected = hostk::PoolFailedCount() != failedBefore;
      hostk::PoolClearFaults();
      port_->ClearFaults(0x02);
      // A flush whose allocations failed left the pipe halted; it is cleared here to go on.
      if (port_->IsHalted(0x02)) UsbResetPipe(bus_, bus_->PipeDataOut2);
      if (port_->IsHalted(0x82)) UsbResetPipe(bus_, bus_->PipeDataIn2);
      adapter_->DropQueuedIn(0x82);
      Bytes received = kind == Kind::Read ? Bytes(buffer.Data(), buffer.Data() + sent.size())
                                          : Joined(adapter_->TakeReceived(0x02));
      if (outcome.status == STATUS_SUCCESS) {
        EXPECT_NE(Kind::FailingWrite, kind);
        EXPECT_EQ(sent.size(), outcome.information);
        EXPECT_EQ(sent, received);
        continue;
      }
      EXPECT_EQ(0u, outcome.information);
      if (outcome.status == STATUS_INSUFFICIENT_RESOURCES) {
        EXPECT_EQ(0u, bus_->ErrorCode) << "refused before anything went down";
      } else if (kind == Kind::Read) {
        EXPECT_EQ(STATUS_CANCELLED, outcome.status) << std::hex << outcome.status;
        EXPECT_EQ(0x408u, bus_->ErrorCode);
      } else {
        EXPECT_EQ(Kind::FailingWrite, kind) << std::hex << outcome.status;
        EXPECT_EQ(STATUS_UNSUCCESSFUL, outcome.status) << std::hex << outcome.status;
        EXPECT_EQ(0x808u, bus_->ErrorCode);
      }
      if (kind != Kind::Read) {
        EXPECT_TRUE(received.empty());
      }
    }
  }
}

}  // namespace
}  // namespace kxtest
