// IRP_MN_START_DEVICE for the adapter: the stack below starts first, then the USB interface is
// configured and the adapter programmed. Outputs that streamed before a stop stream again.
#include "driver/kxbus.h"

namespace {

// What each output streamed with before the start reset the channel table.
struct StreamingOutput {
  BOOLEAN Streaming;
  LONG DisplayId;
  ChannelMode Mode;
};

void SaveStreamingOutputs(BusDeviceContext* bus, StreamingOutput (&saved)[kChannelCount]) {
  for (ULONG i = 0; i < kChannelCount; i++) {
    DisplayChannel* channel = &bus->Channels[i];
    saved[i].Streaming = !channel->Free && InterlockedCompareExchange(&channel->Streaming, 0, 0);
    saved[i].DisplayId = InterlockedCompareExchange(&channel->DisplayId, 0, 0);
    saved[i].Mode = ReadChannelMode(channel);
  }
}

// A child that outlived the stop is bound to its channel again by the reset; its display gets
// its mode back, so that its presents reach it without its driver having to set one. The old
// pictures went with the stop: the far side keeps showing them until the next presents.
void ResumeSavedOutputs(BusDeviceContext* bus, const StreamingOutput (&saved)[kChannelCount]) {
  for (ULONG i = 0; i < kChannelCount; i++) {
    DisplayChannel* channel = &bus->Channels[i];
    if (!saved[i].Streaming || channel->Free) continue;
    if (InterlockedCompareExchange(&channel->DisplayId, 0, 0) != saved[i].DisplayId) continue;
    if (InterlockedCompareExchange(&channel->Streaming, 0, 0)) continue;  // its driver was quicker
    ResumeOutput(channel, &saved[i].Mode);
  }
}

}  // namespace

NTSTATUS StartFunctionDevice(BusDeviceContext* bus, PIRP irp) {
  // The failure bits are this start's: the registry's "ErrorCode" is written from the record, and
  // bits from before a stop would come back with the next failure.
  InterlockedExchange((LONG*)&bus->ErrorCode, 0);
  ReadStartOptions(bus);
  // A stop released the frame pipeline's buffers; without them the adapter cannot stream.
  NTSTATUS status = ObtainFrameBuffers(bus);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  status = ForwardAndWait(bus, irp);
  if (!NT_SUCCESS(status)) {
    KX_TRACE(KX_TRACE_ERROR, "the stack below failed the start: 0x%08lX\n", (ULONG)status);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  status = ConfigureDevice(bus->Header.Self);
  if (!NT_SUCCESS(status)) return CompleteRequest(irp, status, 0);
  SetBusPnpState(bus, Started);
  StreamingOutput saved[kChannelCount];
  SaveStreamingOutputs(bus, saved);
  status = StartAdapterHardware(bus);
  // An extended adapter that did not reach the link's waiting state ran the identity switch and is
  // about to leave the bus: nothing of it is resumed.
  BOOLEAN leaving = bus->ExtendedChip && bus->LinkState != kLinkStateStarted;
  if (NT_SUCCESS(status) && !leaving) {
    ResumeSavedOutputs(bus, saved);
    ResumeLinkSupervision(bus);
  } else if (!NT_SUCCESS(status)) {
    KX_TRACE(KX_TRACE_ERROR, "adapter start-up failed: 0x%08lX\n", (ULONG)status);
  }
  return CompleteRequest(irp, status, 0);
}
