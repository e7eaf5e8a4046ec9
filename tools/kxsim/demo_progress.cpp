#include "demo_progress.h"

#include <unistd.h>

#include <cstdio>

namespace kxsim {

DemoProgress::DemoProgress(bool wanted)
    : on_(wanted && isatty(fileno(stderr)) != 0), start_(Clock::now()), last_(start_) {}

void DemoProgress::Update(const ProgressFigures& figures) {
  if (!on_) return;
  Clock::time_point now = Clock::now();
  if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
  Draw(figures, now);
}

void DemoProgress::Draw(const ProgressFigures& figures, Clock::time_point now) {
  last_ = now;
  drawn_ = true;
  double wall = std::chrono::duration<double>(now - start_).count();
  char line[160];
  int length = std::snprintf(line, sizeof line,
                             "  virtual %6.2f s   presents %6llu   rectangles %6llu   wire %8.1f MB"
                             "   wall %5.1f s",
                             double(figures.virtualTime) / 1e7,
                             (unsigned long long)figures.presents,
                             (unsigned long long)figures.rectangles,
                             double(figures.wireBytes) / 1e6, wall);
  size_t drawn = length > 0 ? size_t(length) : 0;
  // Spaces over what a longer line left behind.
  std::fprintf(stderr, "\r%s%*s", line, int(width_ > drawn ? width_ - drawn : 0), "");
  std::fflush(stderr);
  width_ = drawn;
}

void DemoProgress::Finish(const ProgressFigures& figures) {
  if (!on_) return;
  Draw(figures, Clock::now());
  std::fputc('\n', stderr);
  drawn_ = false;
}

}  // namespace kxsim
