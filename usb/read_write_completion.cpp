// The completion half of the read and write path: each stage that succeeded sends the next one on
// the same request and URB, without a thread switch; the last stage, or the first that fails,
// ends the request with the bytes that completed stages moved. A failure is recorded in
// ErrorCode and the channel's FIFO flushed from a work item.
#include "usb/read_write_context.h"

namespace {

constexpr ULONG kReadPathError = 0x400;
constexpr ULONG kWritePathError = 0x800;

NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

// Channel index 0-3 records 0x2, 0x8, 0x20 or 0x80, for reads and writes alike; the path's own
// bit tells the direction.
ULONG ChannelErrorBit(ULONG index) { return 0x2u << (2 * index); }

// A stack that completes the request with success but fails the URB has moved no data either.
NTSTATUS StageStatus(PIRP irp, PURB urb) {
  NTSTATUS status = irp->IoStatus.Status;
  if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) return STATUS_UNSUCCESSFUL;
  return status;
}

// Entering link mode 1 ends the reads waiting on channel 1 when link supervision takes the channel
// over. The driver ended them; the channel did not fail. No error is recorded, and no FIFO flush
// queued: it would run beside the link thread's first receive and could cut the far side's message.
bool EndedByLinkMode(ReadWriteContext* context, NTSTATUS status) {
  return status == STATUS_CANCELLED && context->In && context->ChannelIndex == 0 &&
         IsEntryGateClosed(&context->Adapter->Channel1ReadGate);
}

void RecordFailure(ReadWriteContext* context, NTSTATUS status) {
  BusDeviceContext* bus = context->Adapter;
  if (EndedByLinkMode(context, status)) {
    KX_TRACE(KX_TRACE_INFO, "ReadCompletion - channel 1 read ended: link mode 1 took it\n");
    return;
  }
  if (context->In) {
    KX_TRACE(KX_TRACE_ERROR, "ReadCompletion - failed with status = %X\n", (ULONG)status);
  } else {
    KX_TRACE(KX_TRACE_ERROR, "WriteCompletion - failed with status = %X\n", (ULONG)status);
  }
  ULONG bits = ChannelErrorBit(context->ChannelIndex) |
               (context->In ? kReadPathError : kWritePathError);
  InterlockedOr((LONG*)&bus->ErrorCode, (LONG)bits);
  ReportErrorCode(bus);
  // A cancelled stage halts nothing, nor does a device that is gone; any other whose URB status is
  // of the halted class (both top bits set) did.
  ULONG urbStatus = (ULONG)context->Urb->UrbHeader.Status;
  BOOLEAN halted = status != STATUS_CANCELLED && urbStatus != (ULONG)USBD_STATUS_DEVICE_GONE &&
                   (urbStatus & 0xC0000000u) == 0xC0000000u;
  if (IsBusStarted(bus)) QueueChannelFlush(bus, context->ChannelIndex, context->In, halted);
}

void SendNextStage(PIRP irp, ReadWriteContext* context) {
  BusDeviceContext* bus = context->Adapter;
  ULONG stage = StageLengthOf(bus, context->Remaining);
  PMDL partial = context->PartialMdl;
  ReleasePartialMapping(partial);
  IoBuildPartialMdl(irp->MdlAddress, partial, context->Next, stage);
  PURB urb = context->Urb;
  ULONG flags = (context->In ? kTransferIn : kTransferOut) | USBD_SHORT_TRANSFER_OK;
  UsbBuildInterruptOrBulkTransferRequest(urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         urb->UrbBulkOrInterruptTransfer.PipeHandle, NULL,
                                         partial, stage, flags, NULL);
  context->Next += stage;
  context->Remaining -= stage;
  context->StageLength = stage;
  ArmReadWriteStage(irp, context);
  IofCallDriver(bus->LowerDeviceObject, irp);
}

// A stage that moved less than it asked for ends the request: the next stage would land behind
// bytes that never came, and the count would not show the gap. A count above what was asked is
// not believed.
NTSTATUS CompleteStage(PIRP irp, ReadWriteContext* context) {
  NTSTATUS status = StageStatus(irp, context->Urb);
  if (!NT_SUCCESS(status)) {
    RecordFailure(context, status);
    irp->IoStatus.Status = status;
  } else {
    ULONG moved = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (moved > context->StageLength) moved = context->StageLength;
    context->Transferred += moved;
    if (context->Remaining != 0 && moved == context->StageLength) {
      SendNextStage(irp, context);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  }
  irp->IoStatus.Information = context->Transferred;
  BusDeviceContext* bus = context->Adapter;
  ReleasePartialMapping(context->PartialMdl);
  IoFreeMdl(context->PartialMdl);
  ExFreePoolWithTag(context->Urb, kTagTransfer);
  ExFreePoolWithTag(context, kTagTransfer);
  IoCountDecrement(bus);
  return status;
}

NTSTATUS NTAPI ReadCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  return CompleteStage(irp, (ReadWriteContext*)context);
}

NTSTATUS NTAPI WriteCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  return CompleteStage(irp, (ReadWriteContext*)context);
}

}  // namespace

void ArmReadWriteStage(PIRP irp, ReadWriteContext* context) {
  ArmUrbRequest(irp, context->Urb, context->In ? ReadCompletion : WriteCompletion, context);
}

void ReleasePartialMapping(PMDL partial) {
  if (partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
    MmUnmapLockedPages(partial->MappedSystemVa, partial);
  }
}
