// The bridge register path (endpoints 0x0D/0x8D) and the internal bus path (0x0E/0x8E). Command
// packets are written byte by byte, little-endian. A read is a command out and, only when that
// went through, four bytes in, into a zeroed result; anything but four bytes is a failure, never
// a value, and what the device may still hold of it is read out before the path's next
// operation. Each path's lock keeps the transfers together.
#include "driver/kxbus.h"

namespace {

constexpr UCHAR kBridgeConfigRead = 0xCF;
constexpr UCHAR kBridgeConfigWrite = 0x4F;
constexpr UCHAR kBridgeRegRead = 0xDF;
constexpr UCHAR kBridgeRegWrite = 0x5F;
constexpr ULONG kPciMemRead = 0x010000CF;
constexpr ULONG kPciMemWrite = 0x0100004F;
constexpr ULONG kPciConfigRead = 0x010000EF;
constexpr ULONG kPciConfigWrite = 0x0100006F;
// The operations without a location address bus 2, device 0, function 0, type 0.
const PciLocation kFixedLocation = {2, 0, 0, 0};

void PutU32(UCHAR* bytes, ULONG value) {
  bytes[0] = (UCHAR)value;
  bytes[1] = (UCHAR)(value >> 8);
  bytes[2] = (UCHAR)(value >> 16);
  bytes[3] = (UCHAR)(value >> 24);
}

ULONG GetU32(const UCHAR* bytes) {
  return (ULONG)bytes[0] | (ULONG)bytes[1] << 8 | (ULONG)bytes[2] << 16 | (ULONG)bytes[3] << 24;
}

// Both paths run at passive level only: the lock is a kernel mutex waited for without a limit,
// and the transfers wait too. A call from above is refused before it touches the lock.
bool PathCallable() { return KeGetCurrentIrql() == PASSIVE_LEVEL; }
void LockPath(PKMUTEX lock) { KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, NULL); }
void UnlockPath(PKMUTEX lock) { KeReleaseMutex(lock, FALSE); }

// A result is four bytes the device sent; fewer is not a register value.
NTSTATUS CheckResultLength(NTSTATUS status, ULONG received) {
  if (NT_SUCCESS(status) && received != 4) {
    KX_TRACE(KX_TRACE_ERROR, "register result of %u bytes instead of 4\n", received);
    return STATUS_DEVICE_DATA_ERROR;
  }
  return status;
}

NTSTATUS BridgeRead(BusDeviceContext* bus, UCHAR command, USHORT reg, ULONG* value) {
  if (!PathCallable()) return STATUS_UNSUCCESSFUL;
  UCHAR packet[4] = {command, 0, (UCHAR)reg, (UCHAR)(reg >> 8)};
  UCHAR result[4] = {0, 0, 0, 0};
  LockPath(&bus->BridgePathLock);
  NTSTATUS status = UsbDoBulkTransfer_2(bus, bus->PipeCsrOut, packet, sizeof packet, kTransferOut);
  if (NT_SUCCESS(status)) {
    ULONG received;
    status = UsbDoBulkTransfer_2(bus, bus->PipeCsrIn, result, sizeof result, kTransferIn, &received);
    status = CheckResultLength(status, received);
    if (NT_SUCCESS(status)) *value = GetU32(result);
    if (!NT_SUCCESS(status)) UsbDrainResults(bus, bus->PipeCsrIn, TRUE);
  }
  UnlockPath(&bus->BridgePathLock);
  return status;
}

NTSTATUS BridgeWrite(BusDeviceContext* bus, UCHAR command, USHORT reg, ULONG value) {
  if (!PathCallable()) return STATUS_UNSUCCESSFUL;
  UCHAR packet[8] = {command, 0, (UCHAR)reg, (UCHAR)(reg >> 8)};
  PutU32(packet + 4, value);
  LockPath(&bus->BridgePathLock);
  NTSTATUS status = UsbDoBulkTransfer_2(bus, bus->PipeCsrOut, packet, sizeof packet, kTransferOut);
  UnlockPath(&bus->BridgePathLock);
  return status;
}

// The word, or a failure: the command or the receive failed, or fewer than four bytes came.
NTSTATUS PciRead(BusDeviceContext* bus, ULONG command, ULONG address, ULONG* value) {
  *value = 0;
  if (!PathCallable()) return STATUS_UNSUCCESSFUL;
  UCHAR packet[8];
  PutU32(packet, command);
  PutU32(packet + 4, address);
  UCHAR result[4] = {0, 0, 0, 0};
  LockPath(&bus->PciPathLock);
  NTSTATUS status = UsbDoBulkTransfer(bus, bus->PipePciOut, packet, sizeof packet, kTransferOut);
  if (NT_SUCCESS(status)) {
    ULONG received;
    status = UsbDoBulkTransfer(bus, bus->PipePciIn, result, sizeof result, kTransferIn, &received);
    status = CheckResultLength(status, received);
    if (!NT_SUCCESS(status) && IoCountAcquireIfStarted(bus)) {
      UsbDrainResults(bus, bus->PipePciIn, FALSE);
      IoCountDecrement(bus);
    }
  }
  UnlockPath(&bus->PciPathLock);
  if (NT_SUCCESS(status)) *value = GetU32(result);
  return status;
}

// Failures are not passed on: a read that does not complete yields 0.
ULONG PciReadOrZero(BusDeviceContext* bus, ULONG command, ULONG address) {
  ULONG value;
  PciRead(bus, command, address, &value);
  return value;
}

