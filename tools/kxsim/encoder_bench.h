// The driver's encoder against libjpeg-turbo on one image at one setting: each contender (ours at
// each stage level asked for, then libjpeg-turbo) once per round, the first rotating, and both
// streams judged by libjpeg-turbo's decoder. Shared by bench-encode and bench.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/stages.h"

namespace kxsim {

struct EncoderSetting {
  int quality = 75;
  int sampling = 3;  // 0 4:4:4, 1 and 2 4:2:2, 3 4:2:0
  int rounds = 15;
};

struct EncoderContenderResult {
  const JpegStageRoutines* stages = nullptr;  // nullptr: libjpeg-turbo
  std::vector<double> seconds;                // one per round
  size_t length = 0;                          // of the last stream
};

struct EncoderImageResult {
  std::string name;  // the file's name
  int width = 0;
  int height = 0;
  std::vector<EncoderContenderResult> contenders;  // ours first (each level), libjpeg-turbo last
  double oursPsnr = 0;
  double theirsPsnr = 0;
  bool levelsIdentical = true;  // every level wrote the first level's stream

  const EncoderContenderResult& Ours() const { return contenders.front(); }
  const EncoderContenderResult& Theirs() const { return contenders.back(); }
  // Megapixels a second, from the median round.
  double Rate(const EncoderContenderResult& contender) const;
  // Ours over libjpeg-turbo's.
  double Ratio() const { return Rate(Ours()) / Rate(Theirs()); }
};

// The level in use first (what the driver would select), then with `all` every other level this
// processor runs.
std::vector<const JpegStageRoutines*> EncoderLevels(bool all);

// False with a message when the image cannot be read or an encoder or the judge failed.
bool BenchEncoderImage(const std::string& path, const EncoderSetting& setting,
                       const std::vector<const JpegStageRoutines*>& levels,
                       EncoderImageResult* result, std::string* error);

}  // namespace kxsim
