// The bridge's serial configuration memory: 32-bit words behind the control (0x260), data (0x264)
// and third-address-byte (0x26C) registers of the bridge's configuration space. Every step is a
// register round trip, so the polling bounds count register accesses, not time. Callers serialise
// their accesses (ConfigMutex).
#include "driver/kxbus.h"

namespace {

constexpr USHORT kControl = 0x260;
constexpr USHORT kData = 0x264;
constexpr USHORT kThirdAddressByte = 0x26C;
constexpr ULONG kPollLimit = 100;
constexpr ULONG kInProgress = 1u << 18;
constexpr ULONG kStaleFlag = 1u << 19;
constexpr ULONG kMemoryBusy = 1u << 24;
constexpr ULONG kCommandReadWord = 3u << 13;
constexpr ULONG kCommandWriteWord = 2u << 13;
constexpr ULONG kCommandReadStatus = 5u << 13;
constexpr ULONG kCommandWriteEnable = 6u << 13;
constexpr ULONG kThreeAddressBytes = 3;

// Bits 0-12 of the word index at 0-12 and bit 13 at bit 20: 14 bits in all.
ULONG WordAddress(ULONG index) { return (index & 0x1FFF) | ((index >> 13) & 1u) << 20; }

// Writes the command and polls until the bridge has taken it; a failed read keeps the last value.
// FALSE when the write failed or the command was still in progress after the last poll: nothing
// that follows may then rely on it.
BOOLEAN IssueCommand(BusDeviceContext* bus, ULONG command) {
  if (!NT_SUCCESS(BridgeConfigWrite(bus, kControl, command))) return FALSE;
  ULONG control = kInProgress;
  for (ULONG i = 0; i < kPollLimit; i++) {
    BridgeConfigRead(bus, kControl, &control);
    if ((control & kInProgress) == 0) return TRUE;
  }
  KX_TRACE(KX_TRACE_ERROR, "configuration memory command 0x%x never completed\n", command);
  return FALSE;
}

// The control value once the memory is not busy, or 0 when it could not be had. A status read
// that does not complete counts as a busy round.
ULONG Prepare(BusDeviceContext* bus) {
  ULONG value;
  if (!NT_SUCCESS(BridgeConfigRead(bus, kControl, &value))) return 0;
  ULONG command = value & 0x8EFF1FFF;
  if (command & kStaleFlag) {
    if (!NT_SUCCESS(BridgeConfigWrite(bus, kControl, command | 0x6000))) return 0;
    command &= ~kStaleFlag;
  }
  command |= kCommandReadStatus;
  ULONG status = 0;
  for (ULONG round = 0; round < kPollLimit; round++) {
    if (!IssueCommand(bus, command)) continue;
    BridgeConfigRead(bus, kControl, &status);
    if ((status & kMemoryBusy) == 0) return status;
  }
  return 0;
}

// With three address bytes the third is cleared before a read; a read that cannot clear it would
// address another word.
BOOLEAN ClearThirdAddressByte(BusDeviceContext* bus) {
  ULONG third;
  if (!NT_SUCCESS(BridgeConfigRead(bus, kThirdAddressByte, &third))) return FALSE;
  return NT_SUCCESS(BridgeConfigWrite(bus, kThirdAddressByte, third & ~0xFFu));
}

}  // namespace

// A word is returned only when its read command completed and the data register was read.
NTSTATUS ConfigWordRead(BusDeviceContext* bus, ULONG index, ULONG* value) {
  ULONG control = Prepare(bus);
  if (control == 0) return STATUS_UNSUCCESSFUL;
  ULONG width = (control >> 22) & 3;
  if (width == kThreeAddressBytes && !ClearThirdAddressByte(bus)) return STATUS_UNSUCCESSFUL;
  if (!IssueCommand(bus, (control & 0xFFEF6000) | kCommandReadWord | WordAddress(index & 0xFFFF))) {
    return STATUS_UNSUCCESSFUL;
  }
  ULONG word;
  if (!NT_SUCCESS(BridgeConfigRead(bus, kData, &word))) return STATUS_UNSUCCESSFUL;
  if (value != NULL) *value = word;
  return STATUS_SUCCESS;
}

// The write itself completes in the memory after this returns; the next Prepare waits for it.
// Each step must have reached the bridge: write enable, the data, and the write command.
NTSTATUS ConfigWordWrite(BusDeviceContext* bus, USHORT index, ULONG value) {
  ULONG control = Prepare(bus);
  if (control == 0) return STATUS_UNSUCCESSFUL;
  ULONG base = control & 0xFFEF0000;
  if (!IssueCommand(bus, base | kCommandWriteEnable)) return STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(BridgeConfigWrite(bus, kData, value))) return STATUS_UNSUCCESSFUL;
  if (!IssueCommand(bus, base | kCommandWriteWord | WordAddress(index))) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

BOOLEAN ConfigReadIdentityWords(BusDeviceContext* bus, ConfigIdentity* identity) {
  if (!NT_SUCCESS(ConfigWordRead(bus, 0, &identity->W0))) return FALSE;
  ULONG word;
  identity->VidRead = NT_SUCCESS(ConfigWordRead(bus, 1, &word));
  if (identity->VidRead) identity->VidW = (USHORT)(word >> 16);
  identity->PidRead = NT_SUCCESS(ConfigWordRead(bus, 2, &word));
  if (identity->PidRead) identity->PidW = (USHORT)word;
  return TRUE;
}

BOOLEAN ConfigReadIdentity(BusDeviceContext* bus, USHORT* vidW, USHORT* pidW, ULONG* w0) {
  if (vidW == NULL || pidW == NULL || w0 == NULL) return FALSE;
  ConfigIdentity identity = {*w0, *vidW, *pidW, FALSE, FALSE};
  if (!ConfigReadIdentityWords(bus, &identity)) return FALSE;
  *w0 = identity.W0;
  *vidW = identity.VidW;
  *pidW = identity.PidW;
  return TRUE;
}

BOOLEAN ConfigWarmUp(BusDeviceContext* bus) {
  ULONG discard;
  BridgeConfigRead(bus, kControl, &discard);
  for (ULONG word = 0; word < 32; word++) ConfigWordRead(bus, word, &discard);
  return TRUE;
}
