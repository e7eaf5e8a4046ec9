// The frame worker: one system thread per adapter that visits the ten outputs round-robin,
// announcing pending modes and stops and sending one changed rectangle per output per pass. It
// sleeps only after a pass that found nothing to do, for at most 3 seconds at a time, or for a
// short pause after a pass whose only work failed, before it tries that work again.
#include "driver/kxbus.h"
#include "pipeline/command_block.h"

namespace {

constexpr LONGLONG kFrameLockTimeout = -20000000LL;  // 2 seconds, relative
constexpr LONGLONG kIdleTimeout = -30000000LL;       // 3 seconds, relative
constexpr LONGLONG kRetryPause = -500000LL;          // 50 milliseconds, relative

BOOLEAN WorkerIsRunning(BusDeviceContext* bus) {
  return InterlockedCompareExchange(&bus->WorkerRunning, 0, 0) != 0;
}

BOOLEAN StopSignalled(BusDeviceContext* bus) {
  LARGE_INTEGER now;
  now.QuadPart = 0;
  return KeWaitForSingleObject(&bus->StopEvent, Executive, KernelMode, FALSE, &now) ==
         STATUS_SUCCESS;
}

// What the worker found pending on an output, cleared as it is taken.
struct PendingWork {
  UCHAR StopRequested;
  UCHAR ModeChangePending;
  UCHAR RefreshPending;
  ChannelMode Mode;
};

PendingWork TakePendingWork(DisplayChannel* channel) {
  PendingWork work;
  KIRQL irql;
  KeAcquireSpinLock(&channel->StateLock, &irql);
  work.StopRequested = channel->StopRequested;
  work.ModeChangePending = channel->ModeChangePending;
  work.RefreshPending = channel->RefreshPending;
  channel->StopRequested = 0;
  channel->ModeChangePending = 0;
  channel->RefreshPending = 0;
  work.Mode = ChannelModeLocked(channel);
  KeReleaseSpinLock(&channel->StateLock, irql);
  return work;
}

void SendStop(DisplayChannel* channel, LONG displayId) {
  UCHAR block[kCommandBlockSize];
  BuildStopBlock(block, displayId);
  SendCommandBlock(channel->Owner, block);
}

NTSTATUS SendMode(DisplayChannel* channel, LONG displayId, const ChannelMode* mode) {
  UCHAR block[kCommandBlockSize];
  ModeFields fields = {(USHORT)mode->Width, (USHORT)mode->Height, (USHORT)mode->BitsPerPixel,
                       (USHORT)mode->ModeExtra};
  BuildModeBlock(block, displayId, &fields);
  return SendCommandBlock(channel->Owner, block);
}

// A mode block that did not go is owed again: whatever mode is current then goes in its place.
void OweModeAgain(DisplayChannel* channel, UCHAR refresh) {
  KIRQL irql;
  KeAcquireSpinLock(&channel->StateLock, &irql);
  channel->ModeChangePending = 1;
  channel->RefreshPending |= refresh;
  KeReleaseSpinLock(&channel->StateLock, irql);
}

// The far side knows the new mode: rectangles queued for the mode before keep only what lies
// inside this one, and a store the change made black goes whole.
void FollowModeAnnouncement(DisplayChannel* channel, const PendingWork* work) {
  KIRQL irql;
  KeAcquireSpinLock(&channel->QueueLock, &irql);
  QueueClip(&channel->Queue, (LONG)work->Mode.Width, (LONG)work->Mode.Height);
  KeReleaseSpinLock(&channel->QueueLock, irql);
  if (work->RefreshPending) QueueWholeOutput(channel, work->Mode.Width, work->Mode.Height);
}

// What one visit of an output came to.
enum VisitResult { VisitIdle, VisitWorked, VisitFailed };

BOOLEAN TakeRect(DisplayChannel* channel, UpdateRect* rect) {
  KIRQL irql;
  KeAcquireSpinLock(&channel->QueueLock, &irql);
  *rect = QueueTake(&channel->Queue);
  KeReleaseSpinLock(&channel->QueueLock, irql);
  return !IsEmptyRect(rect);
}

// One visit of an output. The display's identifier is read once and names the output in every
// block of the visit: a removal may free the channel meanwhile (it sets Free and the identifier
// together), and a block must never go out for no display.
VisitResult VisitOutput(DisplayChannel* channel) {
  LONG displayId = InterlockedCompareExchange(&channel->DisplayId, 0, 0);
  if (displayId == kNoDisplay) return VisitIdle;
  if (!InterlockedCompareExchange(&channel->Active, 0, 0)) return VisitIdle;
  PendingWork work = TakePendingWork(channel);
  if (work.StopRequested) {
    InterlockedExchange(&channel->Streaming, 0);
    SendStop(channel, displayId);
    DeactivateOutput(channel);
    return VisitIdle;
  }
  if (work.ModeChangePending) {
    InterlockedExchange(&channel->Streaming, 1);
    if (!NT_SUCCESS(SendMode(channel, displayId, &work.Mode)) && !IsDeviceGone(channel->Owner)) {
      OweModeAgain(channel, work.RefreshPending);
      return VisitFailed;
    }
    FollowModeAnnouncement(channel, &work);
    return VisitWorked;
  }
  UpdateRect rect;
  if (!InterlockedCompareExchange(&channel->Streaming, 0, 0) || !TakeRect(channel, &rect)) {
    return VisitIdle;
  }
  BandOutcome outcome = EncodeAndSendRect(channel, displayId, &work.Mode,
                                          AlignRect(rect, work.Mode.Width, work.Mode.Height));
  return outcome == BandFailed ? VisitFailed : VisitWorked;
}

// FALSE when the worker is to end.
BOOLEAN RunPass(BusDeviceContext* bus) {
  BOOLEAN worked = FALSE;
  BOOLEAN failed = FALSE;
  for (ULONG i = 0; i < kChannelCount; i++) {
    if (StopSignalled(bus)) return FALSE;
    VisitResult result = VisitOutput(&bus->Channels[i]);
    if (result == VisitWorked) worked = TRUE;
    if (result == VisitFailed) failed = TRUE;
  }
  if (worked) return TRUE;
  // A full pass always follows the reset, so resetting the wake event loses no work. After a
  // failure the pause is short, and what failed is tried again when it ends.
  PVOID events[2] = {&bus->StopEvent, &bus->WakeEvent};
  LARGE_INTEGER timeout;
  timeout.QuadPart = failed ? kRetryPause : kIdleTimeout;
  KWAIT_BLOCK waitBlocks[2];
  NTSTATUS woken = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                            &timeout, waitBlocks);
  if (woken == STATUS_WAIT_0) return FALSE;
  if (woken == STATUS_TIMEOUT && !failed) {
    KX_TRACE(KX_TRACE_VERBOSE, "frame worker: idle for 3 seconds\n");
  }
  KeClearEvent(&bus->WakeEvent);
  return TRUE;
}

