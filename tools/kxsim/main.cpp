// kxsim: the driver's pieces run from the command line on the host.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_all.h"
#include "bench_command.h"
#include "bench_parallel.h"
#include "bench_present_command.h"
#include "demo_command.h"
#include "encode_command.h"
#include "layer_bench.h"
#include "present_command.h"
#include "reliability_command.h"
#include "jpeg/stages.h"

namespace {

void PrintUsage() {
  std::fprintf(stderr,
               "usage: kxsim COMMAND ...\n"
               "commands:\n"
               "  demo [--displays N] [--scene NAME]... [--seconds S] [--usb full|high|super] ...\n"
               "      the driver at work on a virtual desk: displays attach, desktop scenes are\n"
               "      presented, the far side's frames are checked; pictures and report.html\n"
               "      (demo --help for every option)\n"
               "  bench [--quick] [--only PART,...] [--rounds N] [--json]\n"
               "      the whole performance picture: the encoder against libjpeg-turbo, presents\n"
               "      to the wire against the encoder alone, one glyph's cost, outputs per core\n"
               "      (parts encode, present, glyph, outputs, parallel)\n"
               "  encode IN.png OUT.jpg [-q Q] [-s 0..3] [--repeat N]\n"
               "      encode one image with the driver's JPEG encoder\n"
               "  bench-encode [IMAGES...] [-q Q] [-s 0..3] [--rounds N] [--levels] [--json]\n"
               "      time the driver's encoder against libjpeg-turbo (default: the corpus)\n"
               "  present IN.png OUT.png [-q Q] [-s 0..3] [--mode WxH] [--rect L,T,R,B]...\n"
               "      present an image through the driver on a virtual adapter; OUT.png is what\n"
               "      the far-side display shows\n"
               "  bench-present [IMAGES...] [-q Q] [-s 0..3] [--rounds N] [--far-decode] [--json]\n"
               "      time presents to the wire, whole frames and 128 x 128 tiles, against the\n"
               "      driver's encoder alone on the same rectangles (default: the corpus)\n"
               "  bench-parallel [IMAGE] [-q Q] [-s 0..3] [--rounds N] [--processors N] [--json]\n"
               "      time one frame coded by 1 to N processors, as the frame worker shares it\n"
               "  reliability [--quick] [--jobs N] [--limit SECONDS] [--only PART]\n"
               "      the reliability campaign: every allocation site failed once, faults at\n"
               "      every transfer, the adapter pulled at any moment; a table of figures\n"
               "environment:\n"
               "  KX_JPEG_LEVEL=portable|sse2|ssse3|sse41|avx|avx2\n"
               "      the highest processor level the encoder may select\n");
}

// KX_JPEG_LEVEL caps the level every later selection of the encoder's stages may pick.
bool ApplyLevelLimit() {
  const char* name = std::getenv("KX_JPEG_LEVEL");
  if (name == nullptr || *name == '\0') return true;
  ULONG level;
  if (!JpegStageLevelNamed(name, &level)) {
    std::fprintf(stderr, "kxsim: KX_JPEG_LEVEL=%s is not a level\n", name);
    return false;
  }
  JpegLimitStageLevel(level);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 2;
  }
  if (!ApplyLevelLimit()) return 2;
  if (std::strcmp(argv[1], "demo") == 0) return kxsim::RunDemoCommand(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "bench") == 0) return kxsim::RunBenchCommand(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "bench-layers-run") == 0) {
    return kxsim::RunLayerChild(argc - 2, argv + 2);
  }
  if (std::strcmp(argv[1], "encode") == 0) return kxsim::RunEncode(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "bench-encode") == 0) return kxsim::RunBenchEncode(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "present") == 0) return kxsim::RunPresent(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "bench-present") == 0) {
    return kxsim::RunBenchPresent(argc - 2, argv + 2);
  }
  if (std::strcmp(argv[1], "bench-parallel") == 0) {
    return kxsim::RunBenchParallel(argc - 2, argv + 2);
  }
  if (std::strcmp(argv[1], "reliability") == 0) return kxsim::RunReliability(argc - 2, argv + 2);
  std::fprintf(stderr, "kxsim: unknown command '%s'\n", argv[1]);
  PrintUsage();
  return 2;
}
