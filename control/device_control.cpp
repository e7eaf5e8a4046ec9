// Device control on the adapter. Its control codes are not served yet.
#include "driver/kxbus.h"

NTSTATUS AdapterDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
