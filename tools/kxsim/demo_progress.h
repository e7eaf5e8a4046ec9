// The demo's progress line on standard error: virtual time, presents, rectangles sent, bytes on
// the wire and wall time, rewritten in place a few times a second. Silent when standard error is
// no terminal, so that logs and test output get only the summary.
#pragma once

#include <chrono>
#include <cstddef>

#include "host/ntdef.h"

namespace kxsim {

struct ProgressFigures {
  LONGLONG virtualTime = 0;  // 100 ns
  ULONGLONG presents = 0;
  ULONGLONG rectangles = 0;
  ULONGLONG wireBytes = 0;
};

class DemoProgress {
 public:
  // On only when `wanted` and standard error is a terminal.
  explicit DemoProgress(bool wanted);
  // Redraws the line unless it was drawn less than a tenth of a second ago.
  void Update(const ProgressFigures& figures);
  // Draws the final figures, leaves the line standing and moves to the next.
  void Finish(const ProgressFigures& figures);

 private:
  using Clock = std::chrono::steady_clock;
  bool on_;
  Clock::time_point start_;
  Clock::time_point last_;
  size_t width_ = 0;  // of the line drawn last
  bool drawn_ = false;

  void Draw(const ProgressFigures& figures, Clock::time_point now);
};

}  // namespace kxsim
