// The FIFO flush after a failed read or write. The flush is a register write that waits on USB
// transfers, and a completion routine runs at up to DISPATCH_LEVEL, so it goes to a work item that
// holds a reference on the adapter until it has run. A failed stage may also have left its pipe
// halted, and a halted pipe holds every later request of the channel for ever: the work item resets
// it, after ending the requests still waiting on it (a pipe is reset only once nothing is on it,
// and those requests would otherwise wait for ever).
#include "driver/kxbus.h"

namespace {

struct ChannelFlushWork {
  PIO_WORKITEM Item;
  BusDeviceContext* Bus;
  ULONG Index;
  BOOLEAN In;
  BOOLEAN Halted;
};
// 16 bytes on the 32-bit platform; the host's wider pointers make it larger there.
constexpr SIZE_T kChannelFlushWorkSize = sizeof(ChannelFlushWork);
static_assert(sizeof(void*) != 4 || kChannelFlushWorkSize == 16, "the work record is 16 bytes");

VOID NTAPI ChannelFlushWorkRoutine(PDEVICE_OBJECT, PVOID context) {
  ChannelFlushWork* work = (ChannelFlushWork*)context;
  BusDeviceContext* bus = work->Bus;
  USBD_PIPE_HANDLE pipe = TransferSetPipe(bus, work->Index, work->In);
  if (pipe != NULL && work->Halted) UsbAbortPipe(bus, pipe);
  if (pipe != NULL) UsbResetPipe(bus, pipe);
  FlushChannelFifo(bus, work->Index, work->In);
  IoFreeWorkItem(work->Item);
  ExFreePoolWithTag(work, kTagWorkItem);
  IoCountDecrement(bus);
}

}  // namespace

// Nothing is flushed when the adapter is no longer started or the resources are short: the flush
// only tidies the channel for the next request, and the failure is already recorded.
void QueueChannelFlush(BusDeviceContext* bus, ULONG index, BOOLEAN in, BOOLEAN halted) {
  ChannelFlushWork* work = (ChannelFlushWork*)ExAllocatePoolWithTag(
      NonPagedPoolNx, kChannelFlushWorkSize, kTagWorkItem);
  if (work == NULL) return;
  if (!IoCountAcquireIfStarted(bus)) {
    ExFreePoolWithTag(work, kTagWorkItem);
    return;
  }
  work->Item = IoAllocateWorkItem(bus->Header.Self);
  if (work->Item == NULL) {
    ExFreePoolWithTag(work, kTagWorkItem);
    IoCountDecrement(bus);
    return;
  }
  work->Bus = bus;
  work->Index = index;
  work->In = in;
  work->Halted = halted;
  IoQueueWorkItem(work->Item, ChannelFlushWorkRoutine, DelayedWorkQueue, work);
}
