// Encoding a changed rectangle and sending it on data channel 1: a frame-data block, then the JPEG
// stream padded with zeros to a multiple of 1024 bytes, the two back to back under Channel1Lock.
// A rectangle whose pixels do not fit the staging buffer goes as horizontal bands of whole 16-row
// blocks, each its own stream behind its own block. What could not go for a passing reason (the
// frame lock busy, the encoder's memory, a transfer that failed while the adapter is still there)
// goes back into the output's queue, so an acknowledged update always reaches the far side once
// the cause is gone.
#include "driver/kxbus.h"
#include "jpeg/jpeg.h"
#include "pipeline/command_block.h"
#include "platform/seh.h"

namespace {

// Under Channel1Lock. A failed write leaves the channel clean for the next block. A write that
// ran out of time answers STATUS_TIMEOUT, a success code: for a block or a payload it is a failure
// (what follows must not go, and what did not arrive must go again). The write and its recovery
// hold one started-state reference: a stop waits for both, so it never deselects the
// configuration between a failed write and the reset of its pipe. Refused, the write answers as
// the transfer itself would have.
// With `then` (a payload), it follows the buffer (its block) on the same request, and the pair
// is one write: the payload goes only after its block went well, and a stop waits for both.
NTSTATUS WriteChannel(BusDeviceContext* bus, PVOID buffer, ULONG length, PVOID then = NULL,
                      ULONG thenLength = 0) {
  if (!IoCountAcquireIfStarted(bus)) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = bus->ExtendedChip ? WriteChannel1(bus, buffer, length, then, thenLength)
                                      : WriteChannel1Low(bus, buffer, length, then, thenLength);
  if (status == STATUS_TIMEOUT) status = STATUS_IO_TIMEOUT;
  if (!NT_SUCCESS(status)) RecoverChannel1Out(bus);
  IoCountDecrement(bus);
  return status;
}

void LockChannel1(BusDeviceContext* bus) {
  KeWaitForSingleObject(&bus->Channel1Lock, Executive, KernelMode, FALSE, NULL);
}
void UnlockChannel1(BusDeviceContext* bus) { KeReleaseMutex(&bus->Channel1Lock, FALSE); }

// A pageable payload is locked for the transfers, which read it at dispatch level.
PMDL LockPayload(PUCHAR payload, ULONG length) {
  PMDL mdl = IoAllocateMdl(payload, length, FALSE, FALSE, NULL);
  if (mdl == NULL) return NULL;
  if (!NT_SUCCESS(KxProbeAndLockPages(mdl, KernelMode, IoReadAccess))) {
    IoFreeMdl(mdl);
    return NULL;
  }
  return mdl;
}

// How a rectangle is cut into bands: the packed rows of one band, and the 4-byte reads the
// encoder makes of its last row, stay inside the staging buffer.
struct BandLayout {
  ULONG RowBytes;   // packed bytes of one row
  LONG Channels;    // bytes the encoder reads per pixel
  LONG MaxRows;     // rows of the tallest band: whole 16-row blocks, unless the rectangle is less
};

BandLayout LayOutBands(const UpdateRect* rect, const ChannelMode* mode) {
  BandLayout layout;
  ULONG width = (ULONG)(rect->Right - rect->Left);
  ULONG bytesPerPixel = mode->BitsPerPixel / 8;
  layout.RowBytes = bytesPerPixel * width;
  // The encoder takes 3-byte (24-bit) or 4-byte pixels; other depths are read 4 bytes a pixel.
  layout.Channels = bytesPerPixel == 3 ? 3 : 4;
  ULONG lastRow = width * (ULONG)layout.Channels;
  ULONG rows = (kFrameBufferSize - lastRow) / layout.RowBytes + 1;
  layout.MaxRows = (LONG)(rows / 16 * 16);
  return layout;
}

// The rows of the next band from `top`: the tallest band, shortened when it would leave fewer
// than the encoder's 8 rows after it.
LONG NextBandRows(const BandLayout* layout, LONG top, LONG bottom) {
  LONG remaining = bottom - top;
  if (remaining <= layout->MaxRows) return remaining;
  LONG rows = layout->MaxRows;
  if (remaining - rows < 8) rows -= 16;
  return rows;
}

// The band's pixels into the encode buffer, from `pixels` (its first row) `pitch` bytes a row;
// the encoder's result. The encoder answers -10 both for a sampling code it does not know and
// for want of memory for its Huffman tables; the pointers it gets here are never null, so -10
// with a known code is the memory, a passing cause like -5, and is answered as -5.
LONG EncodeBand(BusDeviceContext* bus, const UpdateRect* band, const BandLayout* layout,
                const UCHAR* pixels, ULONG pitch, ULONG* streamLength) {
  JpegEncodeParams params;
  params.Width = band->Right - band->Left;
  params.Height = band->Bottom - band->Top;
  params.Channels = layout->Channels;
  params.Source = pixels;
  params.SourcePitch = (LONG)pitch;
  params.Quality = bus->Quality;
  params.Sampling = bus->Sampling;
  params.Output = bus->EncodeBuffer;
  params.OutputCapacity = (LONG)kFrameBufferSize;
  params.OutputLength = 0;
  LONG result = EncodeWithCrew(&bus->Crew, &params);
  *streamLength = result == JpegResultOk ? (ULONG)params.OutputLength : 0;
  if (result == JpegResultBadArgument && (ULONG)params.Sampling <= JpegSampling420) {
    return JpegResultNoEncoder;
  }
  return result;
}

// Encodes the band under FrameLock, so that no present changes its pixels and no mode change
// frees the store while they are read. Where the encoder reads the pixels as they lie in the
// FrameStore (3 and 4 bytes a pixel) it reads them there, and no pixel is copied; other depths
// are packed into the staging buffer first, and the lock is let go before encoding. FALSE when
// FrameLock could not be had or the store no longer holds the band.
BOOLEAN EncodeBandOut(DisplayChannel* channel, const ChannelMode* mode, const UpdateRect* band,
                      const BandLayout* layout, LONG* result, ULONG* streamLength,
                      BOOLEAN* lockTimedOut) {
  BusDeviceContext* bus = channel->Owner;
  *lockTimedOut = !WaitFrameLock(channel);
  if (*lockTimedOut) return FALSE;
  ULONG bytesPerPixel = mode->BitsPerPixel / 8;
  ULONGLONG end = (ULONGLONG)(band->Bottom - 1) * mode->Stride +
                  (ULONGLONG)band->Left * bytesPerPixel + layout->RowBytes;
  // A mode change since the visit began laid the store out anew: the band is the old mode's, and
  // the new mode's announcement sends what the far side needs of the new store.
  if (channel->FrameStore == NULL || end > channel->FrameStoreSize ||
      !StoreMatchesMode(channel, mode)) {
    KeReleaseMutex(&channel->FrameLock, FALSE);
    return FALSE;
  }
  const UCHAR* source =
      channel->FrameStore + (ULONG)band->Top * mode->Stride + (ULONG)band->Left * bytesPerPixel;
  if ((ULONG)layout->Channels == bytesPerPixel) {
    *result = EncodeBand(bus, band, layout, source, mode->Stride, streamLength);
    KeReleaseMutex(&channel->FrameLock, FALSE);
    return TRUE;
  }
  PUCHAR dest = bus->StagingBuffer;
  for (LONG row = band->Top; row < band->Bottom; row++) {
    RtlCopyMemory(dest, source, layout->RowBytes);
    source += mode->Stride;
    dest += layout->RowBytes;
  }
  KeReleaseMutex(&channel->FrameLock, FALSE);
  // The last row is read 4 bytes a pixel, past the packed rows: zeros there, not what an earlier
  // band of any output left.
  ULONG lastRowRead = (ULONG)(band->Right - band->Left) * (ULONG)layout->Channels;
  if (lastRowRead > layout->RowBytes) RtlZeroMemory(dest, lastRowRead - layout->RowBytes);
  *result = EncodeBand(bus, band, layout, bus->StagingBuffer, layout->RowBytes, streamLength);
  return TRUE;
}

// A failure the next pass may not see again. Once the device is gone nothing will go.
BOOLEAN WorthRetrying(BusDeviceContext* bus) { return !IsDeviceGone(bus); }

// The encoder failed for want of memory, not because of the picture or its parameters.
BOOLEAN EncoderLackedMemory(LONG result) {
  return result == JpegResultNoEncoder || result == JpegResultHeaderFailed;
}

// One band: encoded and sent. A stream too large for the encode buffer is tried again
// as two halves of whole blocks. Anything but BandSent leaves the band and the rest of its
// rectangle for the caller to put back into the queue.
BandOutcome SendBand(DisplayChannel* channel, LONG displayId, const ChannelMode* mode,
                     UpdateRect band, const BandLayout* layout) {
  BusDeviceContext* bus = channel->Owner;
  for (;;) {
    BOOLEAN lockTimedOut;
    LONG result;
    ULONG length;
    if (!EncodeBandOut(channel, mode, &band, layout, &result, &length, &lockTimedOut)) {
      return lockTimedOut ? BandLockBusy : BandSent;
    }
    LONG rows = band.Bottom - band.Top;
    if (result == JpegResultScanFailed && rows >= 32) {
      UpdateRect lower = band;
      band.Bottom = band.Top + rows / 32 * 16;
      lower.Top = band.Bottom;
      BandOutcome upper = SendBand(channel, displayId, mode, band, layout);
      if (upper != BandSent) return upper;
      band = lower;
      continue;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (result != JpegResultOk) {
      if (EncoderLackedMemory(result) && WorthRetrying(bus)) return BandFailed;
      KX_TRACE(KX_TRACE_WARNING, "rectangle dropped: encoder result %d\n", result);
    } else if (length != 0) {
      status = SendFrameData(channel, displayId, mode, &band, bus->EncodeBuffer,
                             bus->EncodePageable, length);
    }
    if (!NT_SUCCESS(status) && WorthRetrying(bus)) {
      KX_TRACE(KX_TRACE_WARNING, "frame data not sent (0x%08X): the rectangle goes again\n",
               (ULONG)status);
      return BandFailed;
    }
    return BandSent;
  }
}

}  // namespace

NTSTATUS SendCommandBlock(BusDeviceContext* bus, UCHAR* block) {
  LockChannel1(bus);
  NTSTATUS status = WriteChannel(bus, block, kCommandBlockSize);
  UnlockChannel1(bus);
  return status;
}

NTSTATUS SendFrameData(DisplayChannel* channel, LONG displayId, const ChannelMode* mode,
                       const UpdateRect* rect, PUCHAR payload, BOOLEAN pageable, ULONG length) {
  BusDeviceContext* bus = channel->Owner;
  FrameDataFields fields;
  fields.X = (USHORT)rect->Left;
  fields.Y = (USHORT)rect->Top;
  fields.Width = (USHORT)(rect->Right - rect->Left);
  fields.Height = (USHORT)(rect->Bottom - rect->Top);
  fields.PayloadLength = length;
  fields.FrameOffset = FrameOffsetOf(mode->BitsPerPixel, mode->Width, (ULONG)rect->Left,
                                     (ULONG)rect->Top);
  UCHAR block[kCommandBlockSize];
  BuildFrameDataBlock(block, displayId, &fields);
  ULONG padded = PaddedPayloadLength(length);
  RtlZeroMemory(payload + length, padded - length);
  PMDL mdl = NULL;
  if (pageable) {
    mdl = LockPayload(payload, padded);
    if (mdl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  }
  LockChannel1(bus);
  NTSTATUS status = WriteChannel(bus, block, kCommandBlockSize, payload, padded);
  UnlockChannel1(bus);
  if (mdl != NULL) {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
  return status;
}

// Without both frame buffers (a stop freed them) nothing is encoded: modes and stops still go.
// A band that could not take the frame lock goes back with the rest of its rectangle as a new
// update; one that failed goes back quietly, for the worker to try after a pause.
BandOutcome EncodeAndSendRect(DisplayChannel* channel, LONG displayId, const ChannelMode* mode,
                              UpdateRect rect) {
  BusDeviceContext* bus = channel->Owner;
  if (bus->StagingBuffer == NULL || bus->EncodeBuffer == NULL) return BandSent;
  if (rect.Right - rect.Left < 8 || rect.Bottom - rect.Top < 8) return BandSent;  // below 8
  BandLayout layout = LayOutBands(&rect, mode);
  for (LONG top = rect.Top; top < rect.Bottom;) {
    UpdateRect band = {rect.Left, top, rect.Right, top + NextBandRows(&layout, top, rect.Bottom)};
    BandOutcome outcome = SendBand(channel, displayId, mode, band, &layout);
    if (outcome != BandSent) {
      UpdateRect rest = {rect.Left, top, rect.Right, rect.Bottom};
      RequeueRect(channel, rest, outcome == BandLockBusy);
      return outcome;
    }
    top = band.Bottom;
  }
  return BandSent;
}
