// The loader's steps, each on the image as mapped (the file's headers and sections laid out at
// their relative addresses), each answering false with the reason when it cannot do its part.
#pragma once

#include <string>
#include <vector>

#include "host/hostk/driver_image.h"
#include "pe_format.h"

namespace hostk {

// The mapped image, with every read and write of it bounded by its size.
struct ImageView {
  uint8_t* base;
  size_t size;

  bool Holds(uint32_t rva, size_t length) const {
    return rva <= size && length <= size - rva;
  }
  // A zero-terminated name at `rva`, or nullptr when it runs past the image.
  const char* NameAt(uint32_t rva) const {
    if (rva >= size) return nullptr;
    const void* end = memchr(base + rva, 0, size - rva);
    return end == nullptr ? nullptr : (const char*)(base + rva);
  }
};

bool ParseHeaders(const std::vector<uint8_t>& file, pe::Headers* headers, std::string* error);
bool ApplyRelocations(const ImageView& image, const pe::Headers& headers, std::string* error);
bool BindImports(const ImageView& image, const pe::Headers& headers, std::string* error);
// From the first load on, a processor fault in an image's code on a managed thread is an access
// violation dispatched to the image's handlers (image_faults.cpp).
void CatchImageFaults();

}  // namespace hostk
