#include "boundary_routines.h"

#include <cstring>

#include "exception_dispatch.h"
#include "host/hostk/raise.h"

namespace hostk {

namespace {

// Set while the thread runs memcpy or memset for an image: a fault there is the image's, as a fault
// in the platform's own memcpy is an exception for the kernel code that called it.
thread_local volatile bool tCopyingForImage = false;

void Barrier() { __asm__ __volatile__("" : : : "memory"); }

template <typename Copy>
void* CopyForImage(Copy copy) {
  tCopyingForImage = true;
  Barrier();
  void* result = copy();
  Barrier();
  tCopyingForImage = false;
  return result;
}

}  // namespace

void* ImageMemcpy(void* destination, const void* source, size_t length) {
  return CopyForImage([&] { return memcpy(destination, source, length); });
}

void* ImageMemset(void* destination, int fill, size_t length) {
  return CopyForImage([&] { return memset(destination, fill, length); });
}

bool TakeImageCopyFault() {
  bool copying = tCopyingForImage;
  tCopyingForImage = false;
  return copying;
}

namespace {

// The C++ exception is caught (and its handling ended) before the dispatch, which abandons this
// frame: nothing of the exception may be left live on it. `returnAddress` is the image's, taken by
// the bound routine itself.
template <typename Call>
void DispatchRaisedToImage(Call call, void* returnAddress) {
  NTSTATUS raised = STATUS_SUCCESS;
  try {
    call();
  } catch (const RaisedStatus& exception) {
    raised = exception.status;
  }
  if (raised != STATUS_SUCCESS) DispatchToImage(raised, returnAddress);
}

}  // namespace

VOID NTAPI ImageProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
  DispatchRaisedToImage([&] { ProbeForRead(Address, Length, Alignment); },
                        __builtin_return_address(0));
}

VOID NTAPI ImageMmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                    LOCK_OPERATION Operation) {
  DispatchRaisedToImage([&] { MmProbeAndLockPages(MemoryDescriptorList, AccessMode, Operation); },
                        __builtin_return_address(0));
}

static_assert(sizeof(POWER_STATE) == sizeof(ULONG), "POWER_STATE is returned in eax");
ULONG NTAPI ImagePoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                 POWER_STATE State) {
  POWER_STATE previous = PoSetPowerState(DeviceObject, Type, State);
  ULONG bits;
  memcpy(&bits, &previous, sizeof bits);
  return bits;
}

}  // namespace hostk
