// kxsim bench's layers part: where the instructions of a present go, counted exactly by callgrind
// (deterministic, unlike time), split by layer (layer_count.h): one 16 x 16 glyph presented and
// waited out to its last byte on the wire, and one whole 1920 x 1080 frame the same way. The
// counting runs kxsim again under valgrind ("bench-layers-run"), on a session of its own, and
// counts only the presents, not the session's set-up and removal. The bytes the driver's own code
// copies in those presents come with the counts.
#pragma once

#include <string>

#include "layer_count.h"

namespace kxsim {

struct LayerRun {
  std::string kind;   // "glyph" or "frame"
  int presents = 0;   // counted
  uint64_t pixels = 0;  // presented, in all
  LayerCounts counts;   // over every present
  uint64_t copiedBytes = 0;  // by the driver's own code, over every present
  double CopiedPerPixel() const { return pixels == 0 ? 0 : double(copiedBytes) / pixels; }
  double Per(Layer layer) const { return double(counts.Of(layer)) / presents; }
  double Total() const { return double(counts.Total()) / presents; }
};

// Runs `self` (this program) under valgrind's callgrind for `presents` presents of `kind`; false
// with a message when valgrind is missing or the run fails.
bool CountPresentLayers(const std::string& self, const std::string& kind, int presents,
                        LayerRun* run, std::string* error);

// The run under valgrind: "bench-layers-run glyph|frame PRESENTS".
int RunLayerChild(int argc, char** argv);

}  // namespace kxsim
