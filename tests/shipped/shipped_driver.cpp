#include "shipped_driver.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "host/hostk/driver_image.h"
#include "image_map.h"

namespace kxtest {
namespace {

[[noreturn]] void Stop(const std::string& why) {
  std::fprintf(stderr, "shipped image: %s\n", why.c_str());
  std::fflush(stderr);
  std::abort();
}

struct ShippedImage {
  hostk::DriverImage* image = nullptr;
  ImageMap map;
};

ShippedImage& Loaded() {
  static ShippedImage shipped;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string error;
    shipped.image = hostk::LoadDriverImage(KX_KERNEL_IMAGE, &error);
    if (shipped.image == nullptr) Stop("cannot load " KX_KERNEL_IMAGE ": " + error);
    std::ifstream file(KX_KERNEL_IMAGE_MAP);
    if (!file) Stop("no map of the kernel link at " KX_KERNEL_IMAGE_MAP);
    std::stringstream text;
    text << file.rdbuf();
    if (!shipped.map.Parse(text.str(), &error)) Stop(KX_KERNEL_IMAGE_MAP ": " + error);
  });
  return shipped;
}

}  // namespace

void* ShippedSymbol(const char* name) {
  ShippedImage& shipped = Loaded();
  uint32_t offset;
  std::string error;
  if (!shipped.map.Offset(name, &offset, &error)) Stop(error);
  if (offset >= hostk::DriverImageSize(shipped.image)) {
    Stop(std::string("the map places \"") + name + "\" outside the loaded image");
  }
  return reinterpret_cast<void*>(hostk::DriverImageBase(shipped.image) + offset);
}

}  // namespace kxtest
