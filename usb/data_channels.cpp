// The four data channels. A read from the adapter has the bridge's DMA engine of the channel
// programmed first (count, then start) where the adapter's generation runs the channel through
// it; a failure other than a time-out sets the channel's bit in ErrorCode and reports it.
#include "driver/kxbus.h"

namespace {

constexpr ULONG kDmaBlockBase = 0x180;
constexpr ULONG kDmaBlockStride = 0x20;
constexpr ULONG kDmaControl = 0x00;
constexpr ULONG kDmaStart = 0x04;
constexpr ULONG kDmaCount = 0x10;
constexpr ULONG kFifoFlush = 0x200;
constexpr ULONG kDataChannelCount = 4;

// Error bits: channel n in is bit 2(n-1), out is bit 2(n-1)+1.
ULONG ErrorBit(ULONG channel, bool in) { return 1u << (2 * (channel - 1) + (in ? 0 : 1)); }

ULONG DmaRegister(ULONG window, ULONG channel, ULONG offset) {
  return window + kDmaBlockBase + kDmaBlockStride * (channel - 1) + offset;
}

void ProgramChannel(BusDeviceContext* bus, ULONG window, ULONG channel, ULONG length) {
  PciMemWrite(bus, DmaRegister(window, channel, kDmaCount), length);
  PciMemWrite(bus, DmaRegister(window, channel, kDmaStart), 1);
}

NTSTATUS Finish(BusDeviceContext* bus, NTSTATUS status, ULONG errorBit) {
  if (!NT_SUCCESS(status)) {
    InterlockedOr((LONG*)&bus->ErrorCode, (LONG)errorBit);
    ReportErrorCode(bus);
  }
  return status;
}

// An engine of 0 means the route runs without the DMA engine. A channel without its pipe (every
// data channel of a legacy adapter) fails before its engine is started: it is not a channel error.
NTSTATUS Read(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, ULONG window, ULONG engine,
              PVOID buffer, ULONG length, ULONG channel, ULONG* transferred = NULL) {
  if (transferred != NULL) *transferred = 0;
  if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;
  if (engine != 0) ProgramChannel(bus, window, engine, length);
  return Finish(bus, UsbDoDataTransfer(bus, pipe, buffer, length, kTransferIn, transferred),
                ErrorBit(channel, true));
}

NTSTATUS ReadAsync(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, ULONG window, ULONG engine,
                   PVOID buffer, ULONG length) {
  if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;
  if (engine != 0) ProgramChannel(bus, window, engine, length);
  return UsbDoBulkTransferAsync(bus, pipe, buffer, length, kTransferIn);
}

NTSTATUS Write(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length,
               ULONG channel, PVOID then = NULL, ULONG thenLength = 0) {
  if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;
  return Finish(bus,
                UsbDoDataTransferThen(bus, pipe, buffer, length, then, thenLength, kTransferOut),
                ErrorBit(channel, false));
}

// Channel 1 in on the basic generation: through the DMA engine at the basic window, or, on a
// legacy adapter, straight from endpoint 0x82.
USBD_PIPE_HANDLE Channel1LowPipe(BusDeviceContext* bus) {
  return bus->Legacy ? bus->PipeDataIn2 : bus->PipeDataIn1;
}
ULONG Channel1LowEngine(BusDeviceContext* bus) { return bus->Legacy ? 0 : 1; }

USHORT FifoRegister(ULONG index, BOOLEAN in) {
  return (USHORT)((in ? 0x3CC : 0x30C) + 0x20 * (index + 1));
}

}  // namespace

NTSTATUS ReadChannel1(BusDeviceContext* bus, PVOID buffer, ULONG length, ULONG* transferred) {
  return Read(bus, bus->PipeDataIn1, kWindowExtended, 1, buffer, length, 1, transferred);
}

NTSTATUS ReadChannel1Low(BusDeviceContext* bus, PVOID buffer, ULONG length,
                         ULONG* transferred) {
  return Read(bus, Channel1LowPipe(bus), kWindowBasic, Channel1LowEngine(bus), buffer, length, 1,
              transferred);
}

NTSTATUS ReadChannel1Async(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return ReadAsync(bus, bus->PipeDataIn1, kWindowExtended, 1, buffer, length);
}

NTSTATUS ReadChannel1AsyncLow(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return ReadAsync(bus, Channel1LowPipe(bus), kWindowBasic, Channel1LowEngine(bus), buffer, length);
}

