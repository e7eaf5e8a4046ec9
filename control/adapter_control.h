// The adapter's control codes, shared by the files of each family: the request as the dispatcher
// reads it, and what a handler decides. A handler never completes the request: it answers a
// status and a byte count, and the dispatcher completes it once and then drops the request's
// reference, so that no path can forget either.
#pragma once

#include "driver/kxbus.h"

struct AdapterRequest {
  BusDeviceContext* Bus;
  PDEVICE_OBJECT Device;
  PIRP Irp;
  ULONG InLength;   // as the caller gave them: anything at all
  ULONG OutLength;
  PUCHAR Buffer;    // the system buffer of the buffered codes; may be NULL
  ULONG Selector;   // the handle selector; kSelectorNotRecognised for the control handle
};

struct AdapterResult {
  NTSTATUS Status;
  ULONG_PTR Information;
};

inline AdapterResult Answer(NTSTATUS status, ULONG_PTR information = 0) {
  return {status, information};
}
inline AdapterResult TooSmall() { return Answer(STATUS_BUFFER_TOO_SMALL); }
// What the configuration (DriverModel, LinkMode, ExtendedChip) does not permit.
inline AdapterResult Refused() { return Answer(STATUS_UNSUCCESSFUL); }

// The size tests. A null system buffer is a too-small one, whatever the lengths say.
inline bool HasInput(const AdapterRequest* request, ULONG bytes) {
  return request->Buffer != NULL && request->InLength >= bytes;
}
inline bool HasOutput(const AdapterRequest* request, ULONG bytes) {
  return request->Buffer != NULL && request->OutLength >= bytes;
}

// Words in the system buffer are little-endian, read and written byte by byte.
inline ULONG LoadU32(const UCHAR* at) {
  return (ULONG)at[0] | (ULONG)at[1] << 8 | (ULONG)at[2] << 16 | (ULONG)at[3] << 24;
}
inline void StoreU32(UCHAR* at, ULONG value) {
  for (int i = 0; i < 4; i++) at[i] = (UCHAR)(value >> (8 * i));
}

// control/info_codes.cpp: fixed answers and fields read back, open in every configuration.
AdapterResult GetAdapterInfo(AdapterRequest* request);
AdapterResult GetUsbSpeed(AdapterRequest* request);
AdapterResult GetCapabilities(AdapterRequest* request);
AdapterResult QueryWordPair(AdapterRequest* request);
AdapterResult QueryMask(AdapterRequest* request);
AdapterResult GetInterfaceVersion(AdapterRequest* request);
AdapterResult Nop(AdapterRequest* request);

// control/display_codes.cpp: displays attached and detached, and what a handle's output shows.
// `referenced` tells whether the dispatcher holds a request reference (the device was started).
AdapterResult QueryDisplayConnected(AdapterRequest* request, BOOLEAN referenced);
AdapterResult QueryHandleType(AdapterRequest* request);
AdapterResult AttachDisplay(AdapterRequest* request);
AdapterResult AttachDisplayEx(AdapterRequest* request);
AdapterResult DetachDisplay(AdapterRequest* request);
AdapterResult GetChannelInfo(AdapterRequest* request);

// control/link_mode.cpp
AdapterResult GetLinkMode(AdapterRequest* request);
AdapterResult SetLinkMode(AdapterRequest* request);
AdapterResult SetLinkSelect(AdapterRequest* request);

// control/compression_codes.cpp
AdapterResult SetCompression(AdapterRequest* request);

// control/config_word_codes.cpp
AdapterResult ReadConfigWordCode(AdapterRequest* request);
AdapterResult WriteConfigWordCode(AdapterRequest* request);
