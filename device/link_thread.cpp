// Link supervision: in link mode 1 the far side announces its displays itself. This thread waits
// on data channel 1 for the far side's command blocks: command 16 says a display report of the
// given size follows, which is received and made a display child; command 17 withdraws a display.
#include "driver/kxbus.h"

namespace {

constexpr ULONG kBlockSize = 1024;
// The largest display report a far side can sensibly send: a header, a few thousand modes and
// the display data. A larger announcement is not trusted with an allocation of its size.
constexpr ULONG kMaxReportSize = 0x10000;
constexpr USHORT kCommandDisplayReport = 16;
constexpr USHORT kCommandRemoveDisplay = 17;
constexpr ULONG kTagLink = KX_POOL_TAG('L', 'i', 'n', 'k');
// Block receives that may fail in a row before the thread gives the channel up.
constexpr ULONG kBlockReceiveAttempts = 3;
constexpr ULONG kChannel1InError = 0x1;

// The thread's own memory. Both buffers are handed to the USB stack, which fills them at
// DISPATCH_LEVEL: they come from non-paged pool.
struct LinkContext {
  BusDeviceContext* Bus;
  PUCHAR Block;     // kBlockSize bytes
  PUCHAR Record;    // the display report being received, RecordSize bytes; NULL when none
  ULONG RecordSize;
  ULONG FailedReceives;  // block receives failed in a row
};

ULONG GetU32(const UCHAR* at) {
  return (ULONG)at[0] | (ULONG)at[1] << 8 | (ULONG)at[2] << 16 | (ULONG)at[3] << 24;
}

BOOLEAN StillRunning(BusDeviceContext* bus) {
  return InterlockedCompareExchange(&bus->LinkThreadRunning, 0, 0) != 0;
}

NTSTATUS ReceiveBlockAsync(LinkContext* link) {
  BusDeviceContext* bus = link->Bus;
  return bus->ExtendedChip ? ReadChannel1Async(bus, link->Block, kBlockSize)
                           : ReadChannel1AsyncLow(bus, link->Block, kBlockSize);
}

NTSTATUS ReceiveRecord(LinkContext* link, ULONG* received) {
  BusDeviceContext* bus = link->Bus;
  return bus->ExtendedChip ? ReadChannel1(bus, link->Record, link->RecordSize, received)
                           : ReadChannel1Low(bus, link->Record, link->RecordSize, received);
}

// A display the far side numbers as every display could never be withdrawn alone: it is not made.
void AnnounceDisplay(LinkContext* link) {
  if (link->RecordSize >= 4 && !IsSingleDisplayId(GetU32(link->Record))) {
    KX_TRACE(KX_TRACE_WARNING, "link: display %lu ignored: identifiers from %lu name every display\n",
             GetU32(link->Record), kEveryDisplay);
    return;
  }
  CreateDisplayChild(link->Bus, link->Record, link->RecordSize);
}

void FreeRecord(LinkContext* link) {
  if (link->Record != NULL) ExFreePoolWithTag(link->Record, kTagLink);
  link->Record = NULL;
  link->RecordSize = 0;
}

// A block the far side sent. FALSE when the thread must end (no memory for the report).
BOOLEAN HandleBlock(LinkContext* link) {
  const UCHAR* block = link->Block;
  if (block[0] != 'K' || block[1] != 'X' || block[2] != 'g' || block[3] != 't') return TRUE;
  USHORT command = (USHORT)(block[4] | block[5] << 8);
  ULONG value = GetU32(block + 6);
  if (command == kCommandRemoveDisplay) {
    RemoveDisplayChild(link->Bus, value);
    return TRUE;
  }
  if (command != kCommandDisplayReport || value == 0) return TRUE;
  if (value > kMaxReportSize) {
    KX_TRACE(KX_TRACE_WARNING, "link: a display report of %lu bytes is not taken\n", value);
    return TRUE;
  }
  // A report still held (link mode 1 entered again while one was being received) is given up.
  FreeRecord(link);
  link->Record = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, value, kTagLink);
  if (link->Record == NULL) return FALSE;
  link->RecordSize = value;
  link->Bus->LinkState = kLinkStateReceiving;
  return TRUE;
}

