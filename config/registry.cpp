// The driver's configuration under its service key: values in "Parameters" that administrators
// set, status values in "Parameters\0000" that the driver writes. Every value is raw bytes
// (REG_BINARY) of a fixed size; a read that finds nothing usable leaves the destination as it was,
// so each reader puts its default there first.
#include "driver/kxbus.h"
#include "platform/kx_runtime.h"

namespace {

const WCHAR kParametersKey[] = KX_WSTR("Parameters");
const WCHAR kStatusKey[] = KX_WSTR("Parameters\\0000");
constexpr ULONG kRegistryOpenAttributes = OBJ_KERNEL_HANDLE | OBJ_OPENIF | OBJ_CASE_INSENSITIVE;

// The service key path, or "<service key>\<subkey>" in a "regy" buffer the caller frees.
NTSTATUS BuildKeyPath(PCWSTR subkey, PWCHAR* path, bool* allocated) {
  *allocated = false;
  *path = Globals.RegistryPathCopy;
  if (subkey == NULL || subkey[0] == 0) return STATUS_SUCCESS;
  SIZE_T chars = Globals.RegistryPathLength / sizeof(WCHAR) + KxWideLength(subkey);
  // "\" between the two must still leave a length a counted string can carry.
  if ((chars + 1) * sizeof(WCHAR) > kMaxKeyPathLength) return STATUS_UNSUCCESSFUL;
  SIZE_T bytes = chars * sizeof(WCHAR) + 4;
  PWCHAR buffer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, bytes, kTagRegistry);
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KxFormatWide(buffer, bytes / sizeof(WCHAR), "%ws\\%ws", Globals.RegistryPathCopy, subkey);
  *path = buffer;
  *allocated = true;
  return STATUS_SUCCESS;
}

NTSTATUS CreateKey(PWCHAR path, USHORT length, PHANDLE key) {
  UNICODE_STRING name = {length, length, path};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, kRegistryOpenAttributes, NULL, NULL);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
}

