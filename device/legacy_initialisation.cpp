// The legacy initialisation: an adapter of the earlier generation, whose far-side chip sits at
// the internal bus's fixed location without a switch and uses two data channels.
#include "driver/kxbus.h"

namespace {

struct RegisterValue {
  ULONG Register;
  ULONG Value;
};

constexpr RegisterValue kBridgeConfig[] = {
    {0x3004, 6},          {0x3018, 0x00200000}, {0x300C, 0x20},
    {0x2004, 6},          {0x2018, 0x00020100}, {0x200C, 0x20},
    {0x0018, 0x00020201}, {0x0004, 6},          {0x000C, 0x20}};

constexpr USHORT kChannelRegisters[] = {0x320, 0x340, 0x360, 0x380, 0x3C};

constexpr ULONG kFar = kWindowExtended;
constexpr RegisterValue kFarChannels[] = {
    {kFar + 0x320, 0x03000601}, {kFar + 0x340, 0x03000682},
    {kFar + 0x360, 0x03000603}, {kFar + 0x380, 0x03000684}};
constexpr RegisterValue kFarDmaWindows[] = {
    {kFar + 0x194, 0x00200000}, {kFar + 0x180, 0xC3},
    {kFar + 0x1D4, 0x00300000}, {kFar + 0x1C0, 0xC3}};

void ProgramBridge(BusDeviceContext* bus) {
  for (const RegisterValue& write : kBridgeConfig) {
    BridgeConfigWrite(bus, (USHORT)write.Register, write.Value);
  }
  ULONG discard;
  for (USHORT reg : kChannelRegisters) BridgeRegRead(bus, reg, &discard);
  BridgeRegWrite(bus, 0x3C, 0xFFE06521);
  for (UCHAR n = 0; n < 4; n++) BridgeRegSetLowIndexed(bus, n, 5, 0x200 + 0x800 * (ULONG)n);
}

void MapFarSide(BusDeviceContext* bus) {
  ULONG command = PciConfigRead(bus, 0x04);
  PciConfigWrite(bus, 0x04, command | 6);
  PciConfigWrite(bus, 0x0C, 0x20);
  PciConfigWrite(bus, 0x10, kFar);
  PciConfigWrite(bus, 0x18, 0x30200000);
}

}  // namespace

BOOLEAN InitializeAdapterLegacy(BusDeviceContext* bus) {
  ProgramBridge(bus);
  MapFarSide(bus);
  for (const RegisterValue& write : kFarChannels) PciMemWrite(bus, write.Register, write.Value);
  PciMemWrite(bus, kFar + 0x84, ((ULONG)(USHORT)(bus->IdProduct + 1) << 16) | bus->IdVendor);
  PciMemWrite(bus, kFar + 0x38, 0xFFE00008);
  for (const RegisterValue& write : kFarDmaWindows) PciMemWrite(bus, write.Register, write.Value);
  PciMemSetBits(bus, kFar + 0x8C, 0x8);
  return TRUE;
}
