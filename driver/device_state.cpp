// Plug and Play state transitions, the outstanding-request counter with its two events, and the
// reset of the display channels.
#include "driver/kxbus.h"

void SetPnpState(CommonDeviceHeader* header, LONG state) {
  header->PreviousPnpState = header->DevicePnpState;
  header->DevicePnpState = state;
}

void RestorePnpState(CommonDeviceHeader* header) {
  header->DevicePnpState = header->PreviousPnpState;
}

void SetBusPnpState(BusDeviceContext* bus, LONG state) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  SetPnpState(&bus->Header, state);
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
}

void RestoreBusPnpState(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  RestorePnpState(&bus->Header);
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
}

void CancelPendingPnpState(CommonDeviceHeader* header, LONG pendingState) {
  if (header->DevicePnpState == pendingState) RestorePnpState(header);
}

void CancelPendingBusPnpState(BusDeviceContext* bus, LONG pendingState) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  CancelPendingPnpState(&bus->Header, pendingState);
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
}

// The idle event is clear while any request beyond the base reference is in flight.
LONG IoCountIncrement(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->IoCountLock, &irql);
  LONG result = InterlockedIncrement(&bus->OutstandingIo);
  if (result == 2) KeClearEvent(&bus->IoIdleEvent);
  KeReleaseSpinLock(&bus->IoCountLock, irql);
  return result;
}

// The removal waits for the remove event and then deletes the device, record and lock included:
// setting it is the last thing the final decrement does with the record, after the lock is let go.
LONG IoCountDecrement(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->IoCountLock, &irql);
  LONG result = InterlockedDecrement(&bus->OutstandingIo);
  if (result == 1) KeSetEvent(&bus->IoIdleEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&bus->IoCountLock, irql);
  if (result == 0) KeSetEvent(&bus->RemoveEvent, IO_NO_INCREMENT, FALSE);
  return result;
}

BOOLEAN IoCountAcquireIfStarted(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  BOOLEAN started = bus->Header.DevicePnpState == Started;
  if (started) IoCountIncrement(bus);
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
  return started;
}

BOOLEAN IsBusStarted(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  BOOLEAN started = bus->Header.DevicePnpState == Started;
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
  return started;
}

namespace {

// Everything an output learned from its display driver goes; its locks stay, since a request of a
// child that outlived a stop may be waiting on them.
void ResetChannel(DisplayChannel* channel) {
  KeWaitForSingleObject(&channel->FrameLock, Executive, KernelMode, FALSE, NULL);
  if (channel->FrameStore != NULL) ExFreePoolWithTag(channel->FrameStore, kTagFrameStore);
  channel->FrameStore = NULL;
  channel->FrameStoreSize = 0;
  channel->StoreWidth = channel->StoreHeight = channel->StoreBitsPerPixel = 0;
  KeReleaseMutex(&channel->FrameLock, FALSE);
  KIRQL irql;
  KeAcquireSpinLock(&channel->StateLock, &irql);
  channel->Width = channel->Height = channel->BitsPerPixel = channel->ModeExtra = 0;
  channel->Stride = 0;
  channel->StopRequested = 0;
  channel->ModeChangePending = 0;
  channel->RefreshPending = 0;
  KeReleaseSpinLock(&channel->StateLock, irql);
  KeAcquireSpinLock(&channel->QueueLock, &irql);
  QueueClear(&channel->Queue);
  KeReleaseSpinLock(&channel->QueueLock, irql);
  InterlockedExchange(&channel->Streaming, 0);
  InterlockedExchange(&channel->Active, 0);
  InterlockedExchange(&channel->DisplayId, kNoDisplay);
  channel->Free = 1;
  channel->OutputInfo[0] = channel->OutputInfo[1] = channel->OutputInfo[2] = 0;
}

}  // namespace

void InitializeChannels(BusDeviceContext* bus) {
  for (ULONG i = 0; i < kChannelCount; i++) {
    DisplayChannel* channel = &bus->Channels[i];
    RtlZeroMemory(channel, sizeof(*channel));
    channel->Index = i;
    channel->Owner = bus;
    KeInitializeSpinLock(&channel->StateLock);
    KeInitializeSpinLock(&channel->QueueLock);
    KeInitializeMutex(&channel->FrameLock, 0);
  }
  ResetChannels(bus);
}

// Children survive a stop of the adapter; the channels of those still present stay theirs, so
// that no new display is bound to a channel a child still names.
void ResetChannels(BusDeviceContext* bus) {
  KeWaitForSingleObject(&bus->ChildCreationLock, Executive, KernelMode, FALSE, NULL);
  for (ULONG i = 0; i < kChannelCount; i++) ResetChannel(&bus->Channels[i]);
  ExAcquireFastMutex(&bus->ChildListLock);
  for (PLIST_ENTRY entry = bus->Children.Flink; entry != &bus->Children; entry = entry->Flink) {
    ChildDeviceContext* child = CONTAINING_RECORD(entry, ChildDeviceContext, Link);
    if (!child->Present || child->ChannelIndex >= kChannelCount) continue;
    bus->Channels[child->ChannelIndex].Free = 0;
    InterlockedExchange(&bus->Channels[child->ChannelIndex].DisplayId, (LONG)child->DisplayId);
  }
  ExReleaseFastMutex(&bus->ChildListLock);
  KeReleaseMutex(&bus->ChildCreationLock, FALSE);
}
