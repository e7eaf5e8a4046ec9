// One display output of the adapter: ten of these live inside BusDeviceContext. A request on the
// adapter reaches its channel through the handle selector of its file; a child through its
// ChannelIndex.
#pragma once

#include "nt.h"
#include "pipeline/dirty_rect_queue.h"

constexpr ULONG kChannelCount = 10;
constexpr LONG kNoDisplay = -1;

struct BusDeviceContext;

// Locks: StateLock guards Streaming, StopRequested, ModeChangePending and the mode fields while a
// change is pending; QueueLock guards Queue; FrameLock (waited for at most 2 seconds) guards
// FrameStore and its pixels. The two spin locks are never held together.
struct DisplayChannel {
  ULONG Index;
  UCHAR Free;       // 1 while no display is attached
  LONG DisplayId;   // kNoDisplay when none
  BusDeviceContext* Owner;
  KMUTEX FrameLock;
  PUCHAR FrameStore;  // Width * Height * 4 + 1024 bytes once a mode is set
  ULONG Stride;       // Width * 4
  ULONG Width;
  ULONG Height;
  ULONG BitsPerPixel;
  ULONG ModeExtra;
  KSPIN_LOCK StateLock;
  UCHAR Streaming;
  UCHAR StopRequested;
  KSPIN_LOCK QueueLock;
  DirtyRectQueue Queue;
  UCHAR ModeChangePending;
  UCHAR Active;
  ULONG OutputInfo[3];
};
