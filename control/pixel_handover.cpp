// IOCTL_DISPLAY_PRESENT: the display driver passes its update descriptor and its pixel buffer as
// user addresses. The descriptor is copied once into kernel memory and only the copy is used, so
// the caller cannot change it between the checks and the copy-in. The pixel pages are locked and
// mapped in place for the one call of SubmitUpdate, and released before the request completes:
// only the pages the rectangle's rows lie in, so that a small update of a large desktop does not
// lock and map the whole buffer.
#include "driver/kxbus.h"
#include "platform/seh.h"

namespace {

NTSTATUS CopyDescriptor(PVOID user, ULONG length, UpdateDescriptor* descriptor) {
  UCHAR bytes[kUpdateDescriptorSize];
  NTSTATUS status = KxGuarded([&]() -> NTSTATUS {
    ProbeForRead(user, length, 1);
    RtlCopyMemory(bytes, user, sizeof bytes);
    return STATUS_SUCCESS;
  });
  if (NT_SUCCESS(status)) ReadUpdateDescriptor(bytes, descriptor);
  return status;
}

// The pixel buffer locked and mapped; a failure leaves nothing locked or allocated.
NTSTATUS LockPixels(PVOID user, ULONG length, PMDL* mdl, const UCHAR** mapped) {
  *mdl = IoAllocateMdl(user, length, FALSE, TRUE, NULL);
  if (*mdl == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PMDL pixels = *mdl;
  NTSTATUS status = KxProbeAndLockPages(pixels, UserMode, IoReadAccess);
  if (!NT_SUCCESS(status)) {
    IoFreeMdl(pixels);
    return status;
  }
  const MM_PAGE_PRIORITY priority = (MM_PAGE_PRIORITY)(NormalPagePriority | MdlMappingNoExecute);
  *mapped = (const UCHAR*)MmGetSystemAddressForMdlSafe(pixels, priority);
  if (*mapped == NULL) {
    MmUnlockPages(pixels);
    IoFreeMdl(pixels);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

// The bytes of the pixel buffer from the rectangle's first row to the end of its last (the pitch
// may be negative), when the descriptor describes rows inside the buffer; otherwise the whole
// buffer, which the update's own checks then refuse as they always have.
struct PixelSpan {
  ULONG Offset;
  ULONG Length;
};

PixelSpan SpanOfRows(const UpdateDescriptor* d) {
  PixelSpan span = {0, d->TotalSize};
  UCHAR bpp = d->BitsPerPixel;
  if (d->Left >= d->Right || d->Top >= d->Bottom) return span;
  if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return span;
  ULONG rowBytes = (ULONG)(d->Right - d->Left) * (bpp / 8);
  PixelSpan rows;
  if (!SourceRowsSpan(d, rowBytes, &rows.Offset, &rows.Length)) return span;
  return rows;
}

}  // namespace

NTSTATUS PresentFromUserBuffers(DisplayChannel* channel, PIRP irp, ULONG inLength,
                                ULONG outLength, ULONG* totalSize) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UpdateDescriptor descriptor;
  NTSTATUS status =
      CopyDescriptor(stack->Parameters.DeviceIoControl.Type3InputBuffer, inLength, &descriptor);
  if (!NT_SUCCESS(status)) return status;
  if (descriptor.TotalSize != outLength) return STATUS_INVALID_PARAMETER;
  // From here on the descriptor speaks of the span: its rows at the same places within it.
  PixelSpan span = SpanOfRows(&descriptor);
  UpdateDescriptor inSpan = descriptor;
  inSpan.SourceOffset -= span.Offset;
  inSpan.TotalSize = span.Length;
  PMDL mdl;
  const UCHAR* pixels;
  status = LockPixels((PUCHAR)irp->UserBuffer + span.Offset, span.Length, &mdl, &pixels);
  if (!NT_SUCCESS(status)) return status;
  status = SubmitUpdate(channel, &inSpan, pixels);
  MmUnlockPages(mdl);  // also ends the system mapping
  IoFreeMdl(mdl);
  *totalSize = descriptor.TotalSize;
  return status;
}
