// The plot of the report: bytes on the wire per second of virtual time, as SVG, with the scenes
// marked along the time axis.
#pragma once

#include <string>
#include <vector>

#include "demo_result.h"

namespace kxsim {

struct RateBucket {
  double start = 0;  // seconds from the first sample
  double seconds = 0;
  double bytesPerSecond = 0;
};

// The traffic between successive samples spread evenly over their interval, summed in buckets
// of equal width (a quarter second up to 20 s of run, then an 80th of the run).
std::vector<RateBucket> WireRates(const std::vector<WireSample>& samples);

std::string WirePlotSvg(const DemoResult& result);

}  // namespace kxsim
