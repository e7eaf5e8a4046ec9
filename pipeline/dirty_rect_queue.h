// The changed rectangles of one output waiting for the frame worker.
#pragma once

#include "nt.h"

// In output pixels; Right and Bottom are exclusive. All four 0 means no rectangle.
struct UpdateRect {
  LONG Left;
  LONG Top;
  LONG Right;
  LONG Bottom;
};

constexpr ULONG kDirtyRectSlots = 128;

// A ring: empty when ReadIndex == WriteIndex, full when WriteIndex + 1 == ReadIndex (mod 128), so it
// holds at most 127 rectangles.
struct DirtyRectQueue {
  struct Slot {
    UpdateRect Rect;
    UCHAR Valid;
  } Slots[kDirtyRectSlots];
  ULONG ReadIndex;
  ULONG WriteIndex;
};
