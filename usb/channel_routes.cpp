// Where a read or write request of a transfer-set handle goes: the pipe by channel and direction,
// the DMA engine a read programs, and the registers that stop a channel after a failed write
// submission. Three layouts: a current adapter, and a legacy one of either generation, whose
// channels 1 and 2 are wired to other endpoints and engines.
#include "driver/kxbus.h"

namespace {

enum Layout { kCurrent = 0, kLegacyExtended = 1, kLegacyBasic = 2, kLayoutCount = 3 };
constexpr ULONG kChannels = 4;
using PipeField = USBD_PIPE_HANDLE BusDeviceContext::*;

constexpr PipeField kReadPipes[kLayoutCount][kChannels] = {
    {&BusDeviceContext::PipeDataIn1, &BusDeviceContext::PipeDataIn2,
     &BusDeviceContext::PipeDataIn3, &BusDeviceContext::PipeDataIn4},
    {&BusDeviceContext::PipeDataIn1, &BusDeviceContext::PipeDataIn3,
     &BusDeviceContext::PipeDataIn3, &BusDeviceContext::PipeDataIn4},
    {&BusDeviceContext::PipeDataIn2, &BusDeviceContext::PipeDataIn4,
     &BusDeviceContext::PipeDataIn3, &BusDeviceContext::PipeDataIn4},
};

constexpr PipeField kWritePipes[kLayoutCount][kChannels] = {
    {&BusDeviceContext::PipeDataOut1, &BusDeviceContext::PipeDataOut2,
     &BusDeviceContext::PipeDataOut3, &BusDeviceContext::PipeDataOut4},
    {&BusDeviceContext::PipeDataIn2, &BusDeviceContext::PipeDataIn4,
     &BusDeviceContext::PipeDataOut3, &BusDeviceContext::PipeDataOut4},
    {&BusDeviceContext::PipeDataIn1, &BusDeviceContext::PipeDataIn3,
     &BusDeviceContext::PipeDataOut3, &BusDeviceContext::PipeDataOut4},
};

// DMA engine (block) numbers 1-4; 0: the channel runs without an engine.
constexpr UCHAR kReadEngines[kLayoutCount][kChannels] = {{1, 2, 3, 4}, {1, 3, 3, 4}, {0, 0, 3, 4}};
// The engine whose start/stop register and out FIFO a failed write stops.
constexpr UCHAR kWriteEngines[kLayoutCount][kChannels] = {{1, 2, 3, 4}, {2, 4, 3, 4}, {1, 3, 3, 4}};

constexpr ULONG kDmaStartStop = 0x184;
constexpr ULONG kDmaCount = 0x190;
constexpr ULONG kOutFifoFlush = 0x32C;
constexpr ULONG kEngineStride = 0x20;
constexpr ULONG kDmaStart = 1;
constexpr ULONG kDmaStop = 2;
constexpr ULONG kFifoFlushBit = 0x200;

Layout LayoutOf(BusDeviceContext* bus) {
  if (!bus->Legacy) return kCurrent;
  return bus->ExtendedChip ? kLegacyExtended : kLegacyBasic;
}

ULONG EngineRegister(ULONG base, ULONG engine) { return base + kEngineStride * (engine - 1); }

}  // namespace

USBD_PIPE_HANDLE TransferSetPipe(BusDeviceContext* bus, ULONG index, BOOLEAN in) {
  if (index >= kChannels) return NULL;
  PipeField field = in ? kReadPipes[LayoutOf(bus)][index] : kWritePipes[LayoutOf(bus)][index];
  return bus->*field;
}

// The whole request's length, not a stage's: the engine moves the request's data once.
BOOLEAN ProgramReadDma(BusDeviceContext* bus, ULONG index, ULONG length) {
  if (index >= kChannels) return FALSE;
  ULONG engine = kReadEngines[LayoutOf(bus)][index];
  if (engine == 0) return TRUE;
  ULONG window = bus->ExtendedChip ? kWindowExtended : kWindowBasic;
  NTSTATUS count = PciMemWriteChecked(bus, window + EngineRegister(kDmaCount, engine), length);
  NTSTATUS start = PciMemWriteChecked(bus, window + EngineRegister(kDmaStartStop, engine),
                                      kDmaStart);
  return NT_SUCCESS(count) && NT_SUCCESS(start);
}

void StopWriteChannel(BusDeviceContext* bus, ULONG index) {
  if (index >= kChannels) return;
  ULONG engine = kWriteEngines[LayoutOf(bus)][index];
  BridgeRegWrite(bus, (USHORT)EngineRegister(kDmaStartStop, engine), kDmaStop);
  BridgeRegWrite(bus, (USHORT)EngineRegister(kOutFifoFlush, engine), kFifoFlushBit);
}

// Every request a transfer-set handle has in flight ends with STATUS_CANCELLED, also a read that
// would wait for ever for data the far side never sends. The data pipes stay usable afterwards.
// The current layout's routes name each of the eight data pipes once.
void AbortTransferSets(BusDeviceContext* bus) {
  const PipeField* const routes[] = {kReadPipes[kCurrent], kWritePipes[kCurrent]};
  for (const PipeField* direction : routes) {
    for (ULONG i = 0; i < kChannels; i++) {
      if (bus->*direction[i] != NULL) UsbAbortPipe(bus, bus->*direction[i]);
    }
  }
}
