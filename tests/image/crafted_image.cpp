#include "crafted_image.h"

#include <algorithm>
#include <cstring>

namespace kxtest {
namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionSize = 0x200;
constexpr uint32_t kOptionalHeaderSize = 96 + 16 * 8;
constexpr uint32_t kNtHeaderAt = 0x40;
constexpr uint32_t kDescriptorsAt = 0x10;  // in the data section, after the relocated word

void Put16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  bytes[at] = (uint8_t)value;
  bytes[at + 1] = (uint8_t)(value >> 8);
}
void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; i++) bytes[at + i] = (uint8_t)(value >> (8 * i));
}

struct Section {
  const char* name;
  uint32_t rva;
  uint32_t characteristics;
};
const Section kSections[] = {
    {".text", kCraftedCodeRva, 0x60000020},   // code, execute, read
    {".data", kCraftedDataRva, 0xC0000040},   // initialised data, read, write
    {".reloc", kCraftedRelocRva, 0x42000040}, // initialised data, discardable, read
};

void WriteHeaders(std::vector<uint8_t>& file, const CraftedImage& crafted, uint32_t relocSize) {
  Put16(file, 0, 0x5A4D);
  Put32(file, 0x3C, kNtHeaderAt);
  Put32(file, kNtHeaderAt, 0x00004550);
  size_t coff = kNtHeaderAt + 4;
  Put16(file, coff, crafted.machine);
  Put16(file, coff + 2, 3);
  Put16(file, coff + 16, kOptionalHeaderSize);
  Put16(file, coff + 18, 0x2102 | (crafted.withRelocations ? 0 : 1));  // DLL, 32-bit, executable
  size_t opt = coff + 20;
  Put16(file, opt, 0x010B);
  Put32(file, opt + 16, kCraftedCodeRva);  // DriverEntry
  Put32(file, opt + 28, kCraftedPreferredBase);
  Put32(file, opt + 32, 0x1000);
  Put32(file, opt + 36, kFileAlignment);
  Put32(file, opt + 56, 0x4000);  // SizeOfImage
  Put32(file, opt + 60, kFileAlignment);  // SizeOfHeaders
  Put16(file, opt + 68, 1);  // native subsystem
  Put32(file, opt + 92, 16);
  Put32(file, opt + 96 + 8 * 1, kCraftedDataRva + kDescriptorsAt);
  Put32(file, opt + 100 + 8 * 1, (uint32_t)(crafted.imports.size() + 1) * 20);
  if (crafted.withRelocations) {
    Put32(file, opt + 96 + 8 * 5, kCraftedRelocRva);
    Put32(file, opt + 100 + 8 * 5, relocSize);
  }
  size_t table = opt + kOptionalHeaderSize;
  for (int i = 0; i < 3; i++, table += 40) {
    memcpy(&file[table], kSections[i].name, strlen(kSections[i].name));
    Put32(file, table + 8, kSectionSize);
    Put32(file, table + 12, kSections[i].rva);
    Put32(file, table + 16, kSectionSize);
    Put32(file, table + 20, kFileAlignment * (i + 1));
    Put32(file, table + 36, kSections[i].characteristics);
  }
}

// By default DriverEntry is: mov eax, <preferred base + data rva>; ret 8, its immediate relocated.
void WriteCode(std::vector<uint8_t>& file, const CraftedImage& crafted) {
  size_t at = kFileAlignment;
  if (!crafted.code.empty()) {
    std::copy(crafted.code.begin(), crafted.code.end(), file.begin() + at);
    return;
  }
  file[at] = 0xB8;
  Put32(file, at + 1, kCraftedPreferredBase + kCraftedDataRva);
  file[at + 5] = 0xC2;
  Put16(file, at + 6, 8);
}

// Descriptors, then per module its lookup table, its address table, its names.
void WriteImports(std::vector<uint8_t>& file, const CraftedImage& crafted) {
  size_t section = 2 * kFileAlignment;
  uint32_t next = kDescriptorsAt + (uint32_t)(crafted.imports.size() + 1) * 20;
  for (size_t m = 0; m < crafted.imports.size(); m++) {
    const auto& routines = crafted.imports[m].second;
    uint32_t lookup = next;
    uint32_t address = lookup + 4 * (uint32_t)(routines.size() + 1);
    next = address + 4 * (uint32_t)(routines.size() + 1);
    for (size_t r = 0; r < routines.size(); r++) {
      Put32(file, section + lookup + 4 * r, kCraftedDataRva + next);
      Put32(file, section + address + 4 * r, kCraftedDataRva + next);
      memcpy(&file[section + next + 2], routines[r].c_str(), routines[r].size());
      next += 2 + (uint32_t)routines[r].size() + 1;
    }
    const std::string& module = crafted.imports[m].first;
    memcpy(&file[section + next], module.c_str(), module.size());
    size_t descriptor = section + kDescriptorsAt + 20 * m;
    Put32(file, descriptor, kCraftedDataRva + lookup);
    Put32(file, descriptor + 12, kCraftedDataRva + next);
    Put32(file, descriptor + 16, kCraftedDataRva + address);
    next += (uint32_t)module.size() + 1;
  }
}

uint32_t WriteRelocations(std::vector<uint8_t>& file, const CraftedImage& crafted) {
  size_t at = 3 * kFileAlignment;
  std::vector<uint16_t> entries;
  if (crafted.code.empty()) entries.push_back((uint16_t)(3 << 12 | 1));  // the default's immediate
  for (uint16_t offset : crafted.codeAddresses) entries.push_back((uint16_t)(3 << 12 | offset));
  entries.insert(entries.end(), crafted.extraRelocations.begin(), crafted.extraRelocations.end());
  if (entries.size() % 2 != 0) entries.push_back(0);  // blocks keep 4-byte alignment
  uint32_t size = 8 + 2 * (uint32_t)entries.size();
  Put32(file, at, kCraftedCodeRva);
  Put32(file, at + 4, size);
  for (size_t i = 0; i < entries.size(); i++) Put16(file, at + 8 + 2 * i, entries[i]);
  return size;
}

}  // namespace

std::vector<uint8_t> BuildImage(const CraftedImage& crafted) {
  std::vector<uint8_t> file(4 * kFileAlignment, 0);
  WriteCode(file, crafted);
  WriteImports(file, crafted);
  uint32_t relocSize = WriteRelocations(file, crafted);
  WriteHeaders(file, crafted, relocSize);
  return file;
}

uint32_t CraftedImportSlot(const CraftedImage& crafted, size_t module, size_t routine) {
  uint32_t next = kDescriptorsAt + (uint32_t)(crafted.imports.size() + 1) * 20;
  for (size_t m = 0;; m++) {
    const auto& routines = crafted.imports[m].second;
    uint32_t address = next + 4 * (uint32_t)(routines.size() + 1);
    if (m == module) return kCraftedDataRva + address + 4 * (uint32_t)routine;
    next = address + 4 * (uint32_t)(routines.size() + 1);
    for (const std::string& name : routines) next += 2 + (uint32_t)name.size() + 1;
    next += (uint32_t)crafted.imports[m].first.size() + 1;
  }
}

}  // namespace kxtest
