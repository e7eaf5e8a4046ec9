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

// The queue's operations; the caller holds the channel's QueueLock around each.
void QueueClear(DirtyRectQueue* queue);
// Merges `rect` into a queued rectangle it touches or overlaps (the newest first), folding older
// ones that then touch the grown one into it; otherwise appends it. A full queue grows its newest
// rectangle to cover it: nothing is ever refused.
void QueueInsert(DirtyRectQueue* queue, const UpdateRect* rect);
// Limits every queued rectangle to a width x height output (a new mode); one left with nothing
// inside it is cleared.
void QueueClip(DirtyRectQueue* queue, LONG width, LONG height);
// The oldest rectangle, or four zeros when none is queued.
UpdateRect QueueTake(DirtyRectQueue* queue);

// Grows `a` to the bounding box of `a` and `b` when they overlap or touch (a shared edge or
// corner counts); TRUE then, and TRUE for an all-zero `b`, which changes nothing.
BOOLEAN MergeRect(UpdateRect* a, const UpdateRect* b);
BOOLEAN IsEmptyRect(const UpdateRect* rect);
