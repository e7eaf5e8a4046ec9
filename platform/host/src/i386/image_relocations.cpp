// Base relocations: the image was linked for its preferred base and is mapped wherever the host
// gives room, so every absolute address in it moves by the difference. A 32-bit x86 image has only
// HIGHLOW entries (and ABSOLUTE padding); any other type means the file is not what this loader
// understands, and applying it half would leave wrong addresses behind: the load fails instead.
#include <cstdio>

#include "image_internal.h"

namespace hostk {
namespace {

constexpr uint32_t kBlockHeaderSize = 8;

bool Fail(std::string* error, const char* format, unsigned a, unsigned b) {
  char text[128];
  snprintf(text, sizeof text, format, a, b);
  *error = text;
  return false;
}

// One block: a page's relative address and the 16-bit entries below it.
bool ApplyBlock(const ImageView& image, uint32_t page, const uint8_t* entries, uint32_t count,
                uint32_t delta, std::string* error) {
  for (uint32_t i = 0; i < count; i++) {
    uint16_t entry = pe::U16(entries + 2 * i);
    int type = entry >> 12;
    uint32_t rva = page + (entry & 0xFFF);
    if (type == pe::kRelocAbsolute) continue;
    if (type != pe::kRelocHighLow) {
      return Fail(error, "relocation type %u at 0x%X is not supported (only HIGHLOW)",
                  (unsigned)type, rva);
    }
    if (!image.Holds(rva, 4)) {
      return Fail(error, "relocation at 0x%X lies outside the image (size 0x%X)", rva,
                  (unsigned)image.size);
    }
    uint32_t value = pe::U32(image.base + rva) + delta;
    memcpy(image.base + rva, &value, 4);
  }
  return true;
}

}  // namespace

bool ApplyRelocations(const ImageView& image, const pe::Headers& headers, std::string* error) {
  uint32_t delta = (uint32_t)(uintptr_t)image.base - headers.imageBase;
  const pe::DataDirectory* directory = headers.directoryCount > pe::kDirectoryBaseReloc
                                           ? &headers.directories[pe::kDirectoryBaseReloc]
                                           : nullptr;
  if (directory == nullptr || directory->size == 0) {
    if (delta == 0) return true;
    *error = "the image has no base relocations and cannot move from its preferred base";
    return false;
  }
  if (!image.Holds(directory->rva, directory->size)) {
    return Fail(error, "base relocations at 0x%X (0x%X bytes) lie outside the image",
                directory->rva, directory->size);
  }
  const uint8_t* at = image.base + directory->rva;
  const uint8_t* end = at + directory->size;
  while (end - at >= (ptrdiff_t)kBlockHeaderSize) {
    uint32_t page = pe::U32(at);
    uint32_t blockSize = pe::U32(at + 4);
    if (blockSize < kBlockHeaderSize || blockSize > (uint32_t)(end - at) || blockSize % 2 != 0) {
      return Fail(error, "base relocation block for 0x%X has a bad size 0x%X", page, blockSize);
    }
    uint32_t count = (blockSize - kBlockHeaderSize) / 2;
    if (!ApplyBlock(image, page, at + kBlockHeaderSize, count, delta, error)) return false;
    at += blockSize;
  }
  return true;
}

}  // namespace hostk
