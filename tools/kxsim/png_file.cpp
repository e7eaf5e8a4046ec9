#include "png_file.h"

#include <png.h>

namespace kxsim {

bool LoadPng(const std::string& path, BgrxImage* image, std::string* error) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    *error = png.message;
    return false;
  }
  // libpng converts every colour type and depth; the alpha byte lands where the driver's
  // ignored fourth byte is.
  png.format = PNG_FORMAT_BGRA;
  image->width = int(png.width);
  image->height = int(png.height);
  image->pixels.resize(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr)) {
    *error = png.message;
    png_image_free(&png);
    return false;
  }
  return true;
}

}  // namespace kxsim
