// Read and write requests on the adapter's transfer-set handles ("\DMASET0" to "\DMASET3", data
// channels 1 to 4). The request itself goes down with a bulk URB over a partial MDL of the
// caller's locked buffer, one stage of at most MaxTransferSize bytes at a time; the completion
// routine (read_write_completion.cpp) sends each next stage. Nothing is copied.
#include "usb/read_write_context.h"

namespace {

constexpr ULONG kTransferSetCount = 4;
constexpr ULONG kLinkModeFarSide = 1;

// A request built without a file object names no handle at all.
ULONG ChannelOf(PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  return file == NULL ? kControlHandle : (ULONG)(ULONG_PTR)file->FsContext;
}

// In link mode 1 channel 1 belongs to link supervision, which listens on it for the far side.
bool IsTransferSet(BusDeviceContext* bus, ULONG channel) {
  if (channel == 0 || channel > kTransferSetCount) return false;
  return !(channel == 1 && bus->LinkMode == kLinkModeFarSide);
}

// Completed at once, with nothing passed down; the reference dispatch took goes with it.
NTSTATUS Refuse(BusDeviceContext* bus, PIRP irp, NTSTATUS status) {
  CompleteRequest(irp, status, 0);
  IoCountDecrement(bus);
  return status;
}

// The partial MDL over the first stage and the URB; on failure the context is freed too.
NTSTATUS BuildFirstStage(BusDeviceContext* bus, ReadWriteContext* context, PMDL mdl,
                         USBD_PIPE_HANDLE pipe) {
  ULONG total = MmGetMdlByteCount(mdl);
  PUCHAR start = (PUCHAR)MmGetMdlVirtualAddress(mdl);
  ULONG stage = StageLengthOf(bus, total);
  context->PartialMdl = IoAllocateMdl(start, total, FALSE, FALSE, NULL);
  if (context->PartialMdl == NULL) {
    KX_TRACE(KX_TRACE_ERROR, "Failed to alloc mem for mdl\n");
    ExFreePoolWithTag(context, kTagTransfer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoBuildPartialMdl(mdl, context->PartialMdl, start, stage);
  context->Urb = AllocateBulkUrb(pipe, NULL, stage, context->In ? kTransferIn : kTransferOut);
  if (context->Urb == NULL) {
    KX_TRACE(KX_TRACE_ERROR, "Failed to alloc mem for urb\n");
    IoFreeMdl(context->PartialMdl);
    ExFreePoolWithTag(context, kTagTransfer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  context->Urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = context->PartialMdl;
  context->Remaining = total - stage;
  context->Next = start + stage;
  context->StageLength = stage;
  return STATUS_SUCCESS;
}

// The whole request may complete inside IofCallDriver and free its context, so what the register
// writes after it need is copied first; and dispatch holds a reference of its own over them, since
// the request's reference may be gone by then.
NTSTATUS Submit(BusDeviceContext* bus, PIRP irp, ReadWriteContext* context,
                USBD_PIPE_HANDLE pipe) {
  ULONG index = context->ChannelIndex;
  BOOLEAN in = context->In;
  ULONG total = context->Remaining + context->StageLength;
  ArmReadWriteStage(irp, context);
  IoMarkIrpPending(irp);
  IoCountIncrement(bus);
  NTSTATUS status = IofCallDriver(bus->LowerDeviceObject, irp);
  bool failed = !NT_SUCCESS(status);
  bool gone = status == STATUS_CANCELLED || status == STATUS_DEVICE_NOT_CONNECTED;
  if (failed) {
    KX_TRACE(KX_TRACE_ERROR, "IoCallDriver fails with status %X\n", (ULONG)status);
    if (gone) {
      KX_TRACE(KX_TRACE_INFO, "ntStatus is STATUS_CANCELLED or STATUS_DEVICE_NOT_CONNECTED\n");
    }
  }
  if (in) {
    // An engine that was not told the length never sends the data: the read would wait for it
    // for ever. The pipe's reads end instead (cancelled, recorded as a failed read).
    if (!ProgramReadDma(bus, index, total) && !failed) {
      KX_TRACE(KX_TRACE_ERROR, "read: DMA channel %lu not programmed\n", index + 1);
      UsbAbortPipe(bus, pipe);
    }
  } else if (failed && !gone) {
    StopWriteChannel(bus, index);
  }
  IoCountDecrement(bus);
  return STATUS_PENDING;
}

NTSTATUS DispatchOnChannel(BusDeviceContext* bus, PIRP irp, ULONG channel, BOOLEAN in) {
  USBD_PIPE_HANDLE pipe = TransferSetPipe(bus, channel - 1, in);
  // A legacy adapter has no data pipes; a transfer size of 0 could never finish a request.
  if (pipe == NULL || bus->MaxTransferSize == 0) {
    return Refuse(bus, irp, STATUS_INVALID_DEVICE_STATE);
  }
  ReadWriteContext* context = (ReadWriteContext*)ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(ReadWriteContext), kTagTransfer);
  if (context == NULL) {
    KX_TRACE(KX_TRACE_ERROR, "Failed to alloc mem for rwContext\n");
    return Refuse(bus, irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  RtlZeroMemory(context, sizeof(*context));
  context->Adapter = bus;
  context->ChannelIndex = channel - 1;
  context->In = in;
  PMDL mdl = irp->MdlAddress;
  if (mdl == NULL || MmGetMdlByteCount(mdl) == 0) {
    KX_TRACE(KX_TRACE_ERROR, "Transfer data length = 0\n");
    ExFreePoolWithTag(context, kTagTransfer);
    return Refuse(bus, irp, STATUS_SUCCESS);
  }
  NTSTATUS status = BuildFirstStage(bus, context, mdl, pipe);
  if (!NT_SUCCESS(status)) return Refuse(bus, irp, status);
  return Submit(bus, irp, context, pipe);
}

NTSTATUS DispatchTransfer(PDEVICE_OBJECT device, PIRP irp, BOOLEAN in) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  ULONG channel = ChannelOf(irp);
  // The state is tested and the request's reference taken in one step, so a stop or removal that
  // begins after the test waits for this request.
  if (!IoCountAcquireIfStarted(bus)) {
    KX_TRACE(KX_TRACE_ERROR, "Invalid device state\n");
    return CompleteRequest(irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  if (!IsTransferSet(bus, channel)) return Refuse(bus, irp, STATUS_INVALID_HANDLE);
  if (!in || channel != 1) return DispatchOnChannel(bus, irp, channel, in);
  // A read that passed the mode test as link mode 1 was being entered must not reach the pipe
  // behind the mode's back: the gate lets the mode change wait for it, or turns it away.
  if (!EnterGate(&bus->Channel1ReadGate)) return Refuse(bus, irp, STATUS_INVALID_HANDLE);
  NTSTATUS status = DispatchOnChannel(bus, irp, channel, in);
  LeaveGate(&bus->Channel1ReadGate);
  return status;
}

}  // namespace

NTSTATUS AdapterRead(PDEVICE_OBJECT device, PIRP irp) { return DispatchTransfer(device, irp, TRUE); }

NTSTATUS AdapterWrite(PDEVICE_OBJECT device, PIRP irp) {
  return DispatchTransfer(device, irp, FALSE);
}
