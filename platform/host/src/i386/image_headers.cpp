// The PE32 headers of a driver image: checked against the file's length and against what this
// loader can map (32-bit x86, sections on page boundaries) before anything is mapped.
#include <unistd.h>

#include <cstdio>

#include "image_internal.h"

namespace hostk {
namespace {

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof text, "0x%X", (unsigned)value);
  return text;
}

bool ReadSections(const std::vector<uint8_t>& file, size_t at, pe::Headers* headers,
                  std::string* error) {
  for (uint32_t i = 0; i < headers->sectionCount; i++, at += pe::kSectionHeaderSize) {
    const uint8_t* p = file.data() + at;
    pe::Section& section = headers->sections[i];
    memcpy(section.name, p, 8);
    section.virtualSize = pe::U32(p + 8);
    section.virtualAddress = pe::U32(p + 12);
    section.rawSize = pe::U32(p + 16);
    section.rawOffset = pe::U32(p + 20);
    section.characteristics = pe::U32(p + 36);
    uint32_t span = section.virtualSize != 0 ? section.virtualSize : section.rawSize;
    if (section.virtualAddress % headers->sectionAlignment != 0 ||
        section.virtualAddress < headers->headersSize || span > headers->imageSize ||
        section.virtualAddress > headers->imageSize - span) {
      return Fail(error, std::string("section ") + section.name + " lies outside the image");
    }
    if (section.rawSize != 0 && (section.rawOffset > file.size() ||
                                 section.rawSize > file.size() - section.rawOffset)) {
      return Fail(error, std::string("section ") + section.name + " runs past the end of the file");
    }
  }
  return true;
}

}  // namespace

bool ParseHeaders(const std::vector<uint8_t>& file, pe::Headers* headers, std::string* error) {
  if (file.size() < 0x40 || pe::U16(file.data()) != pe::kDosMagic) {
    return Fail(error, "not a PE image: no MZ header");
  }
  size_t nt = pe::U32(file.data() + pe::kDosNewHeaderOffset);
  if (nt > file.size() || file.size() - nt < 4 + pe::kFileHeaderSize ||
      pe::U32(file.data() + nt) != pe::kNtSignature) {
    return Fail(error, "not a PE image: no PE signature");
  }
  const uint8_t* coff = file.data() + nt + 4;
  headers->machine = pe::U16(coff);
  headers->sectionCount = pe::U16(coff + 2);
  uint16_t optionalSize = pe::U16(coff + 16);
  headers->characteristics = pe::U16(coff + 18);
  if (headers->machine != pe::kMachineI386) {
    return Fail(error, "machine " + Hex(headers->machine) + " is not 32-bit x86");
  }
  size_t optionalAt = nt + 4 + pe::kFileHeaderSize;
  if (optionalSize < 96 || file.size() - optionalAt < optionalSize) {
    return Fail(error, "optional header truncated");
  }
  const uint8_t* opt = file.data() + optionalAt;
  if (pe::U16(opt) != pe::kOptionalMagicPe32) return Fail(error, "not a PE32 optional header");
  headers->entryRva = pe::U32(opt + 16);
  headers->imageBase = pe::U32(opt + 28);
  headers->sectionAlignment = pe::U32(opt + 32);
  headers->fileAlignment = pe::U32(opt + 36);
  headers->imageSize = pe::U32(opt + 56);
  headers->headersSize = pe::U32(opt + 60);
  headers->directoryCount = pe::U32(opt + 92);
  if (headers->directoryCount > 16 || 96 + 8 * headers->directoryCount > optionalSize) {
    return Fail(error, "data directories truncated");
  }
  for (uint32_t i = 0; i < headers->directoryCount; i++) {
    headers->directories[i].rva = pe::U32(opt + 96 + 8 * i);
    headers->directories[i].size = pe::U32(opt + 100 + 8 * i);
  }
  // Each section gets its own protection, which the host can only give whole pages.
  uint32_t page = (uint32_t)sysconf(_SC_PAGESIZE);
  if (headers->sectionAlignment == 0 || headers->sectionAlignment % page != 0) {
    return Fail(error, "section alignment " + std::to_string(headers->sectionAlignment) +
                           " is not a multiple of the page size");
  }
  if (headers->headersSize > file.size() || headers->headersSize > headers->imageSize ||
      headers->entryRva >= headers->imageSize) {
    return Fail(error, "headers or entry point outside the image");
  }
  size_t sectionsAt = optionalAt + optionalSize;
  if (headers->sectionCount > sizeof headers->sections / sizeof headers->sections[0] ||
      file.size() - sectionsAt < headers->sectionCount * pe::kSectionHeaderSize) {
    return Fail(error, "section table truncated");
  }
  return ReadSections(file, sectionsAt, headers, error);
}

}  // namespace hostk
