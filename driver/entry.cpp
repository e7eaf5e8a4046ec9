// The entry routine and unload: the handlers, and the copy of the registry path that the
// configuration store reads from.
#include "driver/kxbus.h"

DriverGlobals Globals;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = DriverUnload;

  // Without the copy the driver still runs; every registry access then fails and defaults stand.
  // A path too long for its terminator to fit a counted string's 16-bit size gets no copy.
  Globals.RegistryPathCopy = NULL;
  Globals.RegistryPathLength = 0;
  Globals.RegistryPathSize = 0;
  if (RegistryPath->Length > kMaxRegistryPathLength) {
    KX_TRACE(KX_TRACE_ERROR, "registry path of %u bytes refused\n", RegistryPath->Length);
    return STATUS_SUCCESS;
  }
  USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
  Globals.RegistryPathCopy = (PWCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagRegistryPath);
  if (Globals.RegistryPathCopy == NULL) {
    KX_TRACE(KX_TRACE_ERROR, "no memory for the registry path copy\n");
    return STATUS_SUCCESS;
  }
  Globals.RegistryPathLength = RegistryPath->Length;
  Globals.RegistryPathSize = size;
  RtlZeroMemory(Globals.RegistryPathCopy, size);
  RtlCopyMemory(Globals.RegistryPathCopy, RegistryPath->Buffer, RegistryPath->Length);
  return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT) {
  if (Globals.RegistryPathCopy != NULL) {
    ExFreePoolWithTag(Globals.RegistryPathCopy, kTagRegistryPath);
    Globals.RegistryPathCopy = NULL;
  }
}
