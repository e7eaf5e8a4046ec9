// The pipeline when things go wrong or get large: rectangles beyond the staging buffer, a frame
// lock the worker cannot have, a worker that cannot be created, sends from two threads on one
// channel, frame buffers that are gone, and every allocation that can fail.
#include <chrono>
#include <thread>

#include "host/hostk/pnp.h"
#include "pipeline/command_block.h"
#include "pipeline_fixture.h"
#include "sim/usb/usb_fault.h"

namespace kxtest {
namespace {

class PipelineFaults : public PipelineTest {
 protected:
  void SetUp() override { Plug(); }
};

// 2560 x 1440 at 32 bits is 14.7 MB of pixels: it goes as bands of whole 16-row blocks, each a
// stream of its own, and the whole output is covered.
TEST_F(PipelineFaults, ARectangleLargerThanTheStagingBufferGoesAsBands) {
  kxsim::BgrxImage image = CorpusImage("large-photo-1.png");
  if (image.width == 0) image = SyntheticDesktop(2560, 1440, 7);
  PDEVICE_OBJECT child = AddChild(0, 1);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, (USHORT)image.width, (USHORT)image.height));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  EXPECT_EQ(2u, adapter_->Rectangles());
  EXPECT_GT(FarPsnr(1, image), EncoderPsnr(image) - 0.5);
  ExpectNoViolations();
}

// The worker cannot have FrameLock for its copy-out: the rectangle goes back into the queue and
// is sent once the lock is free, not lost.
TEST_F(PipelineFaults, ACopyOutThatCannotTakeTheFrameLockIsRetried) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 2);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  // The worker is held in nothing; take the lock before it visits again by queueing directly.
  Settle();
  ASSERT_EQ(1u, adapter_->Rectangles());
  DisplayChannel* channel = &bus_->Channels[0];
  KeWaitForSingleObject(&channel->FrameLock, Executive, KernelMode, FALSE, nullptr);
  QueueRect(channel, UpdateRect{0, 0, 32, 32});
  Settle(5 * 10000000LL);  // two of the worker's 2-second waits run out meanwhile
  EXPECT_EQ(1u, adapter_->Rectangles());
  KeReleaseMutex(&channel->FrameLock, FALSE);
  Settle();
  EXPECT_EQ(2u, adapter_->Rectangles());
  EXPECT_EQ(channel->Queue.ReadIndex, channel->Queue.WriteIndex);
  ExpectNoViolations();
}

// A present that cannot have FrameLock within 2 seconds says so instead of succeeding.
TEST_F(PipelineFaults, APresentThatCannotTakeTheFrameLockFails) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  DisplayChannel* channel = &bus_->Channels[0];
  NTSTATUS status = STATUS_SUCCESS;
  {
    KeWaitForSingleObject(&channel->FrameLock, Executive, KernelMode, FALSE, nullptr);
    SystemThread presenter([&] { status = PresentWhole(child, SyntheticDesktop(64, 64, 3)); });
    Settle(3 * 10000000LL);
    KeReleaseMutex(&channel->FrameLock, FALSE);
  }
  EXPECT_EQ(STATUS_DEVICE_BUSY, status);
  EXPECT_EQ(channel->Queue.ReadIndex, channel->Queue.WriteIndex);
}

TEST_F(PipelineFaults, AWorkerThatCannotBeCreatedLeavesTheOutputInactive) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  hostk::PsFailThreadCreation(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetMode(child, 64, 64));
  EXPECT_EQ(0, Interlocked(bus_->Channels[0].Active));
  EXPECT_EQ(0, Interlocked(bus_->Channels[0].Streaming));
  EXPECT_EQ(0, Interlocked(bus_->ActiveOutputCount));
  EXPECT_EQ(0, Interlocked(bus_->WorkerRunning));
  EXPECT_EQ(nullptr, bus_->WorkerThread);
  // The mode again over the store the first one made: the whole store goes after it, and the
  // present may join it.
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 4);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  EXPECT_GE(adapter_->Rectangles(), 1u);
  EXPECT_GT(FarPsnr(1, image), EncoderPsnr(image) - 0.5);
}

