// What the benchmark commands share: argument parsing of numbers, the corpus, the processor's
// name, medians and means, processor time, and our encoder as the frame worker uses it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/hostk/clock.h"
#include "jpeg/jpeg.h"
#include "sim/display/pixel_rect.h"

struct JpegEncoder;
struct JpegStageRoutines;

namespace kxsim {

struct Canvas;

// FALSE unless `text` is a whole number from `low` to `high`.
bool ParseInt(const char* text, int low, int high, int* value);
// What the commands that measure one part on images take: IMAGES... -q Q -s 0..3 --rounds N
// --json, and flags of their own, which `ownFlag` takes (true when the argument is one of them).
struct ImageBenchArguments {
  std::vector<std::string> images;
  int* quality;
  int* sampling;
  int* rounds;
  bool json = false;
};
// FALSE, with the bad argument and `usage` on standard error, when an argument is not understood.
bool ParseImageBenchArguments(int argc, char** argv, const char* command, const char* usage,
                              const std::function<bool(const std::string&)>& ownFlag,
                              ImageBenchArguments* arguments);
// The PNG files of corpus/ (in the working folder, else beside the sources), sorted.
std::vector<std::string> CorpusImages();
std::string CpuModel();
double Median(std::vector<double> values);
// Of positive values; 0 for none.
double GeometricMean(const std::vector<double>& values);
// Seconds of processor time used so far by the whole process, and by the calling thread.
double ProcessProcessorSeconds();
double ThreadProcessorSeconds();

// A bench's thread in the host kernel for the scope's life. System views of user pages stay
// resident meanwhile (hostk::UserRangeKeepViewsResident): a bench measures what a present costs,
// not what the host's catching of a touch of a closed view costs on this machine.
class BenchThreadScope {
 public:
  BenchThreadScope();
  ~BenchThreadScope();
  BenchThreadScope(const BenchThreadScope&) = delete;
  BenchThreadScope& operator=(const BenchThreadScope&) = delete;

 private:
  hostk::ManagedThreadScope thread_;
};

// The glyph benchmarks' page: 16 x 16 cells row by row across a surface `width` pixels wide, and
// one letter drawn in each of the first `count` cells, so that every glyph present sends new
// pixels.
constexpr LONG kGlyphCell = 16;
PixelRect GlyphCell(int index, int width);
void DrawGlyphLetters(const Canvas& canvas, int count);

// Our encoder kept from rectangle to rectangle, as the frame worker keeps its own (and as the
// peer keeps its compress object): tables and working memory are made once, not per stream.
class KeptEncoder {
 public:
  KeptEncoder() = default;
  KeptEncoder(const KeptEncoder&) = delete;
  KeptEncoder& operator=(const KeptEncoder&) = delete;
  ~KeptEncoder();
  // As JpegEncodeFrame, at the stage level in use or the one given.
  LONG Encode(JpegEncodeParams* params, const JpegStageRoutines* stages = nullptr);
  // The stream of `rect` of `image`, read where it lies, into `output` and its length into
  // `length`; false with a message in `error` when the encoder failed.
  bool EncodeRect(const BgrxImage& image, const PixelRect& rect, int quality, int sampling,
                  std::vector<uint8_t>* output, size_t* length, std::string* error,
                  const JpegStageRoutines* stages = nullptr);
  // Its memory freed, before the driver whose pool it came from goes; made again when needed.
  void Release();

 private:
  JpegEncoder* encoder_ = nullptr;
};

}  // namespace kxsim
