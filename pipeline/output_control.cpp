// What the display driver of one output asks of it: a mode, changed pixels, a stop, three
// information words. Pixels are copied into the output's FrameStore under FrameLock and the
// rectangle is queued for the frame worker; nothing here encodes or waits for the adapter except
// the first mode announcement of an output.
#include "driver/kxbus.h"
#include "pipeline/command_block.h"

namespace {

constexpr ULONG kFrameStoreSlack = 1024;
constexpr USHORT kMaxModeSide = 8192;  // a store of at most 8192 x 8192 x 4 bytes: 256 MiB

// A mode the pipeline can carry: at least the encoder's 8 x 8 pixels, at most 8192 on a side, and
// a whole number of bytes per pixel up to 4.
BOOLEAN ModeIsValid(USHORT width, USHORT height, USHORT bitsPerPixel) {
  if (width < 8 || height < 8 || width > kMaxModeSide || height > kMaxModeSide) return FALSE;
  return bitsPerPixel != 0 && bitsPerPixel <= 32 && bitsPerPixel % 8 == 0;
}

// What a mode found of the channel's FrameStore.
enum StoreOutcome {
  StoreStartsBlack,  // new, or the channel's last display's: black, a display's first picture
  StoreRelaidOut,    // the output's own, made black for another size or depth
  StoreKept,         // the output's own picture, in this mode's layout
};

// A store of at least `size` bytes; a smaller one is replaced, a larger one kept. The worker
// sends whole 16-pixel blocks around what was presented, so a store starts black: a new one would
// otherwise send whatever the pool held before, one kept from the channel's last display that
// display's pictures, and one kept over a change of size or depth the old pixels read with the
// new row length.
NTSTATUS ProvideFrameStore(DisplayChannel* channel, const ModeFields* mode,
                           StoreOutcome* outcome) {
  ULONG size = (ULONG)mode->Width * mode->Height * 4 + kFrameStoreSlack;
  if (!WaitFrameLock(channel)) return STATUS_DEVICE_BUSY;
  LONG display = InterlockedCompareExchange(&channel->DisplayId, 0, 0);
  *outcome = StoreKept;
  if (channel->FrameStore == NULL || channel->FrameStoreSize < size) {
    // The old store goes only once the new one is there: a mode that fails for want of memory
    // leaves the output its store, its picture and what is queued from it.
    PUCHAR fresh = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagFrameStore);
    if (fresh == NULL) {
      KeReleaseMutex(&channel->FrameLock, FALSE);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (channel->FrameStore != NULL) ExFreePoolWithTag(channel->FrameStore, kTagFrameStore);
    channel->FrameStore = fresh;
    channel->FrameStoreSize = size;
    *outcome = StoreStartsBlack;
  } else if (InterlockedCompareExchange(&channel->StoreDisplay, 0, 0) != display) {
    *outcome = StoreStartsBlack;
  } else if (!StoreHasLayout(channel, mode->Width, mode->Height, mode->BitsPerPixel)) {
    *outcome = StoreRelaidOut;
  }
  if (*outcome != StoreKept) {
    RtlZeroMemory(channel->FrameStore, channel->FrameStoreSize);
    InterlockedExchange(&channel->StoreDisplay, display);
  }
  channel->StoreWidth = mode->Width;
  channel->StoreHeight = mode->Height;
  channel->StoreBitsPerPixel = mode->BitsPerPixel;
  KeReleaseMutex(&channel->FrameLock, FALSE);
  return STATUS_SUCCESS;
}

// `pending`: the worker announces the mode; `refresh`: and then sends the whole store.
void SetModeFields(DisplayChannel* channel, const ModeFields* mode, UCHAR pending,
                   UCHAR refresh) {
  KIRQL irql;
  KeAcquireSpinLock(&channel->StateLock, &irql);
  channel->Width = mode->Width;
  channel->Height = mode->Height;
  channel->BitsPerPixel = mode->BitsPerPixel;
  channel->ModeExtra = mode->ModeExtra;
  channel->Stride = mode->Width * 4u;
  channel->ModeChangePending = pending;
  channel->RefreshPending = pending ? (UCHAR)(refresh | channel->RefreshPending) : 0;
  if (!pending) channel->StopRequested = 0;
  KeReleaseSpinLock(&channel->StateLock, irql);
}

// The first mode of an output goes to the adapter at once, from the requesting thread, before
// the worker may send anything for it.
// An output activated again over its own store sends the whole store: what was presented while
// it was stopped, and what a stop overtook in the queue, which activation empties; the far side
// keeps its picture where the size stays. A store that starts black is a display's first picture.
// Under WorkerLock, with the adapter seen started under it.
NTSTATUS ActivateOutput(DisplayChannel* channel, const ModeFields* mode, StoreOutcome store) {
  UCHAR block[kCommandBlockSize];
  BuildModeBlock(block, InterlockedCompareExchange(&channel->DisplayId, 0, 0), mode);
  SetModeFields(channel, mode, 0, 0);
  InterlockedExchange(&channel->Streaming, 1);
  // A block that did not go is the worker's to send again, before any picture of the output; the
  // worker is woken for it, since its first pass may come before the output is active.
  BOOLEAN owed =
      !NT_SUCCESS(SendCommandBlock(channel->Owner, block)) && !IsDeviceGone(channel->Owner);
  if (owed) SetModeFields(channel, mode, 1, 0);
  NTSTATUS status = StartFrameWorker(channel);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&channel->Streaming, 0);
    return status;
  }
  if (store != StoreStartsBlack) QueueWholeOutput(channel, mode->Width, mode->Height);
  if (owed) KeSetEvent(&channel->Owner->WakeEvent, IO_NO_INCREMENT, FALSE);
  return status;
}

