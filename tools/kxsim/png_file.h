// PNG files as the driver sees pixels: blue, green, red, x, rows of width * 4 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxsim {

struct BgrxImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

// False with a message in `error` when the file cannot be read as a PNG.
bool LoadPng(const std::string& path, BgrxImage* image, std::string* error);

}  // namespace kxsim
