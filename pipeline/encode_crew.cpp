// The frame worker's encode threads and the sharing of one rectangle among them.
//
// Rules:
// - Only the worker posts jobs and starts or ends the crew, so the crew needs no lock: the job is
//   set before the threads' Go events and read after them, and the worker reads the slices'
//   outcomes only after every thread's Done event.
// - Each thread (the worker too) saves the vector state its stages use around its part of a job
//   and codes its slices with its own slice encoder, kept from job to job and set up anew for
//   each (tables and working memory stay; the memory grows for a wider rectangle).
// - A rectangle is shared only when each processor gets enough pixels to pay for waking it; the
//   slices, several per processor, even out rows that code slower than others.
// - Any slice that failed (memory, or a part of the buffer too small for its bytes) sends the whole
//   rectangle through the worker alone, which then gives the result it would have given anyway.
#include "pipeline/encode_crew.h"

#include "jpeg/slices.h"
#include "platform/trace.h"

namespace {

constexpr ULONG kMaxSlices = 32;
constexpr ULONG kSlicesPerProcessor = 4;
constexpr ULONGLONG kMinSharedPixels = 256 * 256;
constexpr ULONGLONG kMinSlicePixels = 128 * 128;

struct SliceOutcome {
  LONG Result;
  ULONG Length;
};

}  // namespace

struct EncodeJob {
  const JpegEncodeParams* Params;
  ULONG Rows;        // MCU rows of the stream
  ULONG SliceCount;
  ULONG RegionSize;  // bytes of the output each slice may fill, from its index times this
  LONG NextSlice;    // the next slice to take; taken with interlocked increments
  SliceOutcome Slices[kMaxSlices];
};

namespace {

// `*encoder` set up for the job's stream with `stages`: the one kept from before, or a new one.
LONG PrepareEncoder(JpegEncoder** encoder, const JpegEncodeParams* params,
                    const JpegStageRoutines* stages) {
  if (*encoder != NULL) return JpegReuseSliceEncoder(*encoder, params, stages);
  return JpegCreateSliceEncoder(params, stages, encoder);
}

// Takes slices until none is left, with the thread's kept encoder.
void RunSlices(EncodeJob* job, JpegEncoder** encoder) {
  JpegVectorState state;
  const JpegStageRoutines* stages = JpegSaveVectorState(&state);
  LONG prepared = JpegResultBadArgument;
  BOOLEAN tried = FALSE;
  for (;;) {
    LONG index = InterlockedIncrement(&job->NextSlice) - 1;
    if (index >= (LONG)job->SliceCount) break;
    SliceOutcome* outcome = &job->Slices[index];
    if (!tried) prepared = PrepareEncoder(encoder, job->Params, stages);
    tried = TRUE;
    outcome->Result = prepared;
    if (prepared != JpegResultOk) continue;
    ULONG first = (ULONG)((ULONGLONG)job->Rows * (ULONG)index / job->SliceCount);
    ULONG end = (ULONG)((ULONGLONG)job->Rows * (ULONG)(index + 1) / job->SliceCount);
    PUCHAR region = job->Params->Output + (ULONG)index * job->RegionSize;
    outcome->Result =
        JpegEncodeSlice(*encoder, first, end - first, region, job->RegionSize, &outcome->Length);
  }
  JpegRestoreVectorState(&state);
}

// The whole stream by the worker alone, with its kept encoder.
LONG EncodeAlone(EncodeCrew* crew, JpegEncodeParams* params) {
  JpegVectorState state;
  const JpegStageRoutines* stages = JpegSaveVectorState(&state);
  LONG result = PrepareEncoder(&crew->Encoder, params, stages);
  ULONG length;
  if (result == JpegResultOk) {
    result = JpegEncodeSlice(crew->Encoder, 0, JpegMcuRowCount(params), params->Output,
                             (ULONG)params->OutputCapacity, &length);
  }
  JpegRestoreVectorState(&state);
  if (result == JpegResultOk) params->OutputLength = (LONG)length;
  return result;
}

VOID NTAPI EncodeThread(PVOID context) {
  EncodeHelper* helper = (EncodeHelper*)context;
  for (;;) {
    KeWaitForSingleObject(&helper->Go, Executive, KernelMode, FALSE, NULL);
    EncodeJob* job = helper->Crew->Job;
    if (job == NULL) break;
    RunSlices(job, &helper->Encoder);
    KeSetEvent(&helper->Done, IO_NO_INCREMENT, FALSE);
  }
  if (helper->Encoder != NULL) JpegDestroySliceEncoder(helper->Encoder);
  helper->Encoder = NULL;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

BOOLEAN StartHelper(EncodeCrew* crew, EncodeHelper* helper) {
  helper->Crew = crew;
  helper->Thread = NULL;
  helper->Encoder = NULL;
  KeInitializeEvent(&helper->Go, SynchronizationEvent, FALSE);
  KeInitializeEvent(&helper->Done, SynchronizationEvent, FALSE);
  HANDLE handle;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, EncodeThread, helper);
  if (!NT_SUCCESS(status)) {
    KX_TRACE(KX_TRACE_WARNING, "encode thread not created: 0x%08X\n", (ULONG)status);
    return FALSE;
  }
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &helper->Thread,
                                     NULL);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // Nobody could wait for it: it is told to end at once, before it touches any job.
    helper->Thread = NULL;
    KeSetEvent(&helper->Go, IO_NO_INCREMENT, FALSE);
    return FALSE;
  }
  return TRUE;
}