BOOLEAN SourceRowsFit(const UpdateDescriptor* d, ULONG rowBytes) {
  ULONG offset, length;
  return SourceRowsSpan(d, rowBytes, &offset, &length);
}

BOOLEAN UpdateFitsMode(const UpdateDescriptor* d, const ChannelMode* mode) {
  if (d->Left < 0 || d->Top < 0 || d->Left >= d->Right || d->Top >= d->Bottom) return FALSE;
  if ((ULONG)d->Right > mode->Width || (ULONG)d->Bottom > mode->Height) return FALSE;
  UCHAR bpp = d->BitsPerPixel;
  if ((bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) || bpp > mode->BitsPerPixel) return FALSE;
  return SourceRowsFit(d, (ULONG)(d->Right - d->Left) * (bpp / 8));
}

// Copies the rectangle's rows into the FrameStore; FALSE when the store cannot hold them (none,
// or a mode change under way laid it out for another mode than the one read before).
BOOLEAN CopyIntoFrameStore(DisplayChannel* channel, const ChannelMode* mode,
                           const UpdateDescriptor* d, const UCHAR* pixels) {
  ULONG destBytes = mode->BitsPerPixel / 8;
  ULONG rowBytes = (ULONG)(d->Right - d->Left) * (d->BitsPerPixel / 8);
  ULONGLONG end = (ULONGLONG)(d->Bottom - 1) * mode->Stride + (ULONGLONG)d->Left * destBytes +
                  rowBytes;
  if (channel->FrameStore == NULL || end > channel->FrameStoreSize) return FALSE;
  if (!StoreMatchesMode(channel, mode)) return FALSE;
  PUCHAR dest = channel->FrameStore + (ULONG)d->Top * mode->Stride + (ULONG)d->Left * destBytes;
  const UCHAR* source = pixels + d->SourceOffset;
  for (LONG row = d->Top; row < d->Bottom; row++) {
    RtlCopyMemory(dest, source, rowBytes);
    source += d->SourcePitch;
    dest += mode->Stride;
  }
  return TRUE;
}

}  // namespace

BOOLEAN SourceRowsSpan(const UpdateDescriptor* d, ULONG rowBytes, ULONG* offset, ULONG* length) {
  LONGLONG first = d->SourceOffset;
  LONGLONG last = first + (LONGLONG)d->SourcePitch * ((LONGLONG)d->Bottom - d->Top - 1);
  LONGLONG low = first < last ? first : last;
  LONGLONG end = (first < last ? last : first) + rowBytes;
  if (low < 0 || end > (LONGLONG)d->TotalSize) return FALSE;
  *offset = (ULONG)low;
  *length = (ULONG)(end - low);
  return TRUE;
}

