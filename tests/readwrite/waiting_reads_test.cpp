// Reads that wait for data the far side has not sent: a stop or removal the platform asks for
// ends them instead of waiting for them for ever, and the channels serve again afterwards.
#include "read_write_fixture.h"

#include <atomic>
#include <thread>

#include "host/hostk/clock.h"
#include "host/hostk/pnp.h"

namespace kxtest {
namespace {

class WaitingReads : public ReadWrite {
 protected:
  // A read of 64 bytes on `handle` from another thread of the client process, answering into
  // `outcome`. Returned once the thread is the host kernel's, so virtual time waits for it.
  std::thread ReadOnThread(HANDLE handle, hostk::UserBuffer* buffer, Outcome* outcome) {
    std::atomic<bool> attached{false};
    std::thread reader([this, handle, buffer, outcome, &attached] {
      hostk::ManagedThreadScope scope("reader");
      attached = true;
      *outcome = Read(handle, buffer->Data(), 64);
    });
    while (!attached) std::this_thread::yield();
    return reader;
  }
  void ExpectCancelled(const Outcome& outcome) {
    EXPECT_EQ(STATUS_CANCELLED, outcome.status);
    EXPECT_EQ(0u, outcome.information);
  }
};

TEST_F(WaitingReads, AStopQueryEndsThemAndTheChannelsServeAfterTheCancel) {
  Start();
  HANDLE second = OpenChannel(2), fourth = OpenChannel(4);
  hostk::UserBuffer bufferA(64), bufferB(64);
  Outcome a{STATUS_PENDING, 0}, b{STATUS_PENDING, 0};
  std::thread readerA = ReadOnThread(second, &bufferA, &a);
  std::thread readerB = ReadOnThread(fourth, &bufferB, &b);
  Settle(kSecond);
  EXPECT_EQ(3, Interlocked(bus_->OutstandingIo)) << "both reads wait below";
  EXPECT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE));
  readerA.join();
  readerB.join();
  ExpectCancelled(a);
  ExpectCancelled(b);
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  Bytes sent = Pattern(64, 9);
  adapter_->QueueIn(0x82, sent);
  Outcome outcome = Read(second, bufferA.Data(), 64);
  EXPECT_EQ(STATUS_SUCCESS, outcome.status);
  EXPECT_EQ(sent, Bytes(bufferA.Data(), bufferA.Data() + 64));
  ExpectSettled();
}

TEST_F(WaitingReads, ARemovalQueryEndsThem) {
  Start();
  HANDLE handle = OpenChannel(3);
  hostk::UserBuffer buffer(64);
  Outcome outcome{STATUS_PENDING, 0};
  std::thread reader = ReadOnThread(handle, &buffer, &outcome);
  Settle(kSecond);
  EXPECT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE));
  reader.join();
  ExpectCancelled(outcome);
  EXPECT_EQ(RemovePending, bus_->Header.DevicePnpState);
  EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  ASSERT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE));
  EXPECT_EQ(Started, bus_->Header.DevicePnpState);
}

// A stage that fails halts its pipe, and a halted pipe holds every later request for ever: the
// recovery must also end the reads still waiting on the same pipe, or the channel never serves
// again until the adapter stops. Three reads wait on channel 3; the first takes the data that
// comes, the next stalls, and the third was queued behind it.
TEST_F(WaitingReads, AFailedStageEndsTheOtherReadsOnItsPipeAndTheChannelServesAgain) {
  Start();
  HANDLE handle = OpenChannel(3);
  hostk::UserBuffer buffers[3] = {hostk::UserBuffer(64), hostk::UserBuffer(64),
                                  hostk::UserBuffer(64)};
  Outcome outcomes[3] = {{STATUS_PENDING, 0}, {STATUS_PENDING, 0}, {STATUS_PENDING, 0}};
  std::thread first = ReadOnThread(handle, &buffers[0], &outcomes[0]);
  Settle(kSecond);
  port_->InjectFault(0x83, kxsim::UsbFault::Stall());
  std::thread second = ReadOnThread(handle, &buffers[1], &outcomes[1]);
  std::thread third = ReadOnThread(handle, &buffers[2], &outcomes[2]);
  Settle(kSecond);
  adapter_->QueueIn(0x83, Pattern(64, 2));
  Settle(20 * kSecond);
  bool waiting = false;
  for (const Outcome& outcome : outcomes) waiting |= outcome.status == STATUS_PENDING;
  EXPECT_FALSE(waiting) << "a read still waits on the pipe the stall halted";
  if (waiting) {  // end it the way a stop query does, so that the threads can be joined
    hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
    hostk::PnpSendRequest(port_->Pdo(), IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE);
  }
  first.join();
  second.join();
  third.join();
  EXPECT_EQ(STATUS_SUCCESS, outcomes[0].status);
  EXPECT_FALSE(NT_SUCCESS(outcomes[1].status));
  EXPECT_FALSE(NT_SUCCESS(outcomes[2].status));
  port_->ClearFaults(0x83);
  Bytes sent = Pattern(64, 4);
  adapter_->QueueIn(0x83, sent);
  Outcome outcome = Read(handle, buffers[0].Data(), 64);
  EXPECT_EQ(STATUS_SUCCESS, outcome.status);
  EXPECT_EQ(sent, Bytes(buffers[0].Data(), buffers[0].Data() + 64));
  ExpectSettled();
}

}  // namespace
}  // namespace kxtest
