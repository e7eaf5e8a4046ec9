// The parts of the PE/COFF format a 32-bit x86 driver image needs to be mapped: headers, sections,
// base relocations and the import directory, with the offsets and values the format defines. Read
// from the file byte by byte (little-endian), never by casting, so a truncated or hostile file
// cannot make the loader read past what it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace hostk::pe {

constexpr uint16_t kDosMagic = 0x5A4D;          // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;   // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kFileRelocsStripped = 0x0001;

constexpr size_t kDosNewHeaderOffset = 0x3C;    // e_lfanew
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;

// Data directories of the optional header, by index.
constexpr int kDirectoryImport = 1;
constexpr int kDirectoryBaseReloc = 5;

// Section characteristics.
constexpr uint32_t kSectionUninitializedData = 0x00000080;
constexpr uint32_t kSectionDiscardable = 0x02000000;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// Base relocation types (the high four bits of each entry).
constexpr int kRelocAbsolute = 0;  // padding: nothing to apply
constexpr int kRelocHighLow = 3;   // the 32-bit word at the offset gets the delta added

constexpr uint32_t kImportByOrdinal = 0x80000000;  // in a PE32 lookup entry

inline uint16_t U16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
inline uint32_t U32(const uint8_t* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Section {
  char name[9] = {};
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
};

// What the loader takes from the headers; the rest of them it copies into the image unread.
struct Headers {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint32_t imageBase = 0;
  uint32_t entryRva = 0;
  uint32_t sectionAlignment = 0;
  uint32_t fileAlignment = 0;
  uint32_t imageSize = 0;
  uint32_t headersSize = 0;
  DataDirectory directories[16];
  uint32_t directoryCount = 0;
  Section sections[96];
  uint32_t sectionCount = 0;
};

}  // namespace hostk::pe
