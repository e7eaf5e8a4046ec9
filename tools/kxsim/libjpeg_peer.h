// libjpeg-turbo as the peer the driver's encoder is measured against, and as the decoder that
// judges both streams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "png_file.h"

namespace kxsim {

// libjpeg-turbo compressing the way the driver does: BGRX rows, baseline with the standard
// tables, the integer (islow) DCT, one MCU per restart interval, into memory. One object keeps
// its compressor between calls, as a long-running encoder would.
class LibjpegEncoder {
 public:
  LibjpegEncoder();
  ~LibjpegEncoder();
  LibjpegEncoder(const LibjpegEncoder&) = delete;
  LibjpegEncoder& operator=(const LibjpegEncoder&) = delete;

  // Encodes into `output`, which must have room for the stream, and sets `length`; false with a
  // message on failure.
  bool Encode(const BgrxImage& image, int quality, int sampling, std::vector<uint8_t>* output,
              size_t* length, std::string* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The version of the libjpeg-turbo headers built against, as "2.1.5".
const char* LibjpegVersion();

// Decodes a stream to RGB rows; false with a message on failure.
bool DecodeToRgb(const uint8_t* stream, size_t size, int* width, int* height,
                 std::vector<uint8_t>* rgb, std::string* error);

// Peak signal-to-noise ratio of decoded RGB against the source, over all three channels, in dB.
double Psnr(const BgrxImage& source, const std::vector<uint8_t>& rgb);

}  // namespace kxsim