VOID NTAPI FrameWorker(PVOID context) {
  BusDeviceContext* bus = (BusDeviceContext*)context;
  if (WorkerIsRunning(bus)) {
    StartEncodeCrew(&bus->Crew, bus->EncodeThreads);
    while (RunPass(bus) && WorkerIsRunning(bus)) {
    }
    EndEncodeCrew(&bus->Crew);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Creates the thread and keeps a reference to it; on failure nothing claims a thread.
NTSTATUS CreateWorkerThread(BusDeviceContext* bus) {
  InterlockedExchange(&bus->WorkerRunning, 1);
  KeClearEvent(&bus->StopEvent);
  HANDLE handle;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, FrameWorker, bus);
  if (!NT_SUCCESS(status)) {
    KX_TRACE(KX_TRACE_ERROR, "frame worker not created: 0x%08X\n", (ULONG)status);
    InterlockedExchange(&bus->WorkerRunning, 0);
    return status;
  }
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                     &bus->WorkerThread, NULL);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // Without the object nobody could wait for the thread: it is told to end at once instead,
    // which it does before touching any output.
    InterlockedExchange(&bus->WorkerRunning, 0);
    KeSetEvent(&bus->StopEvent, IO_NO_INCREMENT, FALSE);
    bus->WorkerThread = NULL;
  }
  return status;
}

}  // namespace

void InitializeFrameWorker(BusDeviceContext* bus) {
  KeInitializeEvent(&bus->StopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&bus->WakeEvent, NotificationEvent, FALSE);
  KeInitializeMutex(&bus->WorkerLock, 0);
  KeInitializeMutex(&bus->Channel1Lock, 0);
}

BOOLEAN WaitFrameLock(DisplayChannel* channel) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = kFrameLockTimeout;
  return KeWaitForSingleObject(&channel->FrameLock, Executive, KernelMode, FALSE, &timeout) ==
         STATUS_SUCCESS;
}

