// The adapter's programming at every start: which chip generation answers, whether the bridge
// still runs on its first-stage image, the initialisation, the data channels' DMA windows, and
// the status values left in the registry.
#include "driver/kxbus.h"
#include "jpeg/jpeg.h"

namespace {

constexpr USHORT kStatusRegister = 0x90;
constexpr ULONG kExtendedChipBit = 0x1000;
constexpr ULONG kFirstStageWord0 = 0x000C005A;
constexpr USHORT kLinkSelectRegister = 0x50;
constexpr ULONG kFarPortStatus = 0x90;

struct RegisterValue {
  USHORT Register;
  ULONG Value;
};

// The bridge's DMA windows of the data channels; the legacy adapter has channels 2 and 4 only.
constexpr RegisterValue kDmaWindows[] = {{0x194, 0x30200000}, {0x180, 0xC3},
                                         {0x1B4, 0x30280000}, {0x1A0, 0xC3},
                                         {0x1D4, 0x30300000}, {0x1C0, 0xC3},
                                         {0x1F4, 0x30380000}, {0x1E0, 0xC3}};
constexpr RegisterValue kLegacyDmaWindows[] = {{0x1B4, 0x30280000}, {0x1A0, 0xC3},
                                               {0x1F4, 0x30380000}, {0x1E0, 0xC3}};

// A 4-byte status value under the adapter's numbered subkey, little-endian.
void WriteStatusULong(PCWSTR name, ULONG value) {
  UCHAR bytes[4] = {(UCHAR)value, (UCHAR)(value >> 8), (UCHAR)(value >> 16), (UCHAR)(value >> 24)};
  WriteStatusValue(name, sizeof bytes, bytes);
}

template <SIZE_T N>
void WriteRegisters(BusDeviceContext* bus, const RegisterValue (&writes)[N]) {
  for (const RegisterValue& write : writes) BridgeRegWrite(bus, write.Register, write.Value);
}

void ReadConfigWordCaches(BusDeviceContext* bus) {
  ULONG word;
  if (NT_SUCCESS(ConfigWordRead(bus, 200, &word))) bus->ConfigWordCache200 = word;
  if (NT_SUCCESS(ConfigWordRead(bus, 201, &word))) bus->ConfigWordCache201 = word;
}

NTSTATUS StartExtended(BusDeviceContext* bus) {
  if (!InitializeAdapter(bus)) return STATUS_UNSUCCESSFUL;
  BridgeRegWrite(bus, kLinkSelectRegister, bus->DriverModel == 0 ? 0xB0 : 0xB8);
  if (bus->Legacy == 0) {
    WriteRegisters(bus, kDmaWindows);
  } else {
    WriteRegisters(bus, kLegacyDmaWindows);
  }
  PciMemSetBits(bus, kWindowExtended + 0x8C, 0x8);
  ReadConfigWordCaches(bus);
  EnableDeviceInterface(bus);
  bus->LinkState = kLinkStateStarted;
  return STATUS_SUCCESS;
}

void StartBasic(BusDeviceContext* bus) {
  EnableDeviceInterface(bus);
  if (bus->DriverModel == 0) BridgeRegWrite(bus, kLinkSelectRegister, 0xB0);
}

void FinishStart(BusDeviceContext* bus) {
  ResetChannels(bus);
  ReadCompressionOptions(bus);
  WriteStatusULong(KX_WSTR("UsbSpeed"), bus->UsbSpeed);
  WriteStatusULong(KX_WSTR("ErrorCode"), 0);
  ULONG discard;
  BridgeRegRead(bus, 0x260, &discard);
  bus->DevicePowerState = PowerDeviceD0;
  ReadFarPortSpeed(bus, &bus->FarPortSpeed);  // a link that is down changes nothing
  BridgeRegRead(bus, kStatusRegister, &discard);
}

}  // namespace

NTSTATUS StartAdapterHardware(BusDeviceContext* bus) {
  ULONG status = 0;
  if (!NT_SUCCESS(BridgeRegRead(bus, kStatusRegister, &status))) status = 0;
  bus->ExtendedChip = (status & kExtendedChipBit) != 0;
  ConfigIdentity identity = {0, 0, 0, FALSE, FALSE};
  if (bus->ExtendedChip && (!ConfigReadIdentityWords(bus, &identity) || identity.W0 == 0)) {
    return STATUS_UNSUCCESSFUL;
  }
  JpegSelectStageRoutines();
  WriteStatusULong(KX_WSTR("SPI0"), identity.W0);
  if (bus->ExtendedChip && identity.W0 == kFirstStageWord0 && identity.PidRead &&
      bus->IdProduct == identity.PidW) {
    // The switch gives the bridge an identity made of words 1 and 2, and the bridge leaves the bus
    // to come back with it: never one made of a word that did not arrive, which no driver would
    // then match. Such a start fails; the bridge keeps its first-stage identity, and the words
    // are read again when it is started next (plugged in again, or the device enabled again).
    if (!identity.VidRead && IdentitySwitchUsesVendorWord(bus)) {
      KX_TRACE(KX_TRACE_ERROR, "vendor word not read: no identity switch\n");
      return STATUS_UNSUCCESSFUL;
    }
    SwitchFirstStageIdentity(bus, identity.VidW, identity.PidW);
    return STATUS_SUCCESS;
  }
  if (bus->ExtendedChip) {
    NTSTATUS result = StartExtended(bus);
    if (!NT_SUCCESS(result)) return result;
  } else {
    StartBasic(bus);
  }
  FinishStart(bus);
  return STATUS_SUCCESS;
}

BOOLEAN InitializeAdapter(BusDeviceContext* bus) {
  return bus->Legacy != 0 ? InitializeAdapterLegacy(bus) : InitializeAdapterFull(bus);
}

NTSTATUS ReadFarPortSpeed(BusDeviceContext* bus, UCHAR* speed) {
  if (speed == NULL) return STATUS_INVALID_PARAMETER;
  ULONG window = bus->ExtendedChip ? kWindowExtended : kWindowBasic;
  ULONG value = PciMemRead(bus, window + kFarPortStatus);
  if (value == 0) return STATUS_UNSUCCESSFUL;
  if (value & 0x40) {
    *speed = 0;
  } else if (value & 0x80) {
    *speed = 1;
  } else if (value & 0x100) {
    *speed = 2;
  }
  return STATUS_SUCCESS;
}
