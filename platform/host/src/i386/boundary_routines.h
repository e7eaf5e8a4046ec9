// Host routines bound in place of the host kernel's own where calling them from an image needs
// more than the call: the runtime's memory routines as ntoskrnl.exe exports them (cdecl, entered
// on the image's 4-byte-aligned stack), and the probing routines, whose raised status must reach
// the image's handlers through fs:[0] rather than unwind as a C++ exception.
#pragma once

#include "host/ntddk.h"

namespace hostk {

void* ImageMemcpy(void* destination, const void* source, size_t length);
void* ImageMemset(void* destination, int fill, size_t length);
VOID NTAPI ImageProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID NTAPI ImageMmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                    LOCK_OPERATION Operation);

}  // namespace hostk