// Slices for the crew as it stands; below 2 the worker codes the rectangle alone.
ULONG SliceCountFor(const EncodeCrew* crew, const JpegEncodeParams* params, ULONG rows) {
  ULONG processors = crew->HelperCount + 1;
  if (processors < 2 || rows < 2) return 1;
  ULONGLONG pixels = (ULONGLONG)(ULONG)params->Width * (ULONG)params->Height;
  if (pixels < kMinSharedPixels) return 1;
  ULONGLONG slices = processors * kSlicesPerProcessor;
  if (slices > kMaxSlices) slices = kMaxSlices;
  if (slices > rows) slices = rows;
  if (slices > pixels / kMinSlicePixels) slices = pixels / kMinSlicePixels;
  return (ULONG)slices;
}

// The slices' bytes moved together behind the first one's; FALSE when a slice failed.
BOOLEAN JoinSlices(const EncodeJob* job, JpegEncodeParams* params) {
  for (ULONG i = 0; i < job->SliceCount; i++) {
    if (job->Slices[i].Result != JpegResultOk) return FALSE;
  }
  ULONG position = job->Slices[0].Length;
  for (ULONG i = 1; i < job->SliceCount; i++) {
    RtlMoveMemory(params->Output + position, params->Output + i * job->RegionSize,
                  job->Slices[i].Length);
    position += job->Slices[i].Length;
  }
  params->OutputLength = (LONG)position;
  return TRUE;
}

}  // namespace

void StartEncodeCrew(EncodeCrew* crew, ULONG processors) {
  crew->HelperCount = 0;
  crew->Job = NULL;
  crew->Encoder = NULL;
  if (processors > kMaxEncodeThreads) processors = kMaxEncodeThreads;
  while (crew->HelperCount + 1 < processors &&
         StartHelper(crew, &crew->Helpers[crew->HelperCount])) {
    crew->HelperCount++;
  }
}

void EndEncodeCrew(EncodeCrew* crew) {
  crew->Job = NULL;
  for (ULONG i = 0; i < crew->HelperCount; i++) {
    EncodeHelper* helper = &crew->Helpers[i];
    KeSetEvent(&helper->Go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(helper->Thread, Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(helper->Thread);
    helper->Thread = NULL;
  }
  crew->HelperCount = 0;
  if (crew->Encoder != NULL) JpegDestroySliceEncoder(crew->Encoder);
  crew->Encoder = NULL;
}

LONG EncodeWithCrew(EncodeCrew* crew, JpegEncodeParams* params) {
  ULONG rows = JpegMcuRowCount(params);
  ULONG slices = SliceCountFor(crew, params, rows);
  if (slices < 2) return EncodeAlone(crew, params);
  EncodeJob job;
  job.Params = params;
  job.Rows = rows;
  job.SliceCount = slices;
  job.RegionSize = (ULONG)params->OutputCapacity / slices;
  job.NextSlice = 0;
  crew->Job = &job;
  for (ULONG i = 0; i < crew->HelperCount; i++) {
    KeSetEvent(&crew->Helpers[i].Go, IO_NO_INCREMENT, FALSE);
  }
  RunSlices(&job, &crew->Encoder);
  for (ULONG i = 0; i < crew->HelperCount; i++) {
    KeWaitForSingleObject(&crew->Helpers[i].Done, Executive, KernelMode, FALSE, NULL);
  }
  crew->Job = NULL;
  if (JoinSlices(&job, params)) return JpegResultOk;
  KX_TRACE(KX_TRACE_VERBOSE, "a shared rectangle failed in a slice: the worker codes it alone\n");
  return EncodeAlone(crew, params);
}
