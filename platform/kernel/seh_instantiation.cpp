// The guard's template half, instantiated on the kernel build before any driver code uses it, so
// that the platform's compiler sees it. Nothing calls this: it stays out of the image.
#include "platform/seh.h"

NTSTATUS KxGuardedCompileCheck(volatile UCHAR* probe) {
  UCHAR seen = 0;
  NTSTATUS status = KxGuarded([&] {
    seen = *probe;
    return STATUS_SUCCESS;
  });
  return NT_SUCCESS(status) ? (NTSTATUS)seen : status;
}