// The platform creates only the last key of a path, so a status key whose parent the installer
// did not create ("Parameters") is made one level at a time; a status value is never lost for that.
NTSTATUS CreateKeyWithParents(PWCHAR path, PHANDLE key) {
  USHORT length = (USHORT)(KxWideLength(path) * sizeof(WCHAR));
  NTSTATUS status = CreateKey(path, length, key);
  if (status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
  for (USHORT end = Globals.RegistryPathLength / sizeof(WCHAR) + 1; end < length / 2; end++) {
    if (path[end] != '\\') continue;
    HANDLE parent;
    status = CreateKey(path, (USHORT)(end * sizeof(WCHAR)), &parent);
    if (!NT_SUCCESS(status)) return status;
    ZwClose(parent);
  }
  return CreateKey(path, length, key);
}

NTSTATUS WriteValue(PWCHAR path, PCWSTR valueName, ULONG size, PVOID data) {
  HANDLE key;
  NTSTATUS status = CreateKeyWithParents(path, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  status = ZwSetValueKey(key, &name, 0, REG_BINARY, data, size);
  ZwClose(key);
  return status;
}

NTSTATUS ReadValue(PWCHAR path, PCWSTR valueName, ULONG size, PVOID data) {
  UNICODE_STRING keyName;
  RtlInitUnicodeString(&keyName, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, kRegistryOpenAttributes, NULL, NULL);
  HANDLE key;
  NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
  if (!NT_SUCCESS(status)) return status;
  ULONG bufferSize = size + 16;
  PKEY_VALUE_PARTIAL_INFORMATION info =
      (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, bufferSize, kTagRegistry);
  if (info == NULL) {
    ZwClose(key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(info, bufferSize);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  ULONG resultLength;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, bufferSize, &resultLength);
  // A value longer than the field is not taken; its type is not looked at.
  if (NT_SUCCESS(status) && info->DataLength <= size) {
    RtlCopyMemory(data, info->Data, info->DataLength);
  }
  ExFreePoolWithTag(info, kTagRegistry);
  ZwClose(key);
  return status;
}

// A 4-byte value, little-endian, keeping the bytes a shorter stored value does not cover.
void ReadULongParameter(PCWSTR valueName, ULONG* field) {
  UCHAR bytes[4];
  for (int i = 0; i < 4; i++) bytes[i] = (UCHAR)(*field >> (8 * i));
  ReadParameter(valueName, sizeof bytes, bytes);
  *field = (ULONG)bytes[0] | (ULONG)bytes[1] << 8 | (ULONG)bytes[2] << 16 | (ULONG)bytes[3] << 24;
}

struct ErrorCodeWork {
  PIO_WORKITEM Item;
  BusDeviceContext* Bus;
};
constexpr SIZE_T kErrorCodeWorkSize = 16;
static_assert(sizeof(ErrorCodeWork) <= kErrorCodeWorkSize, "the work context is 16 bytes");

NTSTATUS WriteErrorCode(BusDeviceContext* bus) {
  ULONG value = bus->ErrorCode;
  UCHAR bytes[4] = {(UCHAR)value, (UCHAR)(value >> 8), (UCHAR)(value >> 16), (UCHAR)(value >> 24)};
  return WriteStatusValue(KX_WSTR("ErrorCode"), sizeof bytes, bytes);
}

VOID NTAPI ErrorCodeWorkRoutine(PDEVICE_OBJECT, PVOID context) {
  ErrorCodeWork* work = (ErrorCodeWork*)context;
  BusDeviceContext* bus = work->Bus;
  WriteErrorCode(bus);
  IoFreeWorkItem(work->Item);
  ExFreePoolWithTag(work, kTagWorkItem);
  IoCountDecrement(bus);
}

}  // namespace

NTSTATUS RegistryAccess(BOOLEAN write, PCWSTR subkey, PCWSTR valueName, ULONG size, PVOID data) {
  if (valueName == NULL || valueName[0] == 0 || data == NULL || size == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Globals.RegistryPathCopy == NULL || Globals.RegistryPathLength == 0) {
    return STATUS_UNSUCCESSFUL;
  }
  PWCHAR path;
  bool allocated;
  NTSTATUS status = BuildKeyPath(subkey, &path, &allocated);
  if (!NT_SUCCESS(status)) return status;
  status = write ? WriteValue(path, valueName, size, data) : ReadValue(path, valueName, size, data);
  if (allocated) ExFreePoolWithTag(path, kTagRegistry);
  return status;
}

NTSTATUS ReadParameter(PCWSTR valueName, ULONG size, PVOID data) {
  return RegistryAccess(FALSE, kParametersKey, valueName, size, data);
}

NTSTATUS WriteParameter(PCWSTR valueName, ULONG size, PVOID data) {
  return RegistryAccess(TRUE, kParametersKey, valueName, size, data);
}

NTSTATUS WriteStatusValue(PCWSTR valueName, ULONG size, PVOID data) {
  return RegistryAccess(TRUE, kStatusKey, valueName, size, data);
}

// Callable up to DISPATCH_LEVEL: above passive level the write waits for a work item, which holds
// a reference on the adapter until it has run.
NTSTATUS ReportErrorCode(BusDeviceContext* bus) {
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) return WriteErrorCode(bus);
  ErrorCodeWork* work =
      (ErrorCodeWork*)ExAllocatePoolWithTag(NonPagedPoolNx, kErrorCodeWorkSize, kTagWorkItem);
  if (work == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  if (!IoCountAcquireIfStarted(bus)) {
    ExFreePoolWithTag(work, kTagWorkItem);
    return STATUS_INVALID_DEVICE_STATE;
  }
  work->Item = IoAllocateWorkItem(bus->Header.Self);
  if (work->Item == NULL) {
    ExFreePoolWithTag(work, kTagWorkItem);
    IoCountDecrement(bus);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  work->Bus = bus;
  IoQueueWorkItem(work->Item, ErrorCodeWorkRoutine, DelayedWorkQueue, work);
  return STATUS_PENDING;
}

void ReadStartOptions(BusDeviceContext* bus) {
  // "LinkByDriver" is read into the cell "Legacy" left, so its default is Legacy's value.
  UCHAR cell = 0;
  ReadParameter(KX_WSTR("Legacy"), 1, &cell);
  bus->Legacy = cell != 0;
  ReadParameter(KX_WSTR("LinkByDriver"), 1, &cell);
  bus->LinkByDriver = cell != 0;
  bus->DriverModel = 0;
  ReadULongParameter(KX_WSTR("DriverModel"), &bus->DriverModel);
  bus->DriverRotate = 0;
  ReadParameter(KX_WSTR("DriverRotate"), 1, &bus->DriverRotate);
}

namespace {

// All processors but one by default, so that a large rectangle never takes the whole machine;
// 1 to 8 (a stored 0 means no sharing).
ULONG ReadEncodeThreads() {
  ULONG processors = KeQueryActiveProcessorCount(NULL);
  ULONG threads = processors > 1 ? processors - 1 : 1;
  ReadULongParameter(KX_WSTR("EncodeThreads"), &threads);
  if (threads == 0) return 1;
  return threads > kMaxEncodeThreads ? kMaxEncodeThreads : threads;
}

}  // namespace

void ReadCompressionOptions(BusDeviceContext* bus) {
  bus->Quality = 75;
  bus->Sampling = 3;
  bus->EnableJpeg = 0;
  bus->ThroughPut = 0xFFFF;
  ReadParameter(KX_WSTR("Quality"), 1, &bus->Quality);
  ReadParameter(KX_WSTR("Sampling"), 1, &bus->Sampling);
  ReadParameter(KX_WSTR("EnableJpeg"), 1, &bus->EnableJpeg);
  ReadULongParameter(KX_WSTR("ThroughPut"), &bus->ThroughPut);
  if (bus->Quality > 100) bus->Quality = 100;
  bus->EnableJpeg = bus->EnableJpeg != 0;
  bus->EncodeThreads = ReadEncodeThreads();
}
