// Included by the host build of the driver only: each call of a platform routine that may fail
// for want of resources first names its place (file and line) for the host kernel's allocation
// site injection (hostk/allocation_sites.h). The routines' own declarations come before, so the
// names inside each expansion are the routines themselves.
#pragma once

namespace hostk {
// The place of the allocating call this thread is about to make (hostk/allocation_sites.h).
void NoteAllocationSite(const char* file, int line, const char* routine);
}  // namespace hostk

#define KX_AT_SITE(routine, ...) \
  (::hostk::NoteAllocationSite(__FILE__, __LINE__, #routine), ::routine(__VA_ARGS__))

#define ExAllocatePoolWithTag(...) KX_AT_SITE(ExAllocatePoolWithTag, __VA_ARGS__)
#define IoAllocateIrp(...) KX_AT_SITE(IoAllocateIrp, __VA_ARGS__)
#define IoAllocateMdl(...) KX_AT_SITE(IoAllocateMdl, __VA_ARGS__)
#define IoAllocateWorkItem(...) KX_AT_SITE(IoAllocateWorkItem, __VA_ARGS__)
#define IoBuildDeviceIoControlRequest(...) KX_AT_SITE(IoBuildDeviceIoControlRequest, __VA_ARGS__)
#define IoBuildSynchronousFsdRequest(...) KX_AT_SITE(IoBuildSynchronousFsdRequest, __VA_ARGS__)
#define IoCreateDevice(...) KX_AT_SITE(IoCreateDevice, __VA_ARGS__)
#define IoRegisterDeviceInterface(...) KX_AT_SITE(IoRegisterDeviceInterface, __VA_ARGS__)
#define PsCreateSystemThread(...) KX_AT_SITE(PsCreateSystemThread, __VA_ARGS__)
