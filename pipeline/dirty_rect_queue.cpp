// The ring of changed rectangles of one output. Merging happens on insertion so that a burst of
// small updates reaches the worker as few rectangles.
#include "pipeline/dirty_rect_queue.h"

namespace {

ULONG Next(ULONG index) { return (index + 1) % kDirtyRectSlots; }
ULONG Previous(ULONG index) { return (index + kDirtyRectSlots - 1) % kDirtyRectSlots; }

void Unite(UpdateRect* a, const UpdateRect* b) {
  if (b->Left < a->Left) a->Left = b->Left;
  if (b->Top < a->Top) a->Top = b->Top;
  if (b->Right > a->Right) a->Right = b->Right;
  if (b->Bottom > a->Bottom) a->Bottom = b->Bottom;
}

void ClearSlot(DirtyRectQueue::Slot* slot) {
  RtlZeroMemory(&slot->Rect, sizeof slot->Rect);
  slot->Valid = 0;
}

// Slots older than `target` that now touch it are folded into it, down to the oldest.
void FoldOlder(DirtyRectQueue* queue, ULONG target) {
  UpdateRect* grown = &queue->Slots[target].Rect;
  if (target == queue->ReadIndex) return;
  for (ULONG i = Previous(target);; i = Previous(i)) {
    DirtyRectQueue::Slot* slot = &queue->Slots[i];
    if (slot->Valid && MergeRect(grown, &slot->Rect)) ClearSlot(slot);
    if (i == queue->ReadIndex) return;
  }
}

// The newest valid slot that takes `rect`, or kDirtyRectSlots.
ULONG FindTarget(DirtyRectQueue* queue, const UpdateRect* rect) {
  if (queue->ReadIndex == queue->WriteIndex) return kDirtyRectSlots;
  for (ULONG i = Previous(queue->WriteIndex);; i = Previous(i)) {
    DirtyRectQueue::Slot* slot = &queue->Slots[i];
    if (slot->Valid && MergeRect(&slot->Rect, rect)) return i;
    if (i == queue->ReadIndex) return kDirtyRectSlots;
  }
}

void Append(DirtyRectQueue* queue, const UpdateRect* rect) {
  if (Next(queue->WriteIndex) == queue->ReadIndex) {
    Unite(&queue->Slots[Previous(queue->WriteIndex)].Rect, rect);
    return;
  }
  queue->Slots[queue->WriteIndex].Rect = *rect;
  queue->Slots[queue->WriteIndex].Valid = 1;
  queue->WriteIndex = Next(queue->WriteIndex);
}

}  // namespace

BOOLEAN IsEmptyRect(const UpdateRect* rect) {
  return rect->Left == 0 && rect->Top == 0 && rect->Right == 0 && rect->Bottom == 0;
}

// The bounds are exclusive but the tests strict, so rectangles that only share an edge or a
// corner merge too.
BOOLEAN MergeRect(UpdateRect* a, const UpdateRect* b) {
  if (IsEmptyRect(b)) return TRUE;
  if (a->Bottom < b->Top || a->Top > b->Bottom || a->Right < b->Left || a->Left > b->Right) {
    return FALSE;
  }
  Unite(a, b);
  return TRUE;
}

void QueueClear(DirtyRectQueue* queue) { RtlZeroMemory(queue, sizeof *queue); }

void QueueInsert(DirtyRectQueue* queue, const UpdateRect* rect) {
  ULONG target = FindTarget(queue, rect);
  if (target == kDirtyRectSlots) {
    Append(queue, rect);
  } else {
    FoldOlder(queue, target);
  }
}

void QueueClip(DirtyRectQueue* queue, LONG width, LONG height) {
  for (ULONG i = queue->ReadIndex; i != queue->WriteIndex; i = Next(i)) {
    DirtyRectQueue::Slot* slot = &queue->Slots[i];
    if (!slot->Valid) continue;
    UpdateRect* rect = &slot->Rect;
    if (rect->Right > width) rect->Right = width;
    if (rect->Bottom > height) rect->Bottom = height;
    if (rect->Left >= rect->Right || rect->Top >= rect->Bottom) ClearSlot(slot);
  }
}

UpdateRect QueueTake(DirtyRectQueue* queue) {
  while (queue->ReadIndex != queue->WriteIndex) {
    DirtyRectQueue::Slot* slot = &queue->Slots[queue->ReadIndex];
    queue->ReadIndex = Next(queue->ReadIndex);
    if (!slot->Valid) continue;
    slot->Valid = 0;
    if (slot->Rect.Right != 0 && slot->Rect.Bottom != 0) return slot->Rect;
  }
  UpdateRect none = {0, 0, 0, 0};
  return none;
}
