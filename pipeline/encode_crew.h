// Encoding one large rectangle on several processors: the frame worker and the encode threads it
// starts when it starts and ends before it ends. The rectangle's MCU rows are cut into slices that
// the worker and the threads take in turn; each slice is coded into its own part of the encode
// buffer, and the parts are then moved together into the one stream the worker alone would have
// written, byte for byte. Every thread keeps its encoder (tables and working memory) from one
// rectangle to the next, so a small update allocates nothing.
#pragma once

#include "jpeg/jpeg.h"
#include "nt.h"

constexpr ULONG kMaxEncodeThreads = 8;  // processors one rectangle may use, the worker's included

struct EncodeJob;
struct EncodeCrew;

struct JpegEncoder;

struct EncodeHelper {
  PVOID Thread;  // referenced while the thread exists
  JpegEncoder* Encoder;  // the thread's own, kept from job to job; freed when it ends
  KEVENT Go;     // synchronization: a job is posted, or the crew ends (no job)
  KEVENT Done;   // synchronization: the thread is through with the job
  EncodeCrew* Crew;
};

struct EncodeCrew {
  ULONG HelperCount;  // encode threads running besides the worker
  JpegEncoder* Encoder;  // the worker's, kept from rectangle to rectangle until the crew ends
  EncodeJob* Job;     // the job being shared out, set before the threads are told to go
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
