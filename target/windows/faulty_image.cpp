// A driver image with the faults the image check exists to catch, linked the wrong way on purpose:
// a routine nobody listed, a user-mode module, Debian's libusbd.a with its decorated import names,
// the default (console) subsystem, and a static constructor that no kernel would run.
#include "nt.h"

namespace {

struct StartIrql {
  StartIrql() : irql(KeGetCurrentIrql()) {}
  KIRQL irql;
};
StartIrql startIrql;

}  // namespace

extern "C" DECLSPEC_IMPORT ULONG NTAPI GetTickCount();

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  if (startIrql.irql > DISPATCH_LEVEL) KeBugCheckEx(0xE2, GetTickCount(), 0, 0, 0);
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(NULL, NULL, 0, 0, -1, -1, -1);
  return found != NULL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
