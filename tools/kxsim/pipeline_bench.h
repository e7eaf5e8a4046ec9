// The driver's path on one 1920 x 1080 output of a started adapter, measured for the whole picture
// of kxsim bench:
//   scenes: the demo's desktop scenes, one second of each at 60 frames a second after its first
//     picture, presented through the driver to the wire, against the encoder alone on the
//     rectangles the worker sent for each frame (seen on the wire in the warm-up), from the same
//     pixels, and against a plain copy of each frame's damage into memory laid out as the
//     output's store: throughput, and the processor time one second of the scene costs;
//   glyphs: 16 x 16 presents of text, each waited out to its last byte on the wire, against the
//     encoder alone on the same cells: processor time per glyph.
// Every contender (each scene's two, the glyphs' two) once per round, the first rotating. The far
// side checks and counts frames without decoding them, so no figure includes a decoder.
//
// The caller must be attached to the host kernel and have selected the encoder's stages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/display/scene.h"

namespace kxsim {

struct PipelineBenchSetting {
  int quality = 75;
  int sampling = 3;
  int rounds = 5;
  int width = 1920;
  int height = 1080;
  int frames = kSceneFramesPerSecond;  // timed frames of each scene
  uint64_t seed = 1;
  std::vector<std::string> scenes;     // none: no scene measured
  const ScenePictures* pictures = nullptr;
  int glyphs = 0;                      // presents per round; 0: no glyph measured
  // REG_BINARY values under the driver's Parameters key.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> parameters;
};

// Seconds of one run: wall clock, the whole process's processor time, and the driver's (the
// presenting thread through its presents and waits, plus the driver's system threads: the frame
// worker and the link thread). For the encoder alone the three are the calling thread's.
struct RunCost {
  double wall = 0;
  double process = 0;
  double driver = 0;
  double calls = 0;  // of driver: the presenting thread's, its present calls and its wait
  double encoder = 0;  // of driver: the encoder's, on the driver's threads
  RunCost& operator+=(const RunCost& other);
};

struct SceneBenchResult {
  std::string name;
  int frames = 0;                  // timed
  ULONG presents = 0;              // present requests in the timed frames
  ULONG sentRectangles = 0;        // what the worker sent for them, in the warm-up
  ULONGLONG sentPixels = 0;        // their area
  std::vector<RunCost> pipeline;   // one per round
  std::vector<uint64_t> pipelinePixels;   // sent in each round's run
  std::vector<RunCost> encoder;    // one per round, on the warm-up's rectangles
  // One per round: the rows of each frame's damage copied from the surface into memory laid out
  // as the store, the one copy a present makes of its pixels.
  std::vector<RunCost> copy;
  bool damageCovered = true;       // every run's rectangles covered every frame's damage

  // Megapixels sent a second of wall clock, from the median round.
  double PipelineRate() const;
  double EncoderRate() const;
  double Ratio() const { return PipelineRate() / EncoderRate(); }
  // Processor seconds one second of the scene costs (60 frames), from the median round.
  double ProcessPerSceneSecond() const;
  double DriverPerSceneSecond() const;
  double CallsPerSceneSecond() const;
  double DriverEncoderPerSceneSecond() const;  // the encoder's part of driver
  double EncoderPerSceneSecond() const;
  double CopyPerSceneSecond() const;
  // Driver over encoder alone in each round (a round's pipeline over the same round's encoder):
  // how far one round's figure strays from the medians' in this run.
  std::vector<double> RoundDriverOverEncoder() const;
};

struct GlyphBenchResult {
  int presents = 0;                // per round
  std::vector<RunCost> pipeline;   // one per round
  std::vector<RunCost> encoder;
  ULONG wireRectangles = 0;        // over every run
  ULONG coveringRectangles = 0;    // of them, the one sent for a glyph and covering its cell
  uint64_t sentPixels = 0;         // their area (the grid alignment may add cells around)

  // Microseconds of processor time per glyph, from the median round.
  double ProcessMicroseconds() const;
  double DriverMicroseconds() const;
  double EncoderMicroseconds() const;
};

struct PipelineBenchResult {
  std::vector<SceneBenchResult> scenes;
  GlyphBenchResult glyph;
  ULONG wireRectangles = 0;  // frame-data blocks on the wire, over the whole session
  ULONG farRectangles = 0;   // the rectangles the far side counted
  ULONG violations = 0;
};

// False with a message when a scene is unknown, a present failed, the far side did not count what
// went on the wire, a frame's damage was not sent, or a protocol violation occurred.
bool BenchPipeline(const PipelineBenchSetting& setting, PipelineBenchResult* result,
                   std::string* error);

}  // namespace kxsim
