// kxsim bench: the whole performance picture in one run, every figure from contenders that run in
// turn, once per round each, the first rotating from round to round:
//   encode    1. the driver's encoder against libjpeg-turbo on each corpus image at three settings
//   present   2. presents through the driver to the wire against the encoder alone on the same
//                rectangles: whole corpus frames and the demo's typing, drag, scroll and video
//                scenes
//   glyph     3. the processor time of one 16 x 16 glyph from the present to the wire
//   outputs   4. outputs one processor serves at 1920 x 1080 and 60 frames a second, per scene
//   parallel  5. a 2560 x 1440 frame encoded with one and with two processors
// Tables on standard output, or with --json one JSON object per line, each naming its part.
#pragma once

#include <cstdio>
#include <set>
#include <string>

namespace kxsim {

struct BenchPlan {
  bool quick = false;  // two rounds, one image, a few frames: a check that every part runs
  bool json = false;
  int rounds = 0;      // 0: each part's own default
  // "EncodeThreads" for the driver in the present, glyph and outputs parts; 0: its default (all
  // processors but one).
  int encodeThreads = 0;
  std::set<std::string> parts;  // empty: every part
  // The kxsim the layers part runs under valgrind; empty: this program.
  std::string kxsim;
};

// False with a message for arguments it does not take.
bool ParseBenchArguments(int argc, char** argv, BenchPlan* plan, std::string* error);

// Runs the plan's parts and writes their tables or JSON lines to `out`. The calling thread must be
// attached to the host kernel. False with a message when a part failed (a failed present, a far
// side that did not count what was sent, a protocol violation, a stream libjpeg-turbo cannot
// decode); what was written until then stays written.
bool RunBench(const BenchPlan& plan, std::FILE* out, std::string* error);

// Arguments after "bench"; returns the process exit code.
int RunBenchCommand(int argc, char** argv);

}  // namespace kxsim
