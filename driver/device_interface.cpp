// The device interface the display stack finds the adapter by. Its class tells the stack which
// generation of adapter answers: the extended one, with the bus switch and four data channels, or
// the basic one.
#include "driver/kxbus.h"

namespace {

const GUID kExtendedInterfaceGuid = {
    0xCF507BAA, 0xC6C8, 0x414F, {0x93, 0x12, 0xA3, 0xE0, 0xC2, 0xC4, 0xD8, 0x58}};
const GUID kBasicInterfaceGuid = {
    0x2016ABA7, 0xD140, 0x40C8, {0xA3, 0xF9, 0xC4, 0x37, 0x7E, 0xDA, 0xE1, 0x82}};

}  // namespace

void LockDeviceInterface(BusDeviceContext* bus) {
  KeWaitForSingleObject(&bus->InterfaceLock, Executive, KernelMode, FALSE, NULL);
}

void UnlockDeviceInterface(BusDeviceContext* bus) { KeReleaseMutex(&bus->InterfaceLock, FALSE); }

// A registration that fails leaves the adapter working but unpublished: the start goes on.
void EnableDeviceInterfaceLocked(BusDeviceContext* bus) {
  if (bus->InterfaceName.Buffer == NULL) {
    const GUID* cls = bus->ExtendedChip ? &kExtendedInterfaceGuid : &kBasicInterfaceGuid;
    NTSTATUS status = IoRegisterDeviceInterface(bus->PhysicalDeviceObject, cls, NULL,
                                                &bus->InterfaceName);
    if (!NT_SUCCESS(status)) {
      KX_TRACE(KX_TRACE_ERROR, "device interface not registered: 0x%08lX\n", (ULONG)status);
      bus->InterfaceName.Buffer = NULL;
      return;
    }
  }
  NTSTATUS status = IoSetDeviceInterfaceState(&bus->InterfaceName, TRUE);
  if (!NT_SUCCESS(status)) {
    KX_TRACE(KX_TRACE_WARNING, "device interface not enabled: 0x%08lX\n", (ULONG)status);
  }
}

void DisableDeviceInterfaceLocked(BusDeviceContext* bus) {
  if (bus->InterfaceName.Buffer == NULL) return;
  IoSetDeviceInterfaceState(&bus->InterfaceName, FALSE);
  RtlFreeUnicodeString(&bus->InterfaceName);
  bus->InterfaceName.Buffer = NULL;
  bus->InterfaceName.Length = 0;
  bus->InterfaceName.MaximumLength = 0;
}

void EnableDeviceInterface(BusDeviceContext* bus) {
  LockDeviceInterface(bus);
  EnableDeviceInterfaceLocked(bus);
  UnlockDeviceInterface(bus);
}

void DisableDeviceInterface(BusDeviceContext* bus) {
  LockDeviceInterface(bus);
  DisableDeviceInterfaceLocked(bus);
  UnlockDeviceInterface(bus);
}