// Output B's first mode is sent from the request's thread while the worker is between output A's
// frame-data block and its payload: the mode block waits until the payload is out.
TEST_F(PipelineFaults, AFrameBlockAndItsPayloadAreNeverSeparated) {
  PDEVICE_OBJECT a = AddChild(0, 1);
  PDEVICE_OBJECT b = AddChild(1, 2);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(a, 64, 64));
  port_->InjectFault(0x01, kxsim::UsbFault::Delay(10000));  // every transfer takes 1 ms
  ULONG before = port_->Counters().transfersCompleted;
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(a, SyntheticDesktop(64, 64, 5)));
  // While this thread runs, virtual time stands still: the block stays in flight.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (port_->PendingCount(0x01) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(1u, port_->PendingCount(0x01)) << "the worker never sent its block";
  ASSERT_EQ(before, port_->Counters().transfersCompleted);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(b, 64, 64));
  Settle();
  EXPECT_EQ(1u, adapter_->Rectangles());
  EXPECT_EQ(1u, adapter_->Display(2)->modes);
  ExpectNoViolations();
}

// After a stop the frame buffers are gone until a start provides them again: modes and stops
// still go out, frame data does not, and nothing touches the missing buffers.
TEST_F(PipelineFaults, WithoutTheFrameBuffersOnlyModesAndStopsGo) {
  FreeFrameBuffers(bus_);
  PDEVICE_OBJECT child = AddChild(0, 1);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, SyntheticDesktop(64, 64, 6)));
  ASSERT_EQ(STATUS_SUCCESS, Stop(child));
  Settle();
  EXPECT_EQ(1u, adapter_->Display(1)->modes);
  EXPECT_EQ(1u, adapter_->Display(1)->stops);
  EXPECT_EQ(0u, adapter_->Rectangles());
  ExpectNoViolations();
}

// Every allocation of the pipeline fails, each on its own: a mode fails cleanly with nothing
// leaked (the test main checks the pool and the verifier at the end), and a rectangle that could
// not be encoded or sent is not lost: it goes once the allocation works again.
TEST_F(PipelineFaults, EveryAllocationFailureIsSurvived) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 8);
  hostk::PoolFailTag(kTagFrameStore);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetMode(child, 64, 64));
  hostk::PoolClearFaults();
  EXPECT_EQ(nullptr, bus_->Channels[0].FrameStore);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));

  // The encoder's memory: nothing goes while it fails, the rectangle goes once it works.
  hostk::PoolFailTag(hostk::PoolTag("KMOD"));
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  EXPECT_EQ(0u, adapter_->Rectangles());
  hostk::PoolClearFaults();
  Settle();
  EXPECT_EQ(1u, adapter_->Rectangles());
  EXPECT_GT(FarPsnr(1, image), 30.0);

  // The payload's MDL (the encode buffer is pageable) fails once: the next try goes.
  kxsim::BgrxImage second = SyntheticDesktop(64, 64, 9);
  ASSERT_EQ(1, bus_->EncodePageable);
  hostk::MdlFailNext(2);  // the first is the present's own pixel MDL
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, second));
  Settle();
  EXPECT_EQ(2u, adapter_->Rectangles());
  EXPECT_GT(FarPsnr(1, second), 25.0);

  // The transfers' own allocations. A send leaves its context and URB to the next, so the pool
  // failing for transfers stops no frame while one is kept; a request that cannot be had sends
  // nothing of its frame and drops the kept context, and then neither block nor payload goes
  // until the pool works again.
  hostk::PoolFailTag(kTagTransfer);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  EXPECT_EQ(3u, adapter_->Rectangles());
  EXPECT_GT(FarPsnr(1, image), 30.0);
  hostk::IoFailIrpAllocation(2);  // the first is the present's own request
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, second));
  Settle();
  EXPECT_EQ(3u, adapter_->Rectangles());
  hostk::PoolClearFaults();
  Settle();
  EXPECT_EQ(4u, adapter_->Rectangles());
  EXPECT_GT(FarPsnr(1, second), 25.0);
  ExpectNoViolations();
}