// A failed receive is no block, and it may have halted the pipe, where every later receive would
// wait for ever: the pipe is recovered each time. A channel that keeps failing ends the thread
// with the failure recorded, as a failed report receive does.
BOOLEAN BlockReceiveFailed(LinkContext* link, NTSTATUS status) {
  BusDeviceContext* bus = link->Bus;
  KX_TRACE(KX_TRACE_WARNING, "link: block receive failed: 0x%08lX\n", (ULONG)status);
  RecoverChannel1In(bus);
  if (++link->FailedReceives < kBlockReceiveAttempts) return TRUE;
  KX_TRACE(KX_TRACE_ERROR, "link: channel 1 keeps failing, supervision ends\n");
  InterlockedOr((LONG*)&bus->ErrorCode, (LONG)kChannel1InError);
  ReportErrorCode(bus);
  return FALSE;
}

// Waiting for a command block. FALSE when the thread must end.
BOOLEAN WaitForBlock(LinkContext* link) {
  BusDeviceContext* bus = link->Bus;
  if (!NT_SUCCESS(ReceiveBlockAsync(link))) return FALSE;
  PVOID events[2] = {&bus->AsyncIdleEvent, &bus->LinkStopEvent};
  NTSTATUS waited = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                             NULL, NULL);
  if (waited != STATUS_WAIT_0) {
    UsbCancelAsyncTransfer(bus);
    return FALSE;
  }
  ULONG received = 0;
  NTSTATUS status = UsbAsyncTransferResult(bus, &received);
  if (status != STATUS_SUCCESS) return BlockReceiveFailed(link, status);
  link->FailedReceives = 0;
  // A block cut short is not one: the buffer's rest still holds the last one.
  if (received != kBlockSize) return TRUE;
  return HandleBlock(link);
}

// Receiving the announced display report. FALSE when the thread must end.
BOOLEAN ReceiveReport(LinkContext* link) {
  if (link->Record == NULL) {
    // A thread stopped while receiving left the state word behind, but not its report.
    link->Bus->LinkState = kLinkStateStarted;
    return TRUE;
  }
  ULONG received = 0;
  NTSTATUS status = ReceiveRecord(link, &received);
  if (status == STATUS_TIMEOUT) return TRUE;  // the far side is slow: the same size again
  if (!NT_SUCCESS(status)) {
    // The thread ends, but the pipe is left fit for the next one: halted, it would hold that
    // thread's first receive for ever.
    RecoverChannel1In(link->Bus);
    FreeRecord(link);
    return FALSE;
  }
  // A report cut short is not the display the far side announced: the rest of the buffer never
  // arrived.
  if (received == link->RecordSize) {
    AnnounceDisplay(link);
  } else {
    KX_TRACE(KX_TRACE_WARNING, "link: display report of %lu bytes, %lu arrived\n",
             link->RecordSize, received);
  }
  FreeRecord(link);
  link->Bus->LinkState = kLinkStateStarted;
  return TRUE;
}

void RunLink(LinkContext* link) {
  BusDeviceContext* bus = link->Bus;
  while (StillRunning(bus)) {
    BOOLEAN goOn = TRUE;
    if (bus->LinkState == kLinkStateStarted) {
      goOn = WaitForBlock(link);
    } else if (bus->LinkState == kLinkStateReceiving) {
      goOn = ReceiveReport(link);
    }
    if (!goOn) return;
  }
}

