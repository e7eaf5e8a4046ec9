// The far-side displays and their frame buffers.
#include "sim/adapter/far_displays.h"

#include <cstring>

namespace kxsim {
namespace {

// A frame-data block and its payload padded to whole blocks.
// FNV-1a over 8-byte words (then the last bytes one by one), going on from `digest` (0 starts
// with the offset basis): cheap enough to run on every payload of a benchmark.
ULONGLONG Digest(ULONGLONG digest, const uint8_t* bytes, ULONG length) {
  constexpr ULONGLONG kPrime = 0x100000001B3ull;
  if (digest == 0) digest = 0xCBF29CE484222325ull;
  ULONG i = 0;
  for (; i + 8 <= length; i += 8) {
    ULONGLONG word;
    memcpy(&word, bytes + i, 8);
    digest = (digest ^ word) * kPrime;
  }
  for (; i < length; i++) digest = (digest ^ bytes[i]) * kPrime;
  return digest;
}

ULONGLONG FrameWireBytes(ULONG payloadBytes) {
  ULONGLONG padded = ((ULONGLONG)payloadBytes + kCommandBlockSize - 1) / kCommandBlockSize;
  return kCommandBlockSize * (1 + padded);
}

}  // namespace

ULONG FarDisplayState::Pixel(unsigned x, unsigned y) const {
  if (x >= mode.width || y >= mode.height) return 0;
  const uint8_t* at = &rgb[((size_t)y * mode.width + x) * 3];
  return (ULONG)at[0] << 16 | (ULONG)at[1] << 8 | at[2];
}

bool FarDisplays::SetMode(LONG id, const ModeFields& mode) {
  if (mode.width == 0 || mode.height == 0 || mode.width > kMaxSide || mode.height > kMaxSide) {
    return false;
  }
  FarDisplayState& display = displays_[id];
  display.id = id;
  if (display.mode.width != mode.width || display.mode.height != mode.height) {
    display.rgb.assign((size_t)mode.width * mode.height * 3, 0);
  }
  display.mode = mode;
  display.wireBytes += kCommandBlockSize;
  display.active = true;
  display.stopped = false;
  display.modes++;
  return true;
}

void FarDisplays::Stop(LONG id) {
  FarDisplayState& display = displays_[id];
  display.id = id;
  display.active = false;
  display.stopped = true;
  display.stops++;
  display.wireBytes += kCommandBlockSize;
}

const FarDisplayState* FarDisplays::Find(LONG id) const {
  auto it = displays_.find(id);
  return it == displays_.end() ? nullptr : &it->second;
}

void FarDisplays::Count(LONG id, unsigned width, unsigned height, const uint8_t* payload,
                        ULONG payloadBytes) {
  FarDisplayState& display = displays_[id];
  order_.push_back(id);
  display.rectangles++;
  display.payloadBytes += payloadBytes;
  display.payloadDigest = Digest(display.payloadDigest, payload, payloadBytes);
  display.pixels += (ULONGLONG)width * height;
  display.wireBytes += FrameWireBytes(payloadBytes);
  rectangles_++;
}

void FarDisplays::Draw(LONG id, unsigned x, unsigned y, const DecodedImage& image,
                       const uint8_t* payload, ULONG payloadBytes) {
  FarDisplayState& display = displays_[id];
  order_.push_back(id);
  size_t rowBytes = (size_t)image.width * 3;
  for (unsigned row = 0; row < image.height; row++) {
    uint8_t* to = &display.rgb[((size_t)(y + row) * display.mode.width + x) * 3];
    memcpy(to, &image.rgb[row * rowBytes], rowBytes);
  }
  display.rectangles++;
  display.payloadBytes += payloadBytes;
  display.payloadDigest = Digest(display.payloadDigest, payload, payloadBytes);
  display.pixels += (ULONGLONG)image.width * image.height;
  display.wireBytes += FrameWireBytes(payloadBytes);
  rectangles_++;
}

std::vector<LONG> FarDisplays::Ids() const {
  std::vector<LONG> ids;
  for (const auto& [id, display] : displays_) ids.push_back(id);
  return ids;
}

}  // namespace kxsim
