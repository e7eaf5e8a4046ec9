// Decoding of the register-path and internal-bus command packets.
#include "sim/adapter/command_packets.h"

namespace kxsim {
namespace {

constexpr UCHAR kBridgeFixedMask = 0x6F;  // byte enables, bit 5 and bit 6
constexpr UCHAR kBridgeFixedBits = 0x4F;
constexpr ULONG kBusFixedMask = 0xFFFFFF5F;  // all but the type and direction bits
constexpr ULONG kBusFixedBits = 0x0100004F;
constexpr ULONG kConfigReservedBits = 0x02F00000;  // bits 20-23 and 25

}  // namespace

ULONG ReadLe32(const uint8_t* bytes) {
  return (ULONG)bytes[0] | (ULONG)bytes[1] << 8 | (ULONG)bytes[2] << 16 | (ULONG)bytes[3] << 24;
}

std::optional<BridgeCommand> DecodeBridgeCommand(const std::vector<uint8_t>& packet) {
  if (packet.size() < 4) return std::nullopt;
  UCHAR command = packet[0];
  if ((command & kBridgeFixedMask) != kBridgeFixedBits || packet[1] != 0) return std::nullopt;
  BridgeCommand decoded;
  decoded.read = (command & 0x80) != 0;
  decoded.registerSpace = (command & 0x10) != 0;
  decoded.reg = (USHORT)(packet[2] | packet[3] << 8);
  if (packet.size() != (decoded.read ? 4u : 8u)) return std::nullopt;
  if (!decoded.read) decoded.value = ReadLe32(&packet[4]);
  return decoded;
}

std::optional<BusCommand> DecodeBusCommand(const std::vector<uint8_t>& packet) {
  if (packet.size() < 8) return std::nullopt;
  ULONG command = ReadLe32(&packet[0]);
  if ((command & kBusFixedMask) != kBusFixedBits) return std::nullopt;
  BusCommand decoded;
  decoded.read = (command & 0x80) != 0;
  decoded.configuration = (command & 0x20) != 0;
  decoded.address = ReadLe32(&packet[4]);
  if (packet.size() != (decoded.read ? 8u : 12u)) return std::nullopt;
  if (!decoded.read) decoded.value = ReadLe32(&packet[8]);
  return decoded;
}

std::optional<ConfigAddress> DecodeConfigAddress(ULONG word) {
  if (word & kConfigReservedBits) return std::nullopt;
  ConfigAddress decoded;
  decoded.location.bus = (UCHAR)word;
  decoded.location.function = (UCHAR)((word >> 8) & 7);
  decoded.location.device = (UCHAR)((word >> 11) & 0x1F);
  decoded.location.type1 = (word >> 24) & 1;
  decoded.offset = (USHORT)(((word >> 16) & 0xF) << 8 | ((word >> 26) & 0x3F) << 2);
  return decoded;
}

}  // namespace kxsim
