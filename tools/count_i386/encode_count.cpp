// kx_encode_count: one encoder run REPEAT times on one PNG image, for the instruction counter
// (count_encodes.sh runs it under qemu-i386 with the counting plugin). "ours" is the encoder of the
// shipped KxBusIdd.sys, loaded into the 32-bit host kernel and called in the image itself, at the
// level KX_JPEG_LEVEL caps it to; "libjpeg" is the distribution's i386 libjpeg-turbo, compressing
// as the driver does (JSIMD_FORCESSE2=1 holds it to SSE2).
//
//   kx_encode_count ours|libjpeg IMAGE.png QUALITY SAMPLING REPEAT
//
// Prints the stream's length and a checksum of its bytes (and, on standard error, where the image's
// JpegEncodeFrame lies), the same for every repeat, so that two
// runs can be compared and the encodes are never idle work.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/hostk.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "shipped/shipped_driver.h"
#include "tools/kxsim/libjpeg_peer.h"
#include "tools/kxsim/png_file.h"

namespace {

using kxtest::ShippedRoutine;

uint32_t Checksum(const uint8_t* bytes, size_t length) {
  uint32_t sum = 2166136261u;
  for (size_t i = 0; i < length; i++) sum = (sum ^ bytes[i]) * 16777619u;
  return sum;
}

// The image's own selection, capped where KX_JPEG_LEVEL says; false for a name that is no level.
bool SelectImageLevel() {
  static const auto named = ShippedRoutine<decltype(&JpegStageLevelNamed)>("JpegStageLevelNamed");
  static const auto limit = ShippedRoutine<decltype(&JpegLimitStageLevel)>("JpegLimitStageLevel");
  static const auto select =
      ShippedRoutine<decltype(&JpegSelectStageRoutines)>("JpegSelectStageRoutines");
  const char* name = std::getenv("KX_JPEG_LEVEL");
  if (name != nullptr && *name != '\0') {
    ULONG level;
    if (!named(name, &level)) return false;
    limit(level);
  }
  select();
  return true;
}

bool EncodeOurs(const kxsim::BgrxImage& image, int quality, int sampling, int repeat,
                std::vector<uint8_t>* output, size_t* length) {
  static const auto encode = ShippedRoutine<decltype(&JpegEncodeFrame)>("JpegEncodeFrame");
  // Where the image lies, for a profile to name the image's routines by the link map.
  std::fprintf(stderr, "JpegEncodeFrame at %p\n", reinterpret_cast<void*>(encode));
  for (int i = 0; i < repeat; i++) {
    JpegEncodeParams params = {image.width, image.height, 4, image.pixels.data(), image.width * 4,
                               quality, sampling, output->data(), LONG(output->size()), 0};
    LONG result = encode(&params);
    if (result != JpegResultOk) {
      std::fprintf(stderr, "kx_encode_count: the image's encoder answers %ld\n", long(result));
      return false;
    }
    *length = size_t(params.OutputLength);
  }
  return true;
}

bool EncodeLibjpeg(const kxsim::BgrxImage& image, int quality, int sampling, int repeat,
                   std::vector<uint8_t>* output, size_t* length) {
  kxsim::LibjpegEncoder encoder;
  for (int i = 0; i < repeat; i++) {
    std::string error;
    if (!encoder.Encode(image, quality, sampling, output, length, &error)) {
      std::fprintf(stderr, "kx_encode_count: libjpeg-turbo: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: kx_encode_count ours|libjpeg IMAGE.png QUALITY SAMPLING REPEAT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return Usage();
  std::string encoder = argv[1];
  int quality = std::atoi(argv[3]);
  int sampling = std::atoi(argv[4]);
  int repeat = std::atoi(argv[5]);
  if ((encoder != "ours" && encoder != "libjpeg") || quality < 1 || quality > 100 ||
      sampling < 0 || sampling > 3 || repeat < 0) {
    return Usage();
  }
  kxsim::BgrxImage image;
  std::string error;
  if (!kxsim::LoadPng(argv[2], &image, &error)) {
    std::fprintf(stderr, "kx_encode_count: %s: %s\n", argv[2], error.c_str());
    return 1;
  }
  hostk::AttachCurrentThread("encode count");
  std::vector<uint8_t> output(size_t(16) * image.width * image.height + 65536);
  size_t length = 0;
  bool ok;
  if (encoder == "ours") {
    ok = SelectImageLevel() && EncodeOurs(image, quality, sampling, repeat, &output, &length);
  } else {
    ok = EncodeLibjpeg(image, quality, sampling, repeat, &output, &length);
  }
  hostk::DetachCurrentThread();
  if (!ok) return 1;
  std::printf("%zu bytes, checksum %08x\n", length, Checksum(output.data(), length));
  return 0;
}
