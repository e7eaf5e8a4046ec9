// IOCTL_DISPLAY_PRESENT: the display driver passes its update descriptor and its pixel buffer as
// user addresses. The descriptor is copied once into kernel memory and only the copy is used, so
// the caller cannot change it between the checks and the copy-in. The pixel pages are locked and
// mapped in place for the one call of StoreUpdate, and released before the update is queued:
// only the pages the rectangle's rows lie in, so that a small update of a large desktop does not
// lock and map the whole buffer, and none for a descriptor that cannot describe an update.
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

// The pixel buffer locked and mapped; a failure leaves nothing locked or allocated. The quota
// argument of IoAllocateMdl is the system's own: drivers pass FALSE.
NTSTATUS LockPixels(PVOID user, ULONG length, PMDL* mdl, const UCHAR** mapped) {
  *mdl = IoAllocateMdl(user, length, FALSE, FALSE, NULL);
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
// may be negative).
struct PixelSpan {
  ULONG Offset;
  ULONG Length;
};

// Outputs are at most 65535 pixels each way (a mode's fields are 16 bits wide).
constexpr LONG kLargestSide = 0xFFFF;

// FALSE when the descriptor cannot describe an update of any mode: a rectangle outside 0..65535
// or empty, a depth the pipeline does not take, or rows outside the buffer. Such an update is
// refused before any page is locked, and nothing is computed from its fields that could overflow.
BOOLEAN SpanOfRows(const UpdateDescriptor* d, PixelSpan* span) {
  if (d->Left < 0 || d->Top < 0 || d->Left >= d->Right || d->Top >= d->Bottom) return FALSE;
  if (d->Right > kLargestSide || d->Bottom > kLargestSide) return FALSE;
  UCHAR bpp = d->BitsPerPixel;
  if (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return FALSE;
  ULONG rowBytes = (ULONG)(d->Right - d->Left) * (bpp / 8);
  return SourceRowsSpan(d, rowBytes, &span->Offset, &span->Length);
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
  PixelSpan span;
  if (!SpanOfRows(&descriptor, &span)) return STATUS_INVALID_PARAMETER;
  // From here on the descriptor speaks of the span: its rows at the same places within it.
  UpdateDescriptor inSpan = descriptor;
  inSpan.SourceOffset -= span.Offset;
  inSpan.TotalSize = span.Length;
  PMDL mdl;
  const UCHAR* pixels;
  status = LockPixels((PUCHAR)irp->UserBuffer + span.Offset, span.Length, &mdl, &pixels);
  if (!NT_SUCCESS(status)) return status;
  status = StoreUpdate(channel, &inSpan, pixels);
  MmUnlockPages(mdl);  // also ends the system mapping
  IoFreeMdl(mdl);
  if (NT_SUCCESS(status)) QueueUpdate(channel, &descriptor);
  *totalSize = descriptor.TotalSize;
  return status;
}
