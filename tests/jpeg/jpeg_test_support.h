// Test helpers for the encoder: images (synthetic and from the corpus), our encoder, and
// libjpeg-turbo as the independent decoder and peer encoder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/jpeg.h"

namespace jpegtest {

// Pixels as the driver hands them over: blue, green, red, x; rows `width * 4` bytes apart.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;
  const uint8_t* Pixel(int x, int y) const { return &bgrx[(size_t(y) * width + x) * 4]; }
};

// Desktop-like content from a seed: gradients, a photo-like noisy area, flat panels and text-like
// strokes, so every kind of block occurs in a few hundred pixels.
Image SyntheticImage(int width, int height, uint32_t seed);
Image FlatImage(int width, int height, uint8_t blue, uint8_t green, uint8_t red);
// A corpus PNG; `ok` false when it could not be read.
Image LoadPng(const std::string& path, bool* ok);
// The encoder runs on one thread, so the thread sanitizer can find nothing in it, while it slows
// the encoder some fiftyfold: the whole-corpus and largest-size runs are left to the other builds.
constexpr bool kThreadSanitizer =
#if defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif
constexpr const char* kThreadSanitizerSkip =
    "full-size images are encoded in the debug and address-sanitizer builds; the encoder is "
    "single-threaded";

// The corpus folder beside the repository, or "" when it is missing.
std::string CorpusDir();
std::vector<std::string> CorpusImages();

struct Encoded {
  LONG result = 0;
  std::vector<uint8_t> bytes;
};
// JpegEncodeFrame with a generous output buffer (or `capacity` bytes when given).
Encoded Encode(const Image& image, int quality, int sampling, long capacity = -1);
// The same pixels as 3-byte blue-green-red rows.
Encoded EncodeThreeChannel(const Image& image, int quality, int sampling);

// A decode by libjpeg-turbo. `error` is its fatal message; `warnings` counts its error manager's
// warnings (corrupt data, resynchronisation, ...), which a sound stream never draws.
struct Decoded {
  bool ok = false;
  std::string error;
  long warnings = 0;
  std::string lastWarning;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};
Decoded Decode(const std::vector<uint8_t>& stream);

// The quantised coefficients of one component as libjpeg-turbo reads them back: every block of
// the MCU grid, row-major, 64 natural-order coefficients each.
struct CoefficientPlane {
  int blocksWide = 0;
  int blocksHigh = 0;
  int h = 0;
  int v = 0;
  std::vector<int16_t> coefficients;
  const int16_t* Block(int bx, int by) const {
    return &coefficients[(size_t(by) * blocksWide + bx) * 64];
  }
};
struct Coefficients {
  bool ok = false;
  std::string error;
  long warnings = 0;
  std::vector<CoefficientPlane> planes;
  std::vector<std::vector<uint16_t>> quantTables;  // natural order, as the stream carries them
};
Coefficients ReadCoefficients(const std::vector<uint8_t>& stream);

// libjpeg-turbo's own encoder at our settings: quality, sampling code, one MCU per restart
// interval, standard tables, its default (integer) DCT.
std::vector<uint8_t> EncodeWithLibjpeg(const Image& image, int quality, int sampling);

double Psnr(const Image& source, const Decoded& decoded);

// The markers of a stream in order, with their segment lengths (0 for markers without one);
// the entropy-coded data is skipped, restart markers inside it are listed.
struct Marker {
  uint8_t code = 0;
  size_t offset = 0;
  int length = 0;
};
std::vector<Marker> ParseMarkers(const std::vector<uint8_t>& stream);
std::vector<uint8_t> MarkerCodes(const std::vector<Marker>& markers);

}  // namespace jpegtest
