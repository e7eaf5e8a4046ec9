// The parallel part of `kxsim bench`: one frame coded by the frame worker's sharing code with 1 to
// N processors (the worker and its encode threads, on the host kernel's system threads), the
// counts alternating round by round; every count's stream checked against the worker's alone.
#pragma once

#include <string>
#include <vector>

#include "png_file.h"

namespace kxsim {

struct ParallelFigures {
  std::string name;
  int width = 0;
  int height = 0;
  std::vector<unsigned> processors;     // 1 first
  std::vector<double> megapixelsPerSecond;  // median per count
  bool identical = true;                // every count gave the one-processor stream
};

// The calling thread must be attached to the host kernel. False with `error` when a stream could
// not be made or a crew could not start a thread.
bool BenchParallel(const BgrxImage& image, const std::string& name, int quality, int sampling,
                   int rounds, unsigned maxProcessors, ParallelFigures* figures,
                   std::string* error);

// `kxsim bench-parallel [IMAGE] [-q Q] [-s 0..3] [--rounds N] [--processors N] [--json]`: the
// figures above as a table (default image: the corpus's largest).
int RunBenchParallel(int argc, char** argv);

}  // namespace kxsim