NTSTATUS PciWriteStatus(BusDeviceContext* bus, ULONG command, ULONG address, ULONG value) {
  if (!PathCallable()) return STATUS_UNSUCCESSFUL;
  UCHAR packet[12];
  PutU32(packet, command);
  PutU32(packet + 4, address);
  PutU32(packet + 8, value);
  LockPath(&bus->PciPathLock);
  NTSTATUS status = UsbDoBulkTransfer(bus, bus->PipePciOut, packet, sizeof packet, kTransferOut);
  UnlockPath(&bus->PciPathLock);
  return status;
}

// Transfer failures are not passed on; a call from above passive level sends nothing and says so.
BOOLEAN PciWrite(BusDeviceContext* bus, ULONG command, ULONG address, ULONG value) {
  if (!PathCallable()) return FALSE;
  PciWriteStatus(bus, command, address, value);
  return TRUE;
}

// Bits 0-7 bus, 8-10 function, 11-15 device, 16-19 offset bits 8-11, 24 type 1, 26-31 offset bits
// 2-7.
ULONG ConfigAddress(const PciLocation* location, USHORT offset) {
  return (ULONG)location->Bus | (ULONG)(location->Function & 0x7) << 8 |
         (ULONG)(location->Device & 0x1F) << 11 | (ULONG)(offset & 0xF00) << 8 |
         (location->Type ? 1u << 24 : 0u) | (ULONG)(offset & 0xFC) << 24;
}

}  // namespace

NTSTATUS BridgeConfigRead(BusDeviceContext* bus, USHORT reg, ULONG* value) {
  return BridgeRead(bus, kBridgeConfigRead, reg, value);
}

NTSTATUS BridgeConfigWrite(BusDeviceContext* bus, USHORT reg, ULONG value) {
  return BridgeWrite(bus, kBridgeConfigWrite, reg, value);
}

NTSTATUS BridgeRegRead(BusDeviceContext* bus, USHORT reg, ULONG* value) {
  return BridgeRead(bus, kBridgeRegRead, reg, value);
}

NTSTATUS BridgeRegWrite(BusDeviceContext* bus, USHORT reg, ULONG value) {
  return BridgeWrite(bus, kBridgeRegWrite, reg, value);
}

// Without the old contents there is nothing to merge into: a failed read writes nothing.
void BridgeRegSetHigh(BusDeviceContext* bus, USHORT reg, ULONG a, ULONG b) {
  ULONG old;
  if (!NT_SUCCESS(BridgeRegRead(bus, reg, &old))) return;
  BridgeRegWrite(bus, reg, ((a | b) << 16) | (old & 0xFFFF));
}

void BridgeRegSetLow(BusDeviceContext* bus, USHORT reg, ULONG a, ULONG b) {
  ULONG old;
  if (!NT_SUCCESS(BridgeRegRead(bus, reg, &old))) return;
  BridgeRegWrite(bus, reg, (old & 0xFFFF0000) | a | b);
}

void BridgeRegSetLowIndexed(BusDeviceContext* bus, UCHAR index, ULONG a, ULONG b) {
  BridgeRegSetLow(bus, (USHORT)(0x520 + 0x20 * index), a, b);
}

ULONG PciMemRead(BusDeviceContext* bus, ULONG address) {
  return PciReadOrZero(bus, kPciMemRead, address);
}

BOOLEAN PciMemWrite(BusDeviceContext* bus, ULONG address, ULONG value) {
  return PciWrite(bus, kPciMemWrite, address, value);
}

NTSTATUS PciMemWriteChecked(BusDeviceContext* bus, ULONG address, ULONG value) {
  return PciWriteStatus(bus, kPciMemWrite, address, value);
}

namespace {

// The far-side register's `kept` bits with `bits` set. As on the bridge path, a failed read writes
// nothing: a value built from 0 would wipe the bits the write is to keep.
void PciMemModify(BusDeviceContext* bus, ULONG address, ULONG kept, ULONG bits) {
  ULONG old;
  if (!NT_SUCCESS(PciRead(bus, kPciMemRead, address, &old))) return;
  PciMemWrite(bus, address, (old & kept) | bits);
}

}  // namespace

void PciMemSetLow(BusDeviceContext* bus, ULONG offset, ULONG a, ULONG b) {
  PciMemModify(bus, kWindowExtended + offset, 0xFFFF0000, a | b);
}

void PciMemSetBits(BusDeviceContext* bus, ULONG address, ULONG bits) {
  PciMemModify(bus, address, 0xFFFFFFFF, bits);
}

ULONG PciConfigRead(BusDeviceContext* bus, USHORT offset) {
  return PciReadOrZero(bus, kPciConfigRead, ConfigAddress(&kFixedLocation, offset));
}

ULONG PciConfigReadAt(BusDeviceContext* bus, const PciLocation* location, USHORT offset) {
  return PciReadOrZero(bus, kPciConfigRead, ConfigAddress(location, offset));
}

BOOLEAN PciConfigWrite(BusDeviceContext* bus, USHORT offset, ULONG value) {
  return PciWrite(bus, kPciConfigWrite, ConfigAddress(&kFixedLocation, offset), value);
}

BOOLEAN PciConfigWriteAt(BusDeviceContext* bus, const PciLocation* location, USHORT offset,
                         ULONG value) {
  return PciWrite(bus, kPciConfigWrite, ConfigAddress(location, offset), value);
}
