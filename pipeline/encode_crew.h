// Encoding one large rectangle on several processors: the frame worker and the encode threads it
// starts when it starts and ends before it ends. The rectangle's MCU rows are cut into slices that
// the worker and the threads take in turn; each slice is coded into its own part of the encode
// buffer, and the parts are then moved together into the one stream the worker alone would have
// written, byte for byte. Every thread keeps its encoder (tables and working memory) from one
// rectangle to the next, so a small update allocates nothing.
#pragma once

#include "driver/entry_gate.h"
#include "jpeg/jpeg.h"
#include "nt.h"

constexpr ULONG kMaxEncodeThreads = 8;  // processors one rectangle may use, the worker's included
constexpr ULONG kMaxEncodeSlices = 32;

struct EncodeCrew;
struct JpegEncoder;

struct EncodeSliceOutcome {
  LONG Result;
  ULONG Length;
};

// One rectangle being shared out. The threads join it while it is open; the worker closes it once
// it has no slice left to take, and waits only for the threads that joined before that: a thread
// that wakes late finds it closed and goes back to sleep without keeping anyone waiting.
struct EncodeJob {
  const JpegEncodeParams* Params;
  ULONG Rows;        // MCU rows of the stream
  ULONG SliceCount;
  ULONG RegionSize;  // bytes of the output each slice may fill, from its index times this
  LONG NextSlice;    // the next slice to take; taken with interlocked increments
  EntryGate Gate;    // open while the worker shares the job out; closed between rectangles
  EncodeSliceOutcome Slices[kMaxEncodeSlices];
};

struct EncodeHelper {
  PVOID Thread;          // referenced while the thread exists
  JpegEncoder* Encoder;  // the thread's own, kept from job to job; freed when it ends
  KEVENT Go;             // synchronization: a job is posted, or the crew ends
  EncodeCrew* Crew;
};

struct EncodeCrew {
  ULONG HelperCount;     // encode threads running besides the worker
  LONG Ending;           // set before the threads are told to go for the last time
  JpegEncoder* Encoder;  // the worker's, kept from rectangle to rectangle until the crew ends
  EncodeJob Job;         // closed between rectangles
  EncodeHelper Helpers[kMaxEncodeThreads - 1];
};

// The worker's: starts up to `processors` - 1 encode threads. A thread that cannot be created only
// leaves the crew smaller; the worker always encodes.
void StartEncodeCrew(EncodeCrew* crew, ULONG processors);
// The worker's, before it ends: ends every encode thread and waits for it.
void EndEncodeCrew(EncodeCrew* crew);
// JpegEncodeFrameSaved with the crew's kept encoders, shared with the crew when the rectangle is
// large enough to gain by it: the same result and, on success, the same stream in the output.
LONG EncodeWithCrew(EncodeCrew* crew, JpegEncodeParams* params);
