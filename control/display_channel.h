// One display output of the adapter: ten of these live inside BusDeviceContext. A request on the
// adapter reaches its channel through the handle selector of its file; a child through its
// ChannelIndex.
#pragma once

#include "nt.h"
#include "pipeline/dirty_rect_queue.h"

constexpr ULONG kChannelCount = 10;
constexpr LONG kNoDisplay = -1;

struct BusDeviceContext;

// Locks: StateLock guards StopRequested, ModeChangePending, RefreshPending and the mode fields
// (Width, Height, BitsPerPixel, ModeExtra, Stride); QueueLock guards Queue; FrameLock (a kernel
// mutex, waited for at most 2 seconds) guards FrameStore, FrameStoreSize, StoreDisplay, the
// store's layout and the pixels. No two of them are ever held at once. Active and Streaming are
// read by the frame worker and the request threads alike and change only by interlocked
// operations.
struct DisplayChannel {
  ULONG Index;
  UCHAR Free;       // 1 while no display is attached
  LONG DisplayId;   // kNoDisplay when none
  BusDeviceContext* Owner;
  KMUTEX FrameLock;
  PUCHAR FrameStore;  // Width * Height * 4 + 1024 bytes once a mode is set
  ULONG FrameStoreSize;  // its size in bytes; copies never reach past it
  LONG StoreDisplay;     // the display whose pictures the FrameStore holds (interlocked)
  ULONG StoreWidth;      // the mode whose layout its pixels have: rows of StoreWidth * 4 bytes,
  ULONG StoreHeight;     // StoreBitsPerPixel / 8 bytes a pixel
  ULONG StoreBitsPerPixel;
  ULONG Stride;       // Width * 4
  ULONG Width;
  ULONG Height;
  ULONG BitsPerPixel;
  ULONG ModeExtra;
  KSPIN_LOCK StateLock;
  LONG Streaming;  // the adapter knows the current mode: rectangles may be sent
  UCHAR StopRequested;
  KSPIN_LOCK QueueLock;
  DirtyRectQueue Queue;
  UCHAR ModeChangePending;
  UCHAR RefreshPending;  // with ModeChangePending: the whole store goes after the mode
  LONG Active;  // the output takes part in the worker's passes
  ULONG OutputInfo[3];
};

// The mode fields as they stood at one moment, read under StateLock.
struct ChannelMode {
  ULONG Width;
  ULONG Height;
  ULONG BitsPerPixel;
  ULONG ModeExtra;
  ULONG Stride;
};
ChannelMode ReadChannelMode(DisplayChannel* channel);
// The same for a caller that already holds StateLock.
inline ChannelMode ChannelModeLocked(const DisplayChannel* channel) {
  return {channel->Width, channel->Height, channel->BitsPerPixel, channel->ModeExtra,
          channel->Stride};
}
// The FrameStore's pixels are laid out for a mode of this size and depth (the caller holds
// FrameLock).
inline BOOLEAN StoreHasLayout(const DisplayChannel* channel, ULONG width, ULONG height,
                              ULONG bitsPerPixel) {
  return channel->StoreWidth == width && channel->StoreHeight == height &&
         channel->StoreBitsPerPixel == bitsPerPixel;
}
// A copy in or out made with the mode read before a change of size or depth must not touch the
// store after it.
inline BOOLEAN StoreMatchesMode(const DisplayChannel* channel, const ChannelMode* mode) {
  return StoreHasLayout(channel, mode->Width, mode->Height, mode->BitsPerPixel);
}