// Activation and the worker's creation happen under WorkerLock, which the caller holds, so that
// two outputs activated at once start one thread, and a stop never misses a thread being created.
// Only a started adapter gets a worker (its buffers exist and its pipes are open): the caller saw
// the adapter started under the lock. The state is set before a stop or removal takes WorkerLock
// to stop the worker, so a worker started here is stopped by that stop, and once that is done no
// output can bring it back until the adapter is started again.
NTSTATUS StartFrameWorker(DisplayChannel* channel) {
  BusDeviceContext* bus = channel->Owner;
  NTSTATUS status = STATUS_SUCCESS;
  if (!InterlockedCompareExchange(&channel->Active, 0, 0)) {
    KIRQL irql;
    KeAcquireSpinLock(&channel->QueueLock, &irql);
    QueueClear(&channel->Queue);
    KeReleaseSpinLock(&channel->QueueLock, irql);
    if (!WorkerIsRunning(bus)) status = CreateWorkerThread(bus);
    if (NT_SUCCESS(status)) {
      KeAcquireSpinLock(&channel->StateLock, &irql);
      channel->StopRequested = 0;
      KeReleaseSpinLock(&channel->StateLock, irql);
      InterlockedExchange(&channel->Active, 1);
      InterlockedIncrement(&bus->ActiveOutputCount);
    }
  }
  return status;
}

void StopFrameWorker(BusDeviceContext* bus) {
  KeWaitForSingleObject(&bus->WorkerLock, Executive, KernelMode, FALSE, NULL);
  InterlockedExchange(&bus->ActiveOutputCount, 0);
  if (InterlockedExchange(&bus->WorkerRunning, 0) != 0) {
    KeSetEvent(&bus->StopEvent, IO_NO_INCREMENT, FALSE);
    if (bus->WorkerThread != NULL) {
      KeWaitForSingleObject(bus->WorkerThread, Executive, KernelMode, FALSE, NULL);
      ObfDereferenceObject(bus->WorkerThread);
      bus->WorkerThread = NULL;
    }
  }
  for (ULONG i = 0; i < kChannelCount; i++) InterlockedExchange(&bus->Channels[i].Active, 0);
  KeReleaseMutex(&bus->WorkerLock, FALSE);
}

namespace {

void InsertRect(DisplayChannel* channel, UpdateRect rect, BOOLEAN wake) {
  BusDeviceContext* bus = channel->Owner;
  if (!WorkerIsRunning(bus) || IsEmptyRect(&rect)) return;
  ChannelMode mode = ReadChannelMode(channel);
  if (rect.Left < 0) rect.Left = 0;
  if (rect.Top < 0) rect.Top = 0;
  if (rect.Right < 0) rect.Right = 0;
  if (rect.Bottom < 0) rect.Bottom = 0;
  if ((ULONG)rect.Right > mode.Width) rect.Right = (LONG)mode.Width;
  if ((ULONG)rect.Left > mode.Width) rect.Left = (LONG)mode.Width;
  if ((ULONG)rect.Bottom > mode.Height) rect.Bottom = (LONG)mode.Height;
  if ((ULONG)rect.Top > mode.Height) rect.Top = (LONG)mode.Height;
  if (rect.Left >= rect.Right || rect.Top >= rect.Bottom) return;
  KIRQL irql;
  KeAcquireSpinLock(&channel->QueueLock, &irql);
  QueueInsert(&channel->Queue, &rect);
  KeReleaseSpinLock(&channel->QueueLock, irql);
  if (wake) KeSetEvent(&bus->WakeEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

void QueueRect(DisplayChannel* channel, UpdateRect rect) { InsertRect(channel, rect, TRUE); }

void QueueWholeOutput(DisplayChannel* channel, ULONG width, ULONG height) {
  UpdateRect whole = {0, 0, (LONG)width, (LONG)height};
  QueueRect(channel, whole);
}

void RequeueRect(DisplayChannel* channel, UpdateRect rect, BOOLEAN wake) {
  InsertRect(channel, rect, wake);
}

namespace {

// A coordinate above 0 moves out to the grid line before it: one already on the grid moves a
// whole block (16 becomes 0, 17 becomes 16).
LONG AlignDown(LONG value) { return value > 0 ? ((value - 1) / 16) * 16 : value; }
LONG AlignUp(LONG value, ULONG limit) {
  LONG aligned = ((value + 15) / 16) * 16;
  return (ULONG)aligned > limit ? (LONG)limit : aligned;
}
// An edge strip narrower than 8 pixels is no image the encoder takes: it grows back into the
// output to a grid line at least 16 pixels before its end.
LONG Widened(LONG start, LONG end) {
  if (end - start >= 8) return start;
  LONG widened = ((end - 16) / 16) * 16;
  return widened < 0 ? 0 : widened;
}

}  // namespace

UpdateRect AlignRect(UpdateRect rect, ULONG width, ULONG height) {
  rect.Left = AlignDown(rect.Left);
  rect.Top = AlignDown(rect.Top);
  rect.Right = AlignUp(rect.Right, width);
  rect.Bottom = AlignUp(rect.Bottom, height);
  rect.Left = Widened(rect.Left, rect.Right);
  rect.Top = Widened(rect.Top, rect.Bottom);
  return rect;
}
