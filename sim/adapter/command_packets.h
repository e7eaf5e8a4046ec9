// The command packets of the bridge register path (endpoint 0x0D) and the internal bus path
// (endpoint 0x0E), as the bridge decodes them. All fields are little-endian.
//
// Bridge register command: command byte, 0, 16-bit register, then the 32-bit value of a write.
// The command byte: bits 0-3 byte enables (the bridge takes whole words only: 0xF), bit 4 space
// (1 register space), bit 5 zero, bit 6 one, bit 7 direction (1 read). A read is 4 bytes, a
// write 8.
//
// Internal bus command: 32-bit command word, 32-bit address, then the 32-bit value of a write.
// The command word: bits 0-3 byte enables (0xF), bit 4 zero, bit 5 type (1 configuration), bit 6
// one, bit 7 direction (1 read), bits 8-23 zero, bit 24 one, bits 25-31 zero. A read is 8 bytes,
// a write 12.
//
// Configuration address word: bits 0-7 bus, 8-10 function, 11-15 device, 16-19 register bits
// 8-11, 24 type-1 flag, 26-31 register bits 2-7; bits 20-23 and 25 zero.
//
// A packet that breaks any of these rules is refused: the bridge stalls the endpoint.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/adapter/operation_log.h"

namespace kxsim {

struct BridgeCommand {
  bool read = false;
  bool registerSpace = false;
  USHORT reg = 0;
  ULONG value = 0;
};

struct BusCommand {
  bool read = false;
  bool configuration = false;
  ULONG address = 0;
  ULONG value = 0;
};

struct ConfigAddress {
  BusLocation location;
  USHORT offset = 0;  // byte offset 0-0xFFC
};

ULONG ReadLe32(const uint8_t* bytes);

std::optional<BridgeCommand> DecodeBridgeCommand(const std::vector<uint8_t>& packet);
std::optional<BusCommand> DecodeBusCommand(const std::vector<uint8_t>& packet);
std::optional<ConfigAddress> DecodeConfigAddress(ULONG word);

}  // namespace kxsim