ChannelMode ReadChannelMode(DisplayChannel* channel) {
  KIRQL irql;
  KeAcquireSpinLock(&channel->StateLock, &irql);
  ChannelMode mode = ChannelModeLocked(channel);
  KeReleaseSpinLock(&channel->StateLock, irql);
  return mode;
}

namespace {

// The mode of an active output, or the activation of one, under WorkerLock. A stopped adapter
// keeps the mode an output streamed with, to resume it when it starts again: a mode it cannot take
// is refused before the store is laid out for it, so that the store keeps the picture the far side
// is owed. A stop sets the adapter's state before it takes the lock to stop the worker, so an
// output activated here is one that stop then stops and resumes.
NTSTATUS SetOutputModeLocked(DisplayChannel* channel, const ModeFields* mode) {
  BusDeviceContext* bus = channel->Owner;
  BOOLEAN active = InterlockedCompareExchange(&channel->Active, 0, 0) != 0;
  StoreOutcome store;
  NTSTATUS status = !active && !IsBusStarted(bus) ? STATUS_DEVICE_NOT_READY
                                                  : ProvideFrameStore(channel, mode, &store);
  if (NT_SUCCESS(status) && active) {
    // The worker announces it on its next visit; a store made black then goes whole, since the
    // far side keeps its picture where the size stays.
    SetModeFields(channel, mode, 1, store == StoreRelaidOut);
    KeSetEvent(&bus->WakeEvent, IO_NO_INCREMENT, FALSE);
  } else if (NT_SUCCESS(status)) {
    status = ActivateOutput(channel, mode, store);
  }
  return status;
}

// An output that streamed before a stop and is not active again, the adapter started: owed its
// resumption, which its next present tries (see StoreUpdate).
BOOLEAN OutputIsOwed(DisplayChannel* channel) {
  return !InterlockedCompareExchange(&channel->Active, 0, 0) &&
         InterlockedCompareExchange(&channel->Streaming, 0, 0) && IsBusStarted(channel->Owner);
}

// A resumption that failed (no worker thread, no memory, a stop again) keeps the output owed it,
// for the next start, cancelled stop or present of the output to try again: otherwise its presents
// would be answered and never sent.
NTSTATUS ResumeOutputLocked(DisplayChannel* channel, const ModeFields* mode) {
  NTSTATUS status = SetOutputModeLocked(channel, mode);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&channel->Streaming, 1);
    KX_TRACE(KX_TRACE_WARNING, "output %lu not resumed: 0x%08lX\n", channel->Index, (ULONG)status);
  }
  return status;
}

ModeFields FieldsOf(const ChannelMode* mode) {
  ModeFields fields = {(USHORT)mode->Width, (USHORT)mode->Height, (USHORT)mode->BitsPerPixel,
                       (USHORT)mode->ModeExtra};
  return fields;
}

// The present's own try: the output may have been resumed since the caller looked.
NTSTATUS ResumeOwedOutput(DisplayChannel* channel) {
  BusDeviceContext* bus = channel->Owner;
  KeWaitForSingleObject(&bus->WorkerLock, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = STATUS_SUCCESS;
  if (OutputIsOwed(channel)) {
    ChannelMode current = ReadChannelMode(channel);
    ModeFields mode = FieldsOf(&current);
    status = ResumeOutputLocked(channel, &mode);
  }
  KeReleaseMutex(&bus->WorkerLock, FALSE);
  return status;
}

}  // namespace