// The thread holds a request reference for its whole life, so a removal that stops it waits for
// it. It says it no longer runs before it drops that reference: afterwards the record may go.
VOID NTAPI LinkThreadMain(PVOID context) {
  PDEVICE_OBJECT device = (PDEVICE_OBJECT)context;
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  if (!IoCountAcquireIfStarted(bus)) {
    InterlockedExchange(&bus->LinkThreadRunning, 0);
    PsTerminateSystemThread(STATUS_SUCCESS);
    return;
  }
  LinkContext link = {bus, NULL, NULL, 0, 0};
  link.Block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kBlockSize, kTagLink);
  if (link.Block != NULL) {
    RunLink(&link);
    ExFreePoolWithTag(link.Block, kTagLink);
  }
  FreeRecord(&link);
  InterlockedExchange(&bus->LinkThreadRunning, 0);
  IoCountDecrement(bus);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// A thread that ended on its own left its object referenced: it is dropped before the next start
// or stop needs the field. Called under LinkLock.
void ReleaseThreadObject(BusDeviceContext* bus) {
  if (bus->LinkThreadObject == NULL) return;
  KeWaitForSingleObject(bus->LinkThreadObject, Executive, KernelMode, FALSE, NULL);
  ObfDereferenceObject(bus->LinkThreadObject);
  bus->LinkThreadObject = NULL;
}

BOOLEAN CreateLinkThread(PDEVICE_OBJECT device, BusDeviceContext* bus) {
  KeClearEvent(&bus->LinkStopEvent);
  InterlockedExchange(&bus->LinkThreadRunning, 1);
  HANDLE handle;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                         LinkThreadMain, device);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&bus->LinkThreadRunning, 0);
    KX_TRACE(KX_TRACE_ERROR, "link thread not created: 0x%08lX\n", (ULONG)status);
    return FALSE;
  }
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                     &bus->LinkThreadObject, NULL);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // Nobody could wait for a thread without its object: it is told to end at once.
    bus->LinkThreadObject = NULL;
    InterlockedExchange(&bus->LinkThreadRunning, 0);
    KeSetEvent(&bus->LinkStopEvent, IO_NO_INCREMENT, FALSE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace

void InitializeLinkThread(BusDeviceContext* bus) {
  KeInitializeEvent(&bus->LinkStopEvent, NotificationEvent, FALSE);
  KeInitializeMutex(&bus->LinkLock, 0);
  InitializeEntryGate(&bus->Channel1ReadGate, TRUE);
  bus->LinkThreadRunning = 0;
  bus->LinkThreadObject = NULL;
}

// Starts and stops come from the link-mode code and from Plug and Play at once: LinkLock keeps
// them one at a time.
BOOLEAN StartLinkThread(PDEVICE_OBJECT device) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  KeWaitForSingleObject(&bus->LinkLock, Executive, KernelMode, FALSE, NULL);
  BOOLEAN started = TRUE;
  if (!StillRunning(bus)) {
    ReleaseThreadObject(bus);
    started = CreateLinkThread(device, bus);
  }
  KeReleaseMutex(&bus->LinkLock, FALSE);
  return started;
}

// The mode is read under LinkLock, which a mode change holds from its decision to its end.
void ResumeLinkSupervision(BusDeviceContext* bus) {
  KeWaitForSingleObject(&bus->LinkLock, Executive, KernelMode, FALSE, NULL);
  if (bus->LinkMode == 1 && bus->LinkByDriver) {
    bus->LinkState = kLinkStateStarted;
    StartLinkThread(bus->Header.Self);
  }
  KeReleaseMutex(&bus->LinkLock, FALSE);
}

BOOLEAN StopLinkThread(PDEVICE_OBJECT device) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  KeWaitForSingleObject(&bus->LinkLock, Executive, KernelMode, FALSE, NULL);
  if (InterlockedExchange(&bus->LinkThreadRunning, 0) != 0) {
    KeSetEvent(&bus->LinkStopEvent, IO_NO_INCREMENT, FALSE);
  }
  ReleaseThreadObject(bus);
  KeReleaseMutex(&bus->LinkLock, FALSE);
  return TRUE;
}
