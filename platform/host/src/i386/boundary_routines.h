// Host routines bound in place of the host kernel's own where calling them from an image needs
// more than the call: the runtime's memory routines as ntoskrnl.exe exports them (cdecl, entered
// on the image's 4-byte-aligned stack), and the probing routines, whose raised status must reach
// the image's handlers through fs:[0] rather than unwind as a C++ exception; and the routines that
// return a record, which the platform hands back in registers (eax, or edx:eax) where the host
// returns every record through a hidden pointer its caller passes first.
#pragma once

#include "host/ntddk.h"

namespace hostk {

void* ImageMemcpy(void* destination, const void* source, size_t length);
void* ImageMemset(void* destination, int fill, size_t length);
// Whether the calling thread was inside ImageMemcpy or ImageMemset (for the fault handler, which
// then takes the fault as the image's); the mark is cleared.
bool TakeImageCopyFault();
VOID NTAPI ImageProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID NTAPI ImageMmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                    LOCK_OPERATION Operation);
// PoSetPowerState's previous state, its 4 bytes in eax.
ULONG NTAPI ImagePoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                 POWER_STATE State);

}  // namespace hostk