NTSTATUS SetOutputMode(DisplayChannel* channel, USHORT width, USHORT height, USHORT bitsPerPixel,
                       USHORT modeExtra) {
  if (!ModeIsValid(width, height, bitsPerPixel)) return STATUS_INVALID_PARAMETER;
  ModeFields mode = {width, height, bitsPerPixel, modeExtra};
  BusDeviceContext* bus = channel->Owner;
  KeWaitForSingleObject(&bus->WorkerLock, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = SetOutputModeLocked(channel, &mode);
  KeReleaseMutex(&bus->WorkerLock, FALSE);
  return status;
}

// A streaming output whose worker was stopped: the adapter is told its mode again and the worker
// takes it back. A store that still holds the output's picture is sent whole, so that the far
// side also shows what was presented while the worker was stopped.
NTSTATUS ResumeOutput(DisplayChannel* channel, const ChannelMode* mode) {
  if (!ModeIsValid((USHORT)mode->Width, (USHORT)mode->Height, (USHORT)mode->BitsPerPixel)) {
    return STATUS_INVALID_PARAMETER;
  }
  ModeFields fields = FieldsOf(mode);
  BusDeviceContext* bus = channel->Owner;
  KeWaitForSingleObject(&bus->WorkerLock, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = ResumeOutputLocked(channel, &fields);
  KeReleaseMutex(&bus->WorkerLock, FALSE);
  return status;
}

void ResumeStreamingOutputs(BusDeviceContext* bus) {
  KeWaitForSingleObject(&bus->ChildCreationLock, Executive, KernelMode, FALSE, NULL);
  for (ULONG i = 0; i < kChannelCount; i++) {
    DisplayChannel* channel = &bus->Channels[i];
    if (channel->Free || !InterlockedCompareExchange(&channel->Streaming, 0, 0)) continue;
    ChannelMode mode = ReadChannelMode(channel);
    ResumeOutput(channel, &mode);
  }
  KeReleaseMutex(&bus->ChildCreationLock, FALSE);
}

NTSTATUS StoreUpdate(DisplayChannel* channel, const UpdateDescriptor* descriptor,
                     const UCHAR* pixels) {
  ChannelMode mode = ReadChannelMode(channel);
  if (!UpdateFitsMode(descriptor, &mode)) return STATUS_INVALID_PARAMETER;
  if (OutputIsOwed(channel)) {
    // Resumed before the copy, so that a present answered with success is one the worker sends.
    NTSTATUS status = ResumeOwedOutput(channel);
    if (!NT_SUCCESS(status)) return status;
  }
  if (!WaitFrameLock(channel)) return STATUS_DEVICE_BUSY;
  BOOLEAN copied = CopyIntoFrameStore(channel, &mode, descriptor, pixels);
  KeReleaseMutex(&channel->FrameLock, FALSE);
  return copied ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

void QueueUpdate(DisplayChannel* channel, const UpdateDescriptor* descriptor) {
  UpdateRect rect = {descriptor->Left, descriptor->Top, descriptor->Right, descriptor->Bottom};
  QueueRect(channel, rect);
}

NTSTATUS StopOutput(DisplayChannel* channel) {
  KIRQL irql;
  KeAcquireSpinLock(&channel->StateLock, &irql);
  channel->StopRequested = 1;
  KeReleaseSpinLock(&channel->StateLock, irql);
  KeSetEvent(&channel->Owner->WakeEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

void SetOutputInfo(DisplayChannel* channel, ULONG first, ULONG second, ULONG third) {
  channel->OutputInfo[0] = first;
  channel->OutputInfo[1] = second;
  channel->OutputInfo[2] = third;
}

LONG DeactivateOutput(DisplayChannel* channel) {
  if (InterlockedCompareExchange(&channel->Active, 0, 1) != 1) return 0;
  return InterlockedDecrement(&channel->Owner->ActiveOutputCount);
}

// A present may be copying into a store while the adapter stops: each goes under its FrameLock.
void FreeFrameStores(BusDeviceContext* bus) {
  for (ULONG i = 0; i < kChannelCount; i++) {
    DisplayChannel* channel = &bus->Channels[i];
    KeWaitForSingleObject(&channel->FrameLock, Executive, KernelMode, FALSE, NULL);
    if (channel->FrameStore != NULL) ExFreePoolWithTag(channel->FrameStore, kTagFrameStore);
    channel->FrameStore = NULL;
    channel->FrameStoreSize = 0;
    channel->StoreWidth = channel->StoreHeight = channel->StoreBitsPerPixel = 0;
    KeReleaseMutex(&channel->FrameLock, FALSE);
  }
}