NTSTATUS ReadChannel2(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  USBD_PIPE_HANDLE pipe = bus->Legacy ? bus->PipeDataIn3 : bus->PipeDataIn2;
  return Read(bus, pipe, kWindowExtended, bus->Legacy ? 3 : 2, buffer, length, 2);
}

NTSTATUS ReadChannel3(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return Read(bus, bus->PipeDataIn3, kWindowExtended, 3, buffer, length, 3);
}

NTSTATUS ReadChannel4(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return Read(bus, bus->PipeDataIn4, kWindowExtended, 4, buffer, length, 4);
}

NTSTATUS WriteChannel1(BusDeviceContext* bus, PVOID buffer, ULONG length, PVOID then,
                       ULONG thenLength) {
  return Write(bus, bus->Legacy ? bus->PipeDataIn2 : bus->PipeDataOut1, buffer, length, 1, then,
               thenLength);
}

NTSTATUS WriteChannel1Low(BusDeviceContext* bus, PVOID buffer, ULONG length, PVOID then,
                          ULONG thenLength) {
  return Write(bus, bus->Legacy ? bus->PipeDataIn1 : bus->PipeDataOut1, buffer, length, 1, then,
               thenLength);
}

// A failed write may leave the pipe halted, which holds every later transfer on it, and the
// adapter's FIFO holding part of a block: the pipe is reset and the FIFO flushed, so that the next
// block starts clean.
void RecoverChannel1Out(BusDeviceContext* bus) {
  if (IsDeviceGone(bus)) return;
  USBD_PIPE_HANDLE pipe = bus->ExtendedChip ? (bus->Legacy ? bus->PipeDataIn2 : bus->PipeDataOut1)
                                            : (bus->Legacy ? bus->PipeDataIn1 : bus->PipeDataOut1);
  if (pipe != NULL) UsbResetPipe(bus, pipe);
  FlushChannelFifo(bus, 0, FALSE);
}

// A failed receive may leave the pipe halted, and a halted pipe holds every later receive on it
// for ever; the pipe is reset only with nothing on it, so what still waits there is ended first.
// The FIFO's rest of a message partly sent is no message either.
void RecoverChannel1In(BusDeviceContext* bus) {
  if (IsDeviceGone(bus)) return;
  USBD_PIPE_HANDLE pipe = bus->ExtendedChip ? bus->PipeDataIn1 : Channel1LowPipe(bus);
  if (pipe != NULL) {
    UsbAbortPipe(bus, pipe);
    UsbResetPipe(bus, pipe);
  }
  FlushChannelFifo(bus, 0, TRUE);
}

NTSTATUS WriteChannel2(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return Write(bus, bus->Legacy ? bus->PipeDataIn4 : bus->PipeDataOut2, buffer, length, 2);
}

NTSTATUS WriteChannel3(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return Write(bus, bus->PipeDataOut3, buffer, length, 3);
}

NTSTATUS WriteChannel4(BusDeviceContext* bus, PVOID buffer, ULONG length) {
  return Write(bus, bus->PipeDataOut4, buffer, length, 4);
}

NTSTATUS FlushChannelFifo(BusDeviceContext* bus, ULONG index, BOOLEAN in) {
  if (index >= kDataChannelCount) return STATUS_UNSUCCESSFUL;
  return BridgeRegWrite(bus, FifoRegister(index, in), kFifoFlush);
}

NTSTATUS FlushChannelFifoWindow(BusDeviceContext* bus, ULONG index, BOOLEAN in) {
  if (index >= kDataChannelCount) return STATUS_UNSUCCESSFUL;
  return PciMemWrite(bus, kWindowExtended + FifoRegister(index, in), kFifoFlush);
}

NTSTATUS ResetChannelDma(BusDeviceContext* bus, ULONG index) {
  if (index >= kDataChannelCount) return STATUS_UNSUCCESSFUL;
  return PciMemWrite(bus, DmaRegister(kWindowExtended, index + 1, kDmaControl), 0);
}

NTSTATUS FlushAllChannelFifos(BusDeviceContext* bus) {
  for (ULONG i = 0; i < kDataChannelCount; i++) {
    FlushChannelFifo(bus, i, FALSE);
    FlushChannelFifo(bus, i, TRUE);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ResetAllChannels(BusDeviceContext* bus) {
  for (ULONG i = 0; i < kDataChannelCount; i++) ResetChannelDma(bus, i);
  for (ULONG i = 0; i < kDataChannelCount; i++) {
    FlushChannelFifoWindow(bus, i, FALSE);
    FlushChannelFifoWindow(bus, i, TRUE);
  }
  return STATUS_SUCCESS;
}
