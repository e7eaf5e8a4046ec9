// Transfers of any size on the data channels: one request and one URB carry chunk after chunk of
// at most MaxTransferSize bytes, each next chunk sent from the completion routine of the one
// before, with no thread switch and no allocation between chunks; a synchronous transfer's context
// and URB are kept for the next one. A synchronous transfer may carry a second buffer that goes
// the same way once the first has gone whole (a frame-data block and its payload): the caller
// waits once for both, and the second never goes after a first that failed or was cancelled. The
// synchronous form waits 10 seconds for each buffer; the asynchronous form (channel-1 receive)
// returns at once, records its status and byte count, and signals AsyncIdleEvent when done. Both
// report how many bytes the completed chunks moved, so a caller never takes a short or failed
// transfer for a full one.
#include "driver/kxbus.h"

namespace {

constexpr LONGLONG kTransferTimeout = -100000000LL;  // 10 seconds, relative

struct ChunkContext {
  PURB Urb;
  ULONG Remaining;    // bytes not yet handed to the stack
  ULONG ChunkLength;  // what the chunk in flight asked for
  ULONG Transferred;  // sum of what completed chunks moved
  PUCHAR Next;        // start of the next chunk in the caller's buffer
  PUCHAR Then;        // the second buffer, sent once the first has gone; NULL when none
  ULONG ThenLength;
  LONG Buffer;        // which buffer is going: 0, then 1 (for the waiter's time limit)
  USBD_PIPE_HANDLE Pipe;
  ULONG Flags;
  KEVENT Done;        // synchronous form only
  BusDeviceContext* Bus;
  PIRP Irp;
  // Asynchronous form: the completion and a cancel in progress each hold one; the last frees.
  LONG References;
};

// The context and its URB set up for a transfer of `length` bytes from its first chunk; the
// request is the caller's to attach.
void SetUpChunkContext(ChunkContext* context, BusDeviceContext* bus, USBD_PIPE_HANDLE pipe,
                       PVOID buffer, ULONG length, ULONG direction) {
  PURB urb = context->Urb;
  RtlZeroMemory(context, sizeof(*context));
  ULONG first = length < bus->MaxTransferSize ? length : bus->MaxTransferSize;
  BuildBulkUrb(urb, pipe, buffer, first, direction);
  context->Urb = urb;
  context->Remaining = length - first;
  context->ChunkLength = first;
  context->Next = (PUCHAR)buffer + first;
  context->Pipe = pipe;
  context->Flags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
  context->Bus = bus;
  context->References = 1;
  KeInitializeEvent(&context->Done, NotificationEvent, FALSE);
}

// A context and URB of the transfer's own, from the pool, for SetUpChunkContext to fill in; NULL
// when there is no memory.
ChunkContext* AllocateChunkContext() {
  ChunkContext* context =
      (ChunkContext*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ChunkContext), kTagTransfer);
  if (context == NULL) return NULL;
  context->Urb = (PURB)ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagTransfer);
  if (context->Urb == NULL) {
    ExFreePoolWithTag(context, kTagTransfer);
    return NULL;
  }
  return context;
}

void FreeContextAndUrb(ChunkContext* context) {
  ExFreePoolWithTag(context->Urb, kTagTransfer);
  ExFreePoolWithTag(context, kTagTransfer);
}

// A synchronous transfer takes the adapter's spare context and URB when it is there, so that the
// frame worker's sends, one after another, allocate only their request.
ChunkContext* NewChunkContext(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                              ULONG length, ULONG direction, BOOLEAN mayUseSpare) {
  ChunkContext* context =
      mayUseSpare ? (ChunkContext*)InterlockedExchangePointer(&bus->SpareTransfer, NULL) : NULL;
  if (context == NULL) context = AllocateChunkContext();
  if (context == NULL) return NULL;
  PIRP irp = AllocateUrbRequest(bus);
  if (irp == NULL) {
    FreeContextAndUrb(context);
    return NULL;
  }
  SetUpChunkContext(context, bus, pipe, buffer, length, direction);
  context->Irp = irp;
  return context;
}

void FreeChunkContext(ChunkContext* context) {
  IoFreeIrp(context->Irp);
  FreeContextAndUrb(context);
}

// The request goes; the context and URB become the spare unless there is one already.
void EndSynchronousContext(BusDeviceContext* bus, ChunkContext* context) {
  IoFreeIrp(context->Irp);
  context->Irp = NULL;
  if (InterlockedCompareExchangePointer(&bus->SpareTransfer, context, NULL) != NULL) {
    FreeContextAndUrb(context);
  }
}

// A chunk failed when either the request or the URB says so: a stack that completes the request
// with success but fails the URB has not moved the data either.
bool ChunkFailed(ChunkContext* context, PIRP irp) {
  return !NT_SUCCESS(irp->IoStatus.Status) || USBD_ERROR(context->Urb->UrbHeader.Status);
}

