// The record a read or write request of a transfer-set handle carries from dispatch to its final
// completion, shared by the dispatch and completion halves of the path.
#pragma once

#include "driver/kxbus.h"

// One per request (non-paged, tag "200M"). Only the request's own dispatch and completion routines
// touch it, one at a time, so it needs no lock.
struct ReadWriteContext {
  PURB Urb;             // reused for every stage
  ULONG Remaining;      // bytes not yet handed to the USB stack
  ULONG Transferred;    // what completed stages moved
  PUCHAR Next;          // where the next stage starts, an address inside the request's MDL
  BusDeviceContext* Adapter;
  PMDL PartialMdl;      // built over each stage in turn
  ULONG ChannelIndex;   // 0-3
  ULONG StageLength;    // what the stage in flight asked for
  BOOLEAN In;           // a read
};

inline ULONG StageLengthOf(BusDeviceContext* bus, ULONG remaining) {
  return remaining < bus->MaxTransferSize ? remaining : bus->MaxTransferSize;
}

// The request's next stack location set to carry the URB, with the completion routine of the
// request's direction, called on success, error and cancel.
void ArmReadWriteStage(PIRP irp, ReadWriteContext* context);
// A partial MDL that was mapped into system space for a stage gives up that mapping before it is
// built again or freed.
void ReleasePartialMapping(PMDL partial);
