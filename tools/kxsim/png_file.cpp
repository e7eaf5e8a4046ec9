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

namespace {

// The description of an 8-bit RGB picture for libpng's writers; false with a message when `rgb`
// is not a whole picture of that size.
bool RgbDescription(int width, int height, const std::vector<uint8_t>& rgb, png_image* png,
                    std::string* error) {
  if (width <= 0 || height <= 0 || rgb.size() < size_t(width) * size_t(height) * 3) {
    *error = "no picture of " + std::to_string(width) + " x " + std::to_string(height);
    return false;
  }
  *png = png_image{};
  png->version = PNG_IMAGE_VERSION;
  png->width = png_uint_32(width);
  png->height = png_uint_32(height);
  png->format = PNG_FORMAT_RGB;
  return true;
}

bool Failed(png_image* png, std::string* error) {
  *error = png->message;
  png_image_free(png);
  return false;
}

}  // namespace

bool SaveRgbPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb,
                std::string* error, bool fast) {
  png_image png;
  if (!RgbDescription(width, height, rgb, &png, error)) return false;
  if (fast) png.flags = PNG_IMAGE_FLAG_FAST;
  if (!png_image_write_to_file(&png, path.c_str(), 0, rgb.data(), 0, nullptr)) {
    return Failed(&png, error);
  }
  return true;
}

bool EncodeRgbPng(int width, int height, const std::vector<uint8_t>& rgb, std::string* bytes,
                  std::string* error) {
  png_image png;
  if (!RgbDescription(width, height, rgb, &png, error)) return false;
  png_alloc_size_t size = 0;
  // The first call measures, the second writes.
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, rgb.data(), 0, nullptr)) {
    return Failed(&png, error);
  }
  bytes->resize(size);
  if (!png_image_write_to_memory(&png, &(*bytes)[0], &size, 0, rgb.data(), 0, nullptr)) {
    return Failed(&png, error);
  }
  bytes->resize(size);
  return true;
}

}  // namespace kxsim
