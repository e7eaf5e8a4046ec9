// IOCTL_BUS_SET_COMPRESSION: the encoder's settings for the frames that follow. They are not
// written to the registry and last until the next start reads the registry's again.
//
// Input: u32 flags, u32 extension length, and with an extension of 4 bytes or more u8 sampling,
// u8 quality, u16 throughput. A caller that announces the extension must send it: 12 bytes.
#include "control/adapter_control.h"

namespace {

constexpr ULONG kFlagCompress = 1u << 16;
constexpr ULONG kHeaderSize = 8;
constexpr ULONG kExtensionMinimum = 4;
constexpr UCHAR kSamplingChoices = 4;
constexpr UCHAR kHighestQuality = 100;

// Out-of-range sampling or quality keeps the old value; a zero throughput turns compression off.
void ApplyExtension(BusDeviceContext* bus, const UCHAR* extension) {
  UCHAR sampling = extension[0];
  UCHAR quality = extension[1];
  ULONG throughput = (ULONG)extension[2] | (ULONG)extension[3] << 8;
  if (sampling < kSamplingChoices) bus->Sampling = sampling;
  if (quality <= kHighestQuality) bus->Quality = quality;
  bus->ThroughPut = throughput;
  if (throughput == 0) bus->EnableJpeg = 0;
}

}  // namespace

AdapterResult SetCompression(AdapterRequest* request) {
  if (!HasInput(request, kHeaderSize)) return TooSmall();
  ULONG flags = LoadU32(request->Buffer);
  BOOLEAN extended = LoadU32(request->Buffer + 4) >= kExtensionMinimum;
  if (extended && !HasInput(request, kHeaderSize + kExtensionMinimum)) return TooSmall();
  BusDeviceContext* bus = request->Bus;
  if (bus->DriverModel != 0) return Refused();
  if ((flags & kFlagCompress) == 0) {
    bus->EnableJpeg = 0;
    return Answer(STATUS_SUCCESS);
  }
  bus->EnableJpeg = 1;
  if (extended) ApplyExtension(bus, request->Buffer + kHeaderSize);
  return Answer(STATUS_SUCCESS);
}
