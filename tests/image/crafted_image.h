// Small PE32 images written byte by byte for the loader's tests: headers, a code section holding a
// DriverEntry that answers the address of the data section's first word (through a HIGHLOW
// relocation), an import section naming what a test asks for, and a relocation section.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kxtest {

struct CraftedImage {
  uint16_t machine = 0x014C;
  // Each module with the routines the image imports from it by name.
  std::vector<std::pair<std::string, std::vector<std::string>>> imports;
  // Relocation entries (type << 12 | offset) for the code page, after the one DriverEntry needs.
  std::vector<uint16_t> extraRelocations;
  bool withRelocations = true;
  // DriverEntry's code in place of the default, with the offsets of its 32-bit absolute addresses
  // (written for the preferred base), each of which gets a HIGHLOW relocation.
  std::vector<uint8_t> code;
  std::vector<uint16_t> codeAddresses;
};

// The sections' relative addresses.
constexpr uint32_t kCraftedPreferredBase = 0x10000;
constexpr uint32_t kCraftedCodeRva = 0x1000;
constexpr uint32_t kCraftedDataRva = 0x2000;  // the imports follow the first word
constexpr uint32_t kCraftedRelocRva = 0x3000;

std::vector<uint8_t> BuildImage(const CraftedImage& crafted);

// The relative address of the import address table slot of a module's n-th routine.
uint32_t CraftedImportSlot(const CraftedImage& crafted, size_t module, size_t routine);

}  // namespace kxtest
