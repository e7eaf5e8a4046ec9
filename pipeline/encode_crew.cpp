// The frame worker's encode threads and the sharing of one rectangle among them.
//
// Rules:
// - Only the worker posts jobs and starts or ends the crew, so the crew needs no lock: the job is
//   filled in while it is closed, opened before the threads' Go events, and closed when the
//   worker finds no slice left; the worker reads the outcomes once every thread that joined has
//   left. A thread that wakes after the close keeps nobody waiting (waking a sleeping processor
//   can take longer than a small rectangle's coding).
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

constexpr ULONG kSlicesPerProcessor = 16;
constexpr ULONGLONG kMinSharedPixels = 256 * 256;
constexpr ULONGLONG kMinSlicePixels = 128 * 128;

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
    EncodeSliceOutcome* outcome = &job->Slices[index];
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
  if (result == JpegResultOk) result = JpegEncodeWholeStream(crew->Encoder, params);
  JpegRestoreVectorState(&state);
  return result;
}

VOID NTAPI EncodeThread(PVOID context) {
  EncodeHelper* helper = (EncodeHelper*)context;
  EncodeCrew* crew = helper->Crew;
  for (;;) {
    KeWaitForSingleObject(&helper->Go, Executive, KernelMode, FALSE, NULL);
    if (InterlockedCompareExchange(&crew->Ending, 0, 0)) break;
    if (!EnterGate(&crew->Job.Gate)) continue;  // woken late: the worker took every slice itself
    RunSlices(&crew->Job, &helper->Encoder);
    LeaveGate(&crew->Job.Gate);
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
    // Nobody could wait for it, and it may not take part: the crew ends here, this thread at once.
    helper->Thread = NULL;
    InterlockedExchange(&crew->Ending, 1);
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
  if (slices > kMaxEncodeSlices) slices = kMaxEncodeSlices;
  if (slices > rows) slices = rows;
  if (slices > pixels / kMinSlicePixels) slices = pixels / kMinSlicePixels;
  return (ULONG)slices;
}

// `length` bytes from `source` to `dest` at or below it, in pieces that never overlap (the
// kernel image links no memmove).
void MoveDown(PUCHAR dest, const UCHAR* source, ULONG length) {
  ULONG gap = (ULONG)(source - dest);
  if (gap == 0) return;
  while (length != 0) {
    ULONG piece = length < gap ? length : gap;
    RtlCopyMemory(dest, source, piece);
    dest += piece;
    source += piece;
    length -= piece;
  }
}

// The slices' bytes moved together behind the first one's; FALSE when a slice failed.
BOOLEAN JoinSlices(const EncodeJob* job, JpegEncodeParams* params) {
  for (ULONG i = 0; i < job->SliceCount; i++) {
    if (job->Slices[i].Result != JpegResultOk) return FALSE;
  }
  ULONG position = job->Slices[0].Length;
  for (ULONG i = 1; i < job->SliceCount; i++) {
    MoveDown(params->Output + position, params->Output + i * job->RegionSize,
             job->Slices[i].Length);
    position += job->Slices[i].Length;
  }
  params->OutputLength = (LONG)position;
  return TRUE;
}

}  // namespace

void StartEncodeCrew(EncodeCrew* crew, ULONG processors) {
  crew->HelperCount = 0;
  crew->Ending = 0;
  crew->Encoder = NULL;
  InitializeEntryGate(&crew->Job.Gate, FALSE);
  if (processors > kMaxEncodeThreads) processors = kMaxEncodeThreads;
  while (crew->HelperCount + 1 < processors &&
         StartHelper(crew, &crew->Helpers[crew->HelperCount])) {
    crew->HelperCount++;
  }
}

void EndEncodeCrew(EncodeCrew* crew) {
  InterlockedExchange(&crew->Ending, 1);
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
  EncodeJob* job = &crew->Job;
  job->Params = params;
  job->Rows = rows;
  job->SliceCount = slices;
  job->RegionSize = (ULONG)params->OutputCapacity / slices;
  job->NextSlice = 0;
  OpenEntryGate(&job->Gate);  // the threads may join from here on
  for (ULONG i = 0; i < crew->HelperCount; i++) {
    KeSetEvent(&crew->Helpers[i].Go, IO_NO_INCREMENT, FALSE);
  }
  RunSlices(job, &crew->Encoder);
  CloseEntryGate(&job->Gate);
  WaitGateEmpty(&job->Gate);
  if (JoinSlices(job, params)) return JpegResultOk;
  KX_TRACE(KX_TRACE_VERBOSE, "a shared rectangle failed in a slice: the worker codes it alone\n");
  return EncodeAlone(crew, params);
}
