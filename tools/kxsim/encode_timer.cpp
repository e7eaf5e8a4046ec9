// Linked into each program that links the session library, with the link told to send the calls
// of JpegEncodeWholeStream and JpegEncodeSlice here (--wrap, by their mangled names, which the
// labels below spell out): their callers, the driver's encode crew among them, stay as they are.
#include "encode_timer.h"

#include <time.h>

#include <atomic>

#include "jpeg/slices.h"

#define KX_WHOLE_STREAM "_Z21JpegEncodeWholeStreamP11JpegEncoderP16JpegEncodeParams"
#define KX_SLICE "_Z15JpegEncodeSliceP11JpegEncoderjjPhjPj"

LONG RealWholeStream(JpegEncoder* encoder, JpegEncodeParams* params)
    __asm__("__real_" KX_WHOLE_STREAM);
LONG RealSlice(JpegEncoder* encoder, ULONG first, ULONG count, PUCHAR output, ULONG capacity,
               ULONG* length) __asm__("__real_" KX_SLICE);
LONG TimedWholeStream(JpegEncoder* encoder, JpegEncodeParams* params)
    __asm__("__wrap_" KX_WHOLE_STREAM);
LONG TimedSlice(JpegEncoder* encoder, ULONG first, ULONG count, PUCHAR output, ULONG capacity,
                ULONG* length) __asm__("__wrap_" KX_SLICE);

namespace kxsim {
namespace {

std::atomic<bool> gTiming{false};
std::atomic<long long> gNanoseconds{0};

long long ThreadNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return (long long)now.tv_sec * 1000000000 + now.tv_nsec;
}

template <typename Call>
LONG Timed(Call call) {
  if (!gTiming.load(std::memory_order_relaxed)) return call();
  long long start = ThreadNanoseconds();
  LONG result = call();
  gNanoseconds.fetch_add(ThreadNanoseconds() - start, std::memory_order_relaxed);
  return result;
}

}  // namespace

void TimeEncoderCalls(bool on) { gTiming.store(on); }

double TimedEncoderSeconds() { return double(gNanoseconds.load()) / 1e9; }

}  // namespace kxsim

LONG TimedWholeStream(JpegEncoder* encoder, JpegEncodeParams* params) {
  return kxsim::Timed([&] { return RealWholeStream(encoder, params); });
}

LONG TimedSlice(JpegEncoder* encoder, ULONG first, ULONG count, PUCHAR output, ULONG capacity,
                ULONG* length) {
  return kxsim::Timed([&] { return RealSlice(encoder, first, count, output, capacity, length); });
}