// Sends the next chunk when the last one succeeded and bytes remain; true when it went out.
// A chunk's offset advances by what was asked, not by what moved: a short chunk does not shift
// the ones after it. The count a chunk reports is capped at what it asked for.
bool ContinueChain(ChunkContext* context, PIRP irp, PIO_COMPLETION_ROUTINE routine) {
  if (ChunkFailed(context, irp)) return false;
  ULONG moved = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  context->Transferred += moved < context->ChunkLength ? moved : context->ChunkLength;
  if (context->Remaining == 0 && context->Then != NULL) {
    context->Next = context->Then;
    context->Remaining = context->ThenLength;
    context->Then = NULL;
    InterlockedIncrement(&context->Buffer);
  }
  if (context->Remaining == 0) {
    irp->IoStatus.Information = context->Transferred;
    return false;
  }
  ULONG maxChunk = context->Bus->MaxTransferSize;
  ULONG chunk = context->Remaining < maxChunk ? context->Remaining : maxChunk;
  PURB urb = context->Urb;
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         context->Pipe, context->Next, NULL, chunk, context->Flags,
                                         NULL);
  context->Next += chunk;
  context->Remaining -= chunk;
  context->ChunkLength = chunk;
  ArmUrbRequest(irp, urb, routine, context);
  IofCallDriver(context->Bus->LowerDeviceObject, irp);
  return true;
}

