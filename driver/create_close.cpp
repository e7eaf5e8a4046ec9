// Create and close on the adapter: each handle records in its file object which display output or
// data channel it stands for.
#include "driver/kxbus.h"

namespace {

constexpr USHORT kMaxNameBytes = 64;

bool StartsWith(const WCHAR* text, const char* prefix) {
  for (; *prefix != 0; text++, prefix++) {
    if (*text != (WCHAR)*prefix) return false;
  }
  return true;
}

}  // namespace

// "\DISPnn" gives 0xF000 + nn (the digits are not checked), "\DMASETd" with d from '0' to '3' gives
// 1 to 4; anything else, or a name over 32 characters, is not recognised.
ULONG HandleSelectorFromName(PCUNICODE_STRING fileName) {
  USHORT length = fileName->Length;
  if (length == 0 || length > kMaxNameBytes) return kSelectorNotRecognised;
  WCHAR name[kMaxNameBytes / 2 + 2];
  USHORT count = length / 2;
  for (USHORT i = 0; i < count; i++) {
    WCHAR c = fileName->Buffer[i];
    name[i] = (c >= 'a' && c <= 'z') ? (WCHAR)(c - 'a' + 'A') : c;
  }
  name[count] = 0;
  name[count + 1] = 0;
  if (length >= 10 && StartsWith(name, "\\DISP")) {
    return kDisplayHandleBase + 10 * (ULONG)name[5] + (ULONG)name[6] - 528;
  }
  if (length >= 14 && StartsWith(name, "\\DMASET")) {
    LONG value = (LONG)name[7] - 47;
    return (value >= 0 && value <= 4) ? (ULONG)value : kSelectorNotRecognised;
  }
  return kSelectorNotRecognised;
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!HeaderOf(DeviceObject)->IsFunctionDevice) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  BusDeviceContext* bus = (BusDeviceContext*)DeviceObject->DeviceExtension;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  file->FsContext = (PVOID)(ULONG_PTR)kControlHandle;
  if (bus->Header.DevicePnpState != Started) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE, 0);
  }
  if (file->FileName.Length != 0) {
    ULONG selector = HandleSelectorFromName(&file->FileName);
    if (selector == kSelectorNotRecognised) selector = kControlHandle;
    file->FsContext = (PVOID)(ULONG_PTR)selector;
  }
  InterlockedIncrement(&bus->OpenHandleCount);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!HeaderOf(DeviceObject)->IsFunctionDevice) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  BusDeviceContext* bus = (BusDeviceContext*)DeviceObject->DeviceExtension;
  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  InterlockedDecrement(&bus->OpenHandleCount);
  return STATUS_SUCCESS;
}
