// Plug and Play of a display child. A child is the bottom of its stack, so every request ends here;
// until the child's own handling exists it keeps the status it carries.
#include "driver/kxbus.h"

NTSTATUS ChildPnp(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