NTSTATUS NTAPI DataTransferCompletion(PDEVICE_OBJECT, PIRP irp, PVOID contextArgument) {
  ChunkContext* context = (ChunkContext*)contextArgument;
  if (ContinueChain(context, irp, DataTransferCompletion)) return STATUS_MORE_PROCESSING_REQUIRED;
  KeSetEvent(&context->Done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void ReleaseAsyncContext(ChunkContext* context) {
  if (InterlockedDecrement(&context->References) == 0) FreeChunkContext(context);
}

// What the chain as a whole came to once it ended: the request's failure, a failure of the URB
// under a successful request, or success.
NTSTATUS ChainStatus(ChunkContext* context, PIRP irp) {
  if (!NT_SUCCESS(irp->IoStatus.Status)) return irp->IoStatus.Status;
  if (USBD_ERROR(context->Urb->UrbHeader.Status)) return STATUS_UNSUCCESSFUL;
  return irp->IoStatus.Status;
}

// The waiter reads the outcome after AsyncIdleEvent, so it is recorded before the signal.
NTSTATUS NTAPI AsyncTransferCompletion(PDEVICE_OBJECT, PIRP irp, PVOID contextArgument) {
  ChunkContext* context = (ChunkContext*)contextArgument;
  if (ContinueChain(context, irp, AsyncTransferCompletion)) return STATUS_MORE_PROCESSING_REQUIRED;
  BusDeviceContext* bus = context->Bus;
  NTSTATUS status = ChainStatus(context, irp);
  KIRQL irql;
  KeAcquireSpinLock(&bus->AsyncTransferLock, &irql);
  bus->AsyncTransferIrp = NULL;
  bus->AsyncTransferContext = NULL;
  bus->AsyncTransferStatus = status;
  bus->AsyncTransferBytes = NT_SUCCESS(status) ? context->Transferred : 0;
  KeSetEvent(&bus->AsyncIdleEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&bus->AsyncTransferLock, irql);
  ReleaseAsyncContext(context);
  IoCountDecrement(bus);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ClassifyDataResult(BusDeviceContext* bus, NTSTATUS status, USBD_STATUS urbStatus) {
  if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) {
    KX_TRACE(KX_TRACE_ERROR, "UsbDoDataTransfer: STATUS_DEVICE_NOT_CONNECTED\n");
    SetDeviceGone(bus);
  } else if (status == STATUS_CANCELLED) {
    KX_TRACE(KX_TRACE_ERROR, "UsbDoDataTransfer: STATUS_CANCELLED\n");
  } else if ((!NT_SUCCESS(status) || USBD_ERROR(urbStatus)) &&
             urbStatus == USBD_STATUS_DEVICE_GONE) {
    KX_TRACE(KX_TRACE_ERROR, "UsbDoDataTransfer: USBD_STATUS_DEVICE_GONE\n");
    SetDeviceGone(bus);
  }
  return status;
}

// The guards both chunked forms share: a pipe that exists (a legacy adapter has no data pipes),
// the device-gone latch, the I/O reference (held until the transfer ends), and the context.
NTSTATUS BeginChunkedTransfer(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                              ULONG length, ULONG direction, BOOLEAN synchronous,
                              ChunkContext** context) {
  if (pipe == NULL) return STATUS_INVALID_DEVICE_STATE;
  if (IsDeviceGone(bus)) return STATUS_INVALID_DEVICE_STATE;
  if (!IoCountAcquireIfStarted(bus)) return STATUS_UNSUCCESSFUL;
  *context = NewChunkContext(bus, pipe, buffer, length, direction, synchronous);
  if (*context == NULL) {
    IoCountDecrement(bus);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

// Waits for the chain's end: 10 seconds, and 10 more when the second buffer has begun to go since.
// FALSE when it did not end in time.
BOOLEAN WaitForChain(ChunkContext* context) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = kTransferTimeout;
  LONG going = 0;
  while (KeWaitForSingleObject(&context->Done, Executive, KernelMode, FALSE, &timeout) ==
         STATUS_TIMEOUT) {
    LONG now = InterlockedCompareExchange(&context->Buffer, 0, 0);
    if (now == going) return FALSE;
    going = now;
  }
  return TRUE;
}

}  // namespace

NTSTATUS UsbDoDataTransfer(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                           ULONG length, ULONG direction, ULONG* transferred) {
  return UsbDoDataTransferThen(bus, pipe, buffer, length, NULL, 0, direction, transferred);
}

NTSTATUS UsbDoDataTransferThen(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                               ULONG length, PVOID then, ULONG thenLength, ULONG direction,
                               ULONG* transferred) {
  if (transferred != NULL) *transferred = 0;
  ChunkContext* context;
  NTSTATUS status = BeginChunkedTransfer(bus, pipe, buffer, length, direction, TRUE, &context);
  if (!NT_SUCCESS(status)) return status;
  if (then != NULL && thenLength != 0) {
    context->Then = (PUCHAR)then;
    context->ThenLength = thenLength;
  }
  PIRP irp = context->Irp;
  ArmUrbRequest(irp, context->Urb, DataTransferCompletion, context);
  IofCallDriver(bus->LowerDeviceObject, irp);
  // Waited for even when the first chunk completed at once: a later chunk may still be out.
  bool timedOut = !WaitForChain(context);
  if (timedOut) {
    DbgPrint("UsbDoDataTransfer: timeout\n");
    IoCancelIrp(irp);
    KeWaitForSingleObject(&context->Done, Executive, KernelMode, FALSE, NULL);
    status = STATUS_TIMEOUT;
  } else {
    status = ClassifyDataResult(bus, irp->IoStatus.Status, context->Urb->UrbHeader.Status);
    if (NT_SUCCESS(status)) status = ChainStatus(context, irp);
  }
  // What completed chunks moved, also after a time-out or a failure part-way.
  if (transferred != NULL) *transferred = context->Transferred;
  EndSynchronousContext(bus, context);
  IoCountDecrement(bus);
  return status;
}

void UsbFreeSpareTransfer(BusDeviceContext* bus) {
  ChunkContext* spare = (ChunkContext*)InterlockedExchangePointer(&bus->SpareTransfer, NULL);
  if (spare != NULL) FreeContextAndUrb(spare);
}

NTSTATUS UsbDoBulkTransferAsync(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                                ULONG length, ULONG direction) {
  ChunkContext* context;
  NTSTATUS status = BeginChunkedTransfer(bus, pipe, buffer, length, direction, FALSE, &context);
  if (!NT_SUCCESS(status)) return status;
  PIRP irp = context->Irp;
  ArmUrbRequest(irp, context->Urb, AsyncTransferCompletion, context);
  KeClearEvent(&bus->AsyncIdleEvent);
  KIRQL irql;
  KeAcquireSpinLock(&bus->AsyncTransferLock, &irql);
  bus->AsyncTransferIrp = irp;
  bus->AsyncTransferContext = context;
  bus->AsyncTransferStatus = STATUS_PENDING;
  bus->AsyncTransferBytes = 0;
  KeReleaseSpinLock(&bus->AsyncTransferLock, irql);
  status = IofCallDriver(bus->LowerDeviceObject, irp);
  return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS UsbAsyncTransferResult(BusDeviceContext* bus, ULONG* transferred) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->AsyncTransferLock, &irql);
  NTSTATUS status = bus->AsyncTransferStatus;
  ULONG bytes = bus->AsyncTransferBytes;
  KeReleaseSpinLock(&bus->AsyncTransferLock, irql);
  if (transferred != NULL) *transferred = bytes;
  return status;
}

// The request may complete (and its completion free it) at any moment, also from inside
// IoCancelIrp when the stack below completes it in its cancel routine. So the canceller holds a
// reference on the transfer instead of the spin lock while it cancels.
void UsbCancelAsyncTransfer(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->AsyncTransferLock, &irql);
  PIRP irp = bus->AsyncTransferIrp;
  ChunkContext* context = (ChunkContext*)bus->AsyncTransferContext;
  if (irp != NULL) InterlockedIncrement(&context->References);
  KeReleaseSpinLock(&bus->AsyncTransferLock, irql);
  if (irp == NULL) return;
  IoCancelIrp(irp);
  KeWaitForSingleObject(&bus->AsyncIdleEvent, Executive, KernelMode, FALSE, NULL);
  ReleaseAsyncContext(context);
}
