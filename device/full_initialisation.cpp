// The full initialisation of an extended adapter: the bridge's configuration space and endpoints,
// the bus switch and the far-side chip mapped at 0x30000000, then the far-side chip's own
// endpoints, identity, channels and DMA windows.
#include "driver/kxbus.h"

namespace {

struct RegisterValue {
  ULONG Register;
  ULONG Value;
};

struct EndpointHalves {
  USHORT Register;
  ULONG A;
  ULONG Low;
  ULONG High;
};

constexpr EndpointHalves kEndpointLayout[] = {
    {0x500, 3, 0x0000, 0x0000}, {0x520, 6, 0x0200, 0x0240}, {0x540, 1, 0x1200, 0x1280},
    {0x560, 6, 0x1280, 0x6000}, {0x580, 1, 0x2280, 0x7040}, {0x5E0, 3, 0x2300, 0x7100}};

constexpr RegisterValue kBridgeConfig[] = {
    {0x3004, 6}, {0x3010, 0x00100000}, {0x3018, 0x00200000}, {0x2004, 6},
    {0x2018, 0x00040100}, {0x0004, 6}, {0x0018, 0x00040201}};

constexpr ULONG kFar = kWindowExtended;
constexpr RegisterValue kFarFirstIndexed[] = {{0x32, 0x40}, {0x72, 0x40}, {0x31, 0x40},
                                              {0x71, 0x40}, {0x30, 0x40}, {0x70, 0x40},
                                              {0x08, 0x04}, {0x09, 0x04}};
constexpr RegisterValue kFarSecondIndexed[] = {{0x52, 0x40}, {0x92, 0x40}, {0x51, 0x40},
                                               {0x91, 0x40}, {0x50, 0x40}, {0x90, 0x40}};

constexpr PciLocation kSwitchUp = {2, 0, 0, 0};
constexpr PciLocation kSwitchDown = {3, 0, 2, 1};
constexpr PciLocation kFarSide = {4, 0, 0, 1};

template <SIZE_T N>
void WriteFarIndexed(BusDeviceContext* bus, const RegisterValue (&writes)[N]) {
  for (const RegisterValue& write : writes) {
    PciMemWrite(bus, kFar + 0x30, write.Register);
    PciMemWrite(bus, kFar + 0x34, write.Value);
  }
}

void ProgramBridge(BusDeviceContext* bus) {
  for (const RegisterValue& write : kBridgeConfig) {
    BridgeConfigWrite(bus, (USHORT)write.Register, write.Value);
  }
  ULONG discard;
  BridgeRegWrite(bus, 0x718, 0x00800000);
  BridgeRegRead(bus, 0x9F0, &discard);
  BridgeRegWrite(bus, 0x9F0, 0);
  BridgeRegRead(bus, 0x38, &discard);
  BridgeRegWrite(bus, 0x38, 0xFFE00000);
  ProgramBridgeEndpointLayout(bus);
  BridgeRegWrite(bus, 0x3C, 0xFFE07531);
  for (ULONG n = 1; n <= 4; n++) {
    BridgeRegWrite(bus, (USHORT)(0x30C + 0x20 * n), 0x200);
    BridgeRegWrite(bus, (USHORT)(0x3CC + 0x20 * n), 0x200);
  }
}

void MapSwitchPort(BusDeviceContext* bus, const PciLocation* port, ULONG buses, ULONG window) {
  PciConfigReadAt(bus, port, 0x08);
  PciConfigWriteAt(bus, port, 0x04, 6);
  PciConfigWriteAt(bus, port, 0x18, buses);
  PciConfigReadAt(bus, port, 0x18);
  PciConfigWriteAt(bus, port, 0x20, window);
}

void MapFarSide(BusDeviceContext* bus) {
  MapSwitchPort(bus, &kSwitchUp, 0x00040302, 0x3FF01000);
  MapSwitchPort(bus, &kSwitchDown, 0x00040403, 0x3FF02000);
  PciConfigReadAt(bus, &kSwitchUp, 0x18);
  PciConfigReadAt(bus, &kFarSide, 0x08);
  PciConfigWriteAt(bus, &kFarSide, 0x04, 6);
  PciConfigReadAt(bus, &kFarSide, 0x10);
  PciConfigWriteAt(bus, &kFarSide, 0x10, 0xFFFFFFF0);
  ULONG v = PciConfigReadAt(bus, &kFarSide, 0x10);
  PciConfigWriteAt(bus, &kFarSide, 0x10, (v & 0xF) | kFar);
  PciConfigReadAt(bus, &kFarSide, 0x10);
  PciConfigWriteAt(bus, &kFarSide, 0x18, 0x30200000);
  PciConfigReadAt(bus, &kFarSide, 0x18);
  PciConfigWriteAt(bus, &kFarSide, 0x1C, 0x30400000);
  PciConfigReadAt(bus, &kFarSide, 0x1C);
}

void ProgramFarSideChip(BusDeviceContext* bus) {
  PciMemWrite(bus, kFar + 0x718, 0x00800000);
  for (const EndpointHalves& row : kEndpointLayout) PciMemSetLow(bus, row.Register, row.A, row.Low);
  PciMemRead(bus, kFar + 0x3C);
  PciMemWrite(bus, kFar + 0x3C, 0xFFE07531);
  PciMemWrite(bus, kFar + 0x320, 0x03006E01);
  PciMemRead(bus, kFar + 0x320);
  WriteFarIndexed(bus, kFarFirstIndexed);
  PciMemWrite(bus, kFar + 0x340, 0x00107F02);
  PciMemRead(bus, kFar + 0x340);
  PciMemWrite(bus, kFar + 0x360, 0x03006E03);
  PciMemRead(bus, kFar + 0x360);
  WriteFarIndexed(bus, kFarSecondIndexed);
  PciMemWrite(bus, kFar + 0x38, 0xFFE00000);
  PciMemWrite(bus, kFar + 0x380, 0x00107F04);
  PciMemRead(bus, kFar + 0x380);
  PciMemWrite(bus, kFar + 0x84, ((ULONG)(USHORT)(bus->IdProduct + 1) << 16) | bus->IdVendor);
  PciMemRead(bus, kFar + 0x8C);
}

void ProgramFarSideChannels(BusDeviceContext* bus) {
  for (ULONG n = 0; n < 4; n++) ResetChannelDma(bus, n);
  for (ULONG n = 1; n <= 4; n++) {
    PciMemWrite(bus, kFar + 0x30C + 0x20 * n, 0x200);
    PciMemWrite(bus, kFar + 0x3CC + 0x20 * n, 0x200);
  }
  for (ULONG n = 0; n < 4; n++) {
    PciMemWrite(bus, kFar + 0x194 + 0x20 * n, 0x00200000 + 0x80000 * n);
    PciMemWrite(bus, kFar + 0x180 + 0x20 * n, 0xC3);
  }
  PciMemSetBits(bus, kFar + 0x6C0, 0x800);
  PciMemRead(bus, kFar + 0x6C0);
}

}  // namespace

// All six low halves in table order, then the six high halves.
void ProgramBridgeEndpointLayout(BusDeviceContext* bus) {
  for (const EndpointHalves& row : kEndpointLayout) BridgeRegSetLow(bus, row.Register, row.A, row.Low);
  for (const EndpointHalves& row : kEndpointLayout) {
    BridgeRegSetHigh(bus, row.Register, row.A, row.High);
  }
}

BOOLEAN InitializeAdapterFull(BusDeviceContext* bus) {
  ProgramBridge(bus);
  MapFarSide(bus);
  ProgramFarSideChip(bus);
  ProgramFarSideChannels(bus);
  if (bus->DriverModel == 8) ConfigWarmUp(bus);
  return TRUE;
}
