#include "boundary_routines.h"

#include <cstring>

#include "exception_dispatch.h"
#include "host/hostk/raise.h"

namespace hostk {

void* ImageMemcpy(void* destination, const void* source, size_t length) {
  return memcpy(destination, source, length);
}

void* ImageMemset(void* destination, int fill, size_t length) {
  return memset(destination, fill, length);
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

}  // namespace hostk
