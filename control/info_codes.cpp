// Codes that answer fixed values or read a field back. Every answer fills each byte it returns:
// a buffered answer is copied back to the caller for the whole byte count, and bytes left
// untouched would hand over whatever the system buffer held before.
#include "control/adapter_control.h"

namespace {

constexpr ULONG kCompressionAvailable = 0x00010000;
constexpr USHORT kInterfaceVersion = 0x0201;

}  // namespace

AdapterResult GetAdapterInfo(AdapterRequest* request) {
  if (!HasOutput(request, sizeof request->Bus->AdapterInfo)) return TooSmall();
  RtlCopyMemory(request->Buffer, request->Bus->AdapterInfo, sizeof request->Bus->AdapterInfo);
  return Answer(STATUS_SUCCESS, sizeof request->Bus->AdapterInfo);
}

AdapterResult GetUsbSpeed(AdapterRequest* request) {
  if (!HasOutput(request, 4)) return TooSmall();
  StoreU32(request->Buffer, request->Bus->UsbSpeed);
  return Answer(STATUS_SUCCESS, 4);
}

AdapterResult GetCapabilities(AdapterRequest* request) {
  if (!HasOutput(request, 4)) return TooSmall();
  StoreU32(request->Buffer, kCompressionAvailable);
  return Answer(STATUS_SUCCESS, 4);
}

// The first word goes back as the caller sent it; the bytes of it the caller did not send are
// zero rather than the buffer's earlier contents.
AdapterResult QueryWordPair(AdapterRequest* request) {
  if (!HasOutput(request, 8)) return TooSmall();
  for (ULONG i = request->InLength; i < 4; i++) request->Buffer[i] = 0;
  StoreU32(request->Buffer + 4, 0);
  return Answer(STATUS_SUCCESS, 8);
}

AdapterResult QueryMask(AdapterRequest* request) {
  if (!HasInput(request, 4) || !HasOutput(request, 4)) return TooSmall();
  StoreU32(request->Buffer, 0xFFFFFFFF);
  return Answer(STATUS_SUCCESS, 4);
}

// Eight bytes go back, of which only the first two carry the version.
AdapterResult GetInterfaceVersion(AdapterRequest* request) {
  if (!HasOutput(request, 8)) return TooSmall();
  RtlZeroMemory(request->Buffer, 8);
  request->Buffer[0] = (UCHAR)kInterfaceVersion;
  request->Buffer[1] = (UCHAR)(kInterfaceVersion >> 8);
  return Answer(STATUS_SUCCESS, 8);
}

// METHOD_NEITHER: there is no system buffer, and nothing of the caller's is touched.
AdapterResult Nop(AdapterRequest* request) {
  return Answer(request->Irp->IoStatus.Status, request->Irp->IoStatus.Information);
}