// A larger mode whose store cannot be had fails and leaves the output as it was: its store keeps
// the picture, what was acknowledged still goes, and the output takes presents in its old mode.
TEST_F(PipelineFaults, AModeWithoutMemoryForItsStoreLeavesTheOldModeStreaming) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  kxsim::BgrxImage before = SyntheticDesktop(64, 64, 11);
  port_->InjectFault(0x01, kxsim::UsbFault::Delay(10000000).Times(1));  // the present waits
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, before));
  hostk::PoolFailTag(kTagFrameStore);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetMode(child, 128, 128));
  hostk::PoolClearFaults();
  Settle(30000000);
  EXPECT_GT(FarPsnr(1, before), EncoderPsnr(before) - 0.5) << "an acknowledged present was lost";
  kxsim::BgrxImage after = SyntheticDesktop(64, 64, 12);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, after));
  Settle();
  EXPECT_GT(FarPsnr(1, after), EncoderPsnr(after) - 0.5);
  ExpectNoViolations();
}

// The worker's kept encoder is made at its first rectangle; when its Huffman tables cannot be had
// the encoder answers -10, as for a sampling code it does not know, but the cause passes: the
// rectangle goes once the memory is there.
TEST_F(PipelineFaults, AnEncoderWithoutTableMemoryTriesTheRectangleAgain) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 10);
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  uint64_t failedBefore = hostk::PoolFailedCount();
  hostk::PoolFailNthWithTag(hostk::PoolTag("KMOD"), 2);  // the encoder object, then its tables
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
  Settle();
  ASSERT_EQ(1u, hostk::PoolFailedCount() - failedBefore);
  EXPECT_EQ(1u, adapter_->Rectangles());
  EXPECT_GT(FarPsnr(1, image), 30.0);
  ExpectNoViolations();
}

// A transfer of data channel 1 that fails while the adapter stays (a stall, a transfer that
// never ends, one the device stops answering) loses no update: what did not go is sent again, and the far side
// ends up showing the last picture presented. The mode block of an output's first mode too.
TEST_F(PipelineFaults, AFailedFrameTransferIsSentAgain) {
  PDEVICE_OBJECT child = AddChild(0, 1);
  port_->InjectFault(0x01, kxsim::UsbFault::Stall());
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  Settle();
  ASSERT_TRUE(adapter_->Display(1).has_value()) << "the mode never reached the far side";
  EXPECT_EQ(1u, adapter_->Display(1)->modes);
  const kxsim::UsbFault faults[] = {
      kxsim::UsbFault::Stall(), kxsim::UsbFault::NoAnswer().Times(1),
      kxsim::UsbFault::Contradict(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING).Times(1)};
  int seed = 20;
  for (const kxsim::UsbFault& fault : faults) {
    kxsim::BgrxImage image = SyntheticDesktop(64, 64, seed++);
    port_->InjectFault(0x01, fault);
    ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, image));
    Settle(150000000);  // past the transfer's 10-second limit
    EXPECT_GT(FarPsnr(1, image), 25.0) << "fault kind " << int(fault.kind);
  }
  ExpectNoViolations();
}

// A failed block write leaves channel 1 out clean for the next one: the halted pipe is reset.
// That recovery is part of the write and needs the same started adapter: after a stop the
// configuration is gone, and a write refused then touches no pipe and no register.
TEST_F(PipelineFaults, AFailedBlockWriteRecoversTheChannelOnlyWhileStarted) {
  UCHAR block[kCommandBlockSize] = {'K', 'X', 'g', 't'};
  port_->InjectFault(0x01, kxsim::UsbFault::Stall());
  ULONG resets = port_->Counters().pipeResets;
  EXPECT_FALSE(NT_SUCCESS(SendCommandBlock(bus_, block)));
  EXPECT_EQ(resets + 1, port_->Counters().pipeResets);
  EXPECT_FALSE(port_->IsHalted(0x01));
  EXPECT_EQ(STATUS_SUCCESS, SendCommandBlock(bus_, block));

  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(port_->Pdo()));
  ULONG urbs = port_->Counters().urbs;
  size_t mark = adapter_->Log().Size();
  EXPECT_FALSE(NT_SUCCESS(SendCommandBlock(bus_, block)));
  EXPECT_EQ(urbs, port_->Counters().urbs) << "a stopped adapter's pipes were used";
  EXPECT_TRUE(adapter_->Log().Since(mark).empty());
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(port_->Pdo()));
  EXPECT_EQ(STATUS_SUCCESS, SendCommandBlock(bus_, block));
}

}  // namespace
}  // namespace kxtest
