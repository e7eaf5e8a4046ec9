// The far side's JPEG decoder: libjpeg-turbo, decoding a whole stream to packed RGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kxsim {

struct DecodedImage {
  bool ok = false;       // a picture came out (possibly with warnings)
  unsigned width = 0;
  unsigned height = 0;
  std::vector<uint8_t> rgb;  // width x height x 3, row after row
  int warnings = 0;          // libjpeg's warnings: corrupt data, premature end, ...
  std::string message;       // the first warning, or the error that stopped decoding
};

DecodedImage DecodeJpeg(const uint8_t* data, size_t size);

}  // namespace kxsim
