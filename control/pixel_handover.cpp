// IOCTL_DISPLAY_PRESENT: the display driver passes its update descriptor and its pixel buffer as
// user addresses. The descriptor is copied once into kernel memory and only the copy is used, so
// the caller cannot change it between the checks and the copy-in. The pixel pages are locked and
// mapped in place for the one call of SubmitUpdate, and released before the request completes.
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

}  // namespace

NTSTATUS PresentFromUserBuffers(DisplayChannel* channel, PIRP irp, ULONG inLength,
                                ULONG outLength, ULONG* totalSize) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UpdateDescriptor descriptor;
  NTSTATUS status =
      CopyDescriptor(stack->Parameters.DeviceIoControl.Type3InputBuffer, inLength, &descriptor);
  if (!NT_SUCCESS(status)) return status;
  if (descriptor.TotalSize != outLength) return STATUS_INVALID_PARAMETER;
  PMDL mdl;
  const UCHAR* pixels;
  status = LockPixels(irp->UserBuffer, outLength, &mdl, &pixels);
  if (!NT_SUCCESS(status)) return status;
  status = SubmitUpdate(channel, &descriptor, pixels);
  MmUnlockPages(mdl);  // also ends the system mapping
  IoFreeMdl(mdl);
  *totalSize = descriptor.TotalSize;
  return status;
}
