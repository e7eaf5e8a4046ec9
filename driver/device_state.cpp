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

LONG IoCountDecrement(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->IoCountLock, &irql);
  LONG result = InterlockedDecrement(&bus->OutstandingIo);
  if (result == 1) KeSetEvent(&bus->IoIdleEvent, IO_NO_INCREMENT, FALSE);
  if (result == 0) KeSetEvent(&bus->RemoveEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&bus->IoCountLock, irql);
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

// A store still held would be lost with the zero fill: it is freed first.
void ResetChannels(BusDeviceContext* bus) {
  FreeFrameStores(bus);
  for (ULONG i = 0; i < kChannelCount; i++) {
    DisplayChannel* channel = &bus->Channels[i];
    RtlZeroMemory(channel, sizeof(*channel));
    channel->Index = i;
    channel->Free = 1;
    channel->DisplayId = kNoDisplay;
    channel->Owner = bus;
    KeInitializeSpinLock(&channel->StateLock);
    KeInitializeSpinLock(&channel->QueueLock);
    KeInitializeMutex(&channel->FrameLock, 0);
  }
}
