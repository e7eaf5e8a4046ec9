// Read and write on the adapter's transfer-set handles. The data channels are not served yet.
#include "driver/kxbus.h"

NTSTATUS AdapterRead(PDEVICE_OBJECT, PIRP irp) {
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS AdapterWrite(PDEVICE_OBJECT, PIRP irp) {
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
