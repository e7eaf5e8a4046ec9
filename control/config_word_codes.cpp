// The configuration memory, one word at a time, for the display stack. ConfigMutex keeps every
// access whole, and each one is followed by a half-second busy wait with the mutex still held, so
// these requests run strictly one after another and each keeps its thread at least that long.
//
// Words 200 and 201 are read at every start and kept; with DriverModel 0 a read of either is
// answered from what is kept, unless that is 0 (never read) or all ones, which is never taken
// for a value: such a read goes to the memory again.
#include "control/adapter_control.h"

namespace {

constexpr ULONG kCachedWordLow = 200;
constexpr ULONG kCachedWordHigh = 201;
constexpr LONGLONG kMutexTimeout = -20000000;  // 2 seconds, relative
constexpr ULONG kSettleMicroseconds = 500000;

BOOLEAN ConfigCodesPermitted(BusDeviceContext* bus, BOOLEAN write) {
  if (!bus->ExtendedChip) return FALSE;
  return write ? bus->DriverModel == 8 : (bus->DriverModel == 0 || bus->DriverModel == 8);
}

ULONG* CacheOf(BusDeviceContext* bus, ULONG index) {
  if (index == kCachedWordLow) return &bus->ConfigWordCache200;
  if (index == kCachedWordHigh) return &bus->ConfigWordCache201;
  return NULL;
}

BOOLEAN AcquireConfigMemory(BusDeviceContext* bus) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = kMutexTimeout;
  return KeWaitForSingleObject(&bus->ConfigMutex, Executive, KernelMode, FALSE, &timeout) ==
         STATUS_SUCCESS;
}

void ReleaseConfigMemory(BusDeviceContext* bus) {
  KeStallExecutionProcessor(kSettleMicroseconds);
  KeReleaseMutex(&bus->ConfigMutex, FALSE);
}

}  // namespace

// Input u32 word index, answered in the same buffer. The index must be there to be read.
AdapterResult ReadConfigWordCode(AdapterRequest* request) {
  if (!HasInput(request, 4) || !HasOutput(request, 4)) return TooSmall();
  BusDeviceContext* bus = request->Bus;
  if (!ConfigCodesPermitted(bus, FALSE)) return Refused();
  ULONG index = LoadU32(request->Buffer);
  ULONG* cache = CacheOf(bus, index);
  if (cache != NULL && bus->DriverModel == 0 && *cache != 0 && *cache != 0xFFFFFFFF) {
    StoreU32(request->Buffer, *cache);
    return Answer(STATUS_SUCCESS, 4);
  }
  if (!AcquireConfigMemory(bus)) return Refused();
  ULONG value = 0;
  NTSTATUS status = ConfigWordRead(bus, index, &value);
  if (NT_SUCCESS(status) && cache != NULL) *cache = value;
  ReleaseConfigMemory(bus);
  if (!NT_SUCCESS(status)) return Refused();
  StoreU32(request->Buffer, value);
  return Answer(STATUS_SUCCESS, 4);
}

// Input: u16 word index (the low half of the first u32), u32 value.
AdapterResult WriteConfigWordCode(AdapterRequest* request) {
  if (!HasInput(request, 8)) return TooSmall();
  BusDeviceContext* bus = request->Bus;
  if (!ConfigCodesPermitted(bus, TRUE)) return Refused();
  USHORT index = (USHORT)(request->Buffer[0] | request->Buffer[1] << 8);
  ULONG value = LoadU32(request->Buffer + 4);
  if (!AcquireConfigMemory(bus)) return Refused();
  NTSTATUS status = ConfigWordWrite(bus, index, value);
  ReleaseConfigMemory(bus);
  return NT_SUCCESS(status) ? Answer(STATUS_SUCCESS) : Refused();
}
