// Surprise removal: the device left the bus, and its stack learns it before it is removed.
#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/hostk/pnp.h"
#include "host/ntstatus.h"
#include "pnp_internal.h"

namespace hostk {

NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpSurpriseRemoveDevice");
  if (PnpHasNode(physicalDevice)) {
    // Children first: each started one learns it is gone, then each is removed, once no handle
    // to any of them is left open.
    PnpAcquireEngine();
    NTSTATUS status = PnpRemoveSubtree(physicalDevice, true, true);
    PnpReleaseEngine();
    if (status != STATUS_PENDING) return status;
    PnpWaitForRemovals();
    return STATUS_SUCCESS;
  }
  NTSTATUS status = PnpSendRequest(physicalDevice, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
  if (!NT_SUCCESS(status)) {
    BugCheck(kDriverVerifierDetectedViolation,
             "IRP_MN_SURPRISE_REMOVAL failed: drivers must not fail it", status);
  }
  return PnpRemoveDevice(physicalDevice);
}

}  // namespace hostk
