#include "encoder_bench.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "bench_support.h"
#include "jpeg/jpeg.h"
#include "libjpeg_peer.h"
#include "png_file.h"

namespace kxsim {
namespace {

// One contender's output buffer, made once before any timing and its pages touched, so that no
// encoder pays for it; and our encoder, kept from image to image.
struct Output {
  std::vector<uint8_t> buffer;
  size_t length = 0;
  std::unique_ptr<KeptEncoder> kept = std::make_unique<KeptEncoder>();
  std::vector<uint8_t> Stream() const { return {buffer.begin(), buffer.begin() + long(length)}; }
};

bool EncodeOurs(const BgrxImage& image, const EncoderSetting& setting,
                const JpegStageRoutines* stages, Output* output, std::string* error) {
  return output->kept->EncodeRect(image, PixelRect{0, 0, image.width, image.height},
                                  setting.quality, setting.sampling, &output->buffer,
                                  &output->length, error, stages);
}

// Every contender once per round, the starting one rotating from round to round, so that a
// neighbour's load falls on all of them alike.
bool Measure(const BgrxImage& image, const EncoderSetting& setting, EncoderImageResult* result,
             std::vector<Output>* outputs, std::string* error) {
  LibjpegEncoder peer;
  size_t count = result->contenders.size();
  for (int round = -1; round < setting.rounds; round++) {  // round -1 warms the caches up
    for (size_t i = 0; i < count; i++) {
      size_t index = (i + size_t(round + 1)) % count;
      EncoderContenderResult& contender = result->contenders[index];
      Output& output = (*outputs)[index];
      auto start = std::chrono::steady_clock::now();
      bool ok = contender.stages != nullptr
                    ? EncodeOurs(image, setting, contender.stages, &output, error)
                    : peer.Encode(image, setting.quality, setting.sampling, &output.buffer,
                                  &output.length, error);
      double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!ok) return false;
      if (round >= 0) contender.seconds.push_back(seconds);
      contender.length = output.length;
    }
  }
  return true;
}

bool Judge(const BgrxImage& image, const std::vector<Output>& outputs, EncoderImageResult* result,
           std::string* error) {
  std::vector<uint8_t> ours = outputs.front().Stream();
  std::vector<uint8_t> theirs = outputs.back().Stream();
  for (size_t i = 1; i + 1 < outputs.size(); i++) {
    if (outputs[i].Stream() != ours) result->levelsIdentical = false;
  }
  int width, height;
  std::vector<uint8_t> rgb;
  if (!DecodeToRgb(ours.data(), ours.size(), &width, &height, &rgb, error)) return false;
  if (width != image.width || height != image.height) {
    *error = "our stream decodes to " + std::to_string(width) + " x " + std::to_string(height);
    return false;
  }
  result->oursPsnr = Psnr(image, rgb);
  if (!DecodeToRgb(theirs.data(), theirs.size(), &width, &height, &rgb, error)) return false;
  result->theirsPsnr = Psnr(image, rgb);
  return true;
}

}  // namespace

double EncoderImageResult::Rate(const EncoderContenderResult& contender) const {
  return double(width) * height / Median(contender.seconds) / 1e6;
}

std::vector<const JpegStageRoutines*> EncoderLevels(bool all) {
  JpegSelectStageRoutines();
  std::vector<const JpegStageRoutines*> levels{JpegCurrentStageRoutines()};
  for (ULONG level = 0; all && JpegStageRoutinesAt(level) != nullptr; level++) {
    const JpegStageRoutines* stages = JpegStageRoutinesAt(level);
    if (JpegProcessorRunsLevel(level) && stages != levels.front()) levels.push_back(stages);
  }
  return levels;
}

bool BenchEncoderImage(const std::string& path, const EncoderSetting& setting,
                       const std::vector<const JpegStageRoutines*>& levels,
                       EncoderImageResult* result, std::string* error) {
  BgrxImage image;
  if (!LoadPng(path, &image, error)) {
    *error = "cannot read " + path + ": " + *error;
    return false;
  }
  result->name = std::filesystem::path(path).filename().string();
  result->width = image.width;
  result->height = image.height;
  // Room for any stream of the image: far above what even noise at quality 100 needs.
  size_t capacity = size_t(16) * image.width * image.height + 65536;
  std::vector<Output> outputs;
  for (const JpegStageRoutines* stages : levels) {
    result->contenders.push_back(EncoderContenderResult{stages, {}, 0});
  }
  result->contenders.push_back(EncoderContenderResult{});
  outputs.resize(result->contenders.size());
  for (Output& output : outputs) output.buffer.resize(capacity);
  // The level in use again for whoever encodes next.
  bool ok = Measure(image, setting, result, &outputs, error) &&
            Judge(image, outputs, result, error);
  JpegUseStageRoutines(levels.front());
  if (!ok) *error = path + ": " + *error;
  return ok;
}

}  // namespace kxsim
