// Imports: each module the image names, each routine it takes from it by name, bound to the host
// kernel's routine through the binding table. Every routine without a binding is named in the one
// failure, so a new call into the platform shows up as a list, not one name per attempt.
#include <cstdio>

#include "image_internal.h"

namespace hostk {
namespace {

constexpr uint32_t kDescriptorSize = 20;

bool Fail(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

// One module's lookup table (or, when the image has none, its address table) walked in step with
// the address table the image calls through.
bool BindModule(const ImageView& image, const char* module, uint32_t lookupRva,
                uint32_t addressRva, std::string* unbound, std::string* error) {
  for (uint32_t i = 0;; i++) {
    if (!image.Holds(lookupRva + 4 * i, 4) || !image.Holds(addressRva + 4 * i, 4)) {
      return Fail(error, std::string("import table of ") + module + " runs past the image");
    }
    uint32_t lookup = pe::U32(image.base + lookupRva + 4 * i);
    if (lookup == 0) return true;
    if (lookup & pe::kImportByOrdinal) {
      return Fail(error, std::string(module) + ": import by ordinal " +
                             std::to_string(lookup & 0xFFFF) + " (only names are bound)");
    }
    const char* routine = image.NameAt(lookup + 2);  // after the two-byte hint
    if (routine == nullptr) return Fail(error, std::string(module) + ": import name outside the image");
    const ImportBinding* binding = FindImportBinding(module, routine);
    if (binding == nullptr) {
      *unbound += std::string(unbound->empty() ? "" : ", ") + module + "!" + routine;
      continue;
    }
    uint32_t address = (uint32_t)(uintptr_t)binding->address;
    memcpy(image.base + addressRva + 4 * i, &address, 4);
  }
}

}  // namespace

bool BindImports(const ImageView& image, const pe::Headers& headers, std::string* error) {
  if (headers.directoryCount <= pe::kDirectoryImport) return true;
  const pe::DataDirectory& directory = headers.directories[pe::kDirectoryImport];
  if (directory.size == 0) return true;
  std::string unbound;
  for (uint32_t at = directory.rva;; at += kDescriptorSize) {
    if (!image.Holds(at, kDescriptorSize)) return Fail(error, "import directory runs past the image");
    const uint8_t* descriptor = image.base + at;
    uint32_t lookupRva = pe::U32(descriptor);
    uint32_t nameRva = pe::U32(descriptor + 12);
    uint32_t addressRva = pe::U32(descriptor + 16);
    if (nameRva == 0 && addressRva == 0) break;  // the all-zero descriptor ends the list
    const char* module = image.NameAt(nameRva);
    if (module == nullptr) return Fail(error, "import module name outside the image");
    if (!BindModule(image, module, lookupRva != 0 ? lookupRva : addressRva, addressRva, &unbound,
                    error)) {
      return false;
    }
  }
  if (!unbound.empty()) return Fail(error, "no binding for imported routine(s): " + unbound);
  return true;
}

}  // namespace hostk
