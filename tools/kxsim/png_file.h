// PNG files as the driver sees pixels: blue, green, red, x, rows of width * 4 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/display/pixel_rect.h"

namespace kxsim {

// False with a message in `error` when the file cannot be read as a PNG.
bool LoadPng(const std::string& path, BgrxImage* image, std::string* error);

// Writes `rgb` (red, green, blue, rows of width * 3 bytes, as a far-side display holds its
// picture) as an 8-bit RGB PNG; false with a message in `error` when it cannot. `fast` trades
// a larger file for a quicker write (for a photograph about a fifth of the time, twice the size).
bool SaveRgbPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb,
                std::string* error, bool fast = false);

// The same PNG into memory: `bytes` holds the whole file.
bool EncodeRgbPng(int width, int height, const std::vector<uint8_t>& rgb, std::string* bytes,
                  std::string* error);

}  // namespace kxsim
