// Mapping a driver image: the headers and each section copied to their relative addresses in a
// fresh anonymous mapping, relocated and bound while writable, then each section given the
// protection its characteristics ask for (code executable and not writable, read-only data not
// writable), so that a stray write into the image's code faults here as it would on the platform.
#include <sys/mman.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>

#include "image_internal.h"

namespace hostk {

struct DriverImage {
  uint8_t* base;
  size_t size;
  PDRIVER_INITIALIZE entry;
};

namespace {

// The images loaded, for IsDriverImageAddress.
std::mutex gImagesLock;
std::vector<DriverImage*> gImages;

int ProtectionOf(uint32_t characteristics) {
  int protection = 0;
  if (characteristics & pe::kSectionRead) protection |= PROT_READ;
  if (characteristics & pe::kSectionWrite) protection |= PROT_READ | PROT_WRITE;
  if (characteristics & pe::kSectionExecute) protection |= PROT_READ | PROT_EXEC;
  return protection;
}

void CopySections(const std::vector<uint8_t>& file, const pe::Headers& headers, uint8_t* base) {
  memcpy(base, file.data(), headers.headersSize);
  for (uint32_t i = 0; i < headers.sectionCount; i++) {
    const pe::Section& section = headers.sections[i];
    // Past the raw data (or all of it for uninitialised data) the section stays zero.
    if (section.characteristics & pe::kSectionUninitializedData) continue;
    uint32_t length = section.virtualSize != 0 ? std::min(section.rawSize, section.virtualSize)
                                               : section.rawSize;
    memcpy(base + section.virtualAddress, file.data() + section.rawOffset, length);
  }
}

bool Protect(const pe::Headers& headers, uint8_t* base, std::string* error) {
  size_t headerSpan = std::min<size_t>(headers.sectionAlignment, headers.imageSize);
  if (mprotect(base, headerSpan, PROT_READ) != 0) {
    *error = "cannot protect the image's headers";
    return false;
  }
  for (uint32_t i = 0; i < headers.sectionCount; i++) {
    const pe::Section& section = headers.sections[i];
    uint32_t span = section.virtualSize != 0 ? section.virtualSize : section.rawSize;
    span = (span + headers.sectionAlignment - 1) / headers.sectionAlignment *
           headers.sectionAlignment;
    span = std::min(span, headers.imageSize - section.virtualAddress);
    if (mprotect(base + section.virtualAddress, span, ProtectionOf(section.characteristics)) != 0) {
      *error = std::string("cannot protect section ") + section.name;
      return false;
    }
  }
  return true;
}

}  // namespace

DriverImage* LoadDriverImageFromBytes(const std::vector<uint8_t>& file, std::string* error) {
  pe::Headers headers;
  if (!ParseHeaders(file, &headers, error)) return nullptr;
  void* mapping = mmap(nullptr, headers.imageSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    *error = "no room for an image of " + std::to_string(headers.imageSize) + " bytes";
    return nullptr;
  }
  uint8_t* base = (uint8_t*)mapping;
  CopySections(file, headers, base);
  ImageView view{base, headers.imageSize};
  if (!ApplyRelocations(view, headers, error) || !BindImports(view, headers, error) ||
      !Protect(headers, base, error)) {
    munmap(mapping, headers.imageSize);
    return nullptr;
  }
  CatchImageFaults();
  DriverImage* image = new DriverImage{base, headers.imageSize,
                                       (PDRIVER_INITIALIZE)(base + headers.entryRva)};
  std::lock_guard<std::mutex> lock(gImagesLock);
  gImages.push_back(image);
  return image;
}

DriverImage* LoadDriverImage(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return nullptr;
  }
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DriverImage* image = LoadDriverImageFromBytes(file, error);
  if (image == nullptr) *error = path + ": " + *error;
  return image;
}

PDRIVER_INITIALIZE DriverImageEntry(const DriverImage* image) { return image->entry; }
uintptr_t DriverImageBase(const DriverImage* image) { return (uintptr_t)image->base; }
size_t DriverImageSize(const DriverImage* image) { return image->size; }

void UnloadDriverImage(DriverImage* image) {
  {
    std::lock_guard<std::mutex> lock(gImagesLock);
    gImages.erase(std::remove(gImages.begin(), gImages.end(), image), gImages.end());
  }
  munmap(image->base, image->size);
  delete image;
}

bool IsDriverImageAddress(const void* address) {
  const uint8_t* at = (const uint8_t*)address;
  std::lock_guard<std::mutex> lock(gImagesLock);
  for (const DriverImage* image : gImages) {
    if (at >= image->base && at < image->base + image->size) return true;
  }
  return false;
}

}  // namespace hostk
