// Presents through the whole driver to the wire against the encoder alone on the rectangles the
// worker sent for them, for one image: one whole-frame present, and optionally 128 x 128 tiles,
// each contender once per round with the first rotating. Shared by bench-present and bench.
//
// The caller must be attached to the host kernel and have selected the encoder's stages.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/ntdef.h"

namespace kxsim {

struct PresentSetting {
  int quality = 75;
  int sampling = 3;
  int rounds = 5;
  // The far side decodes and draws what arrives; off, the times end at the wire.
  bool farDecode = false;
  bool tiles = true;
  // The far side's decoder alone on the streams, as a contender of its own.
  bool decoderAlone = true;
  // REG_BINARY values under the driver's Parameters key.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> parameters;
};

enum PresentContender {
  kPipelineWhole,
  kEncoderWhole,
  kDecoderWhole,
  kPipelineTiles,
  kEncoderTiles,
  kDecoderTiles,
  kPresentContenders
};

struct PresentImageResult {
  std::string name;
  int width = 0;
  int height = 0;
  size_t tiles = 0;
  std::vector<double> seconds[kPresentContenders];  // one per round; none when not run
  // Of the whole frame's pipeline, per round: the present call itself (the pixels locked, mapped,
  // copied into the store, unmapped and queued) before the worker's part.
  std::vector<double> callSeconds;
  // Per round, right after the whole frame's pipeline: a plain copy of the same rows, the peer of
  // the present call.
  std::vector<double> copySeconds;
  double farPsnr = 0;         // with farDecode
  ULONGLONG wholeBytes = 0;   // on the wire for one whole-frame present
  ULONGLONG tileBytes = 0;    // for one pass of tiles
  ULONG wholeRectangles = 0;  // the rectangles (bands) the worker sent for one whole frame
  ULONG farRectangles = 0;    // the far side counted, over the whole run
  ULONG wireRectangles = 0;   // frame-data blocks on the wire, over the whole run
  ULONG violations = 0;

  // Megapixels of the image a second, from the median round.
  double Rate(int contender) const;
  double WholeRatio() const { return Rate(kPipelineWhole) / Rate(kEncoderWhole); }
  double TilesRatio() const { return Rate(kPipelineTiles) / Rate(kEncoderTiles); }
  // Medians over the rounds, in milliseconds: of the whole frame's present call, of the rest of
  // its pipeline (the worker's wake, encoding and sending), of the encoder alone on its rectangles.
  double CallMilliseconds() const;
  double CopyMilliseconds() const;
  double AfterCallMilliseconds() const;
  double EncoderMilliseconds() const;
};

// False with a message when the image cannot be read or is no output's size, a present failed,
// the far side did not count what the worker sent, or a protocol violation occurred.
bool BenchPresentImage(const std::string& path, const PresentSetting& setting,
                       PresentImageResult* result, std::string* error);

}  // namespace kxsim
