#include "layer_bench.h"

#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include <unistd.h>

#include "adapter_session.h"
#include "bench_support.h"
#include "png_file.h"
#include "sim/display/canvas.h"

namespace kxsim {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// The picture of the whole frame: a desktop of text, windows and a photograph.
constexpr const char* kFramePicture = "mixed-1.png";
// How the run under valgrind reports the bytes the driver copied.
constexpr const char* kCopiedLine = "driver copied bytes: ";

// The glyph page of the pipeline bench, a letter in every cell.
void DrawGlyphPage(hostk::UserBuffer* surface) {
  Canvas canvas = CanvasOver(surface->Data(), kWidth, kHeight, size_t(kWidth) * 4);
  Fill(canvas, canvas.Bounds(), Rgb(255, 255, 255));
  DrawGlyphLetters(canvas, (kWidth / kGlyphCell) * (kHeight / kGlyphCell));
}

bool DrawFrame(hostk::UserBuffer* surface, std::string* error) {
  std::string path;
  for (const std::string& image : CorpusImages()) {
    if (std::filesystem::path(image).filename() == kFramePicture) path = image;
  }
  BgrxImage picture;
  if (path.empty() || !LoadPng(path, &picture, error)) {
    *error = std::string("no corpus picture ") + kFramePicture;
    return false;
  }
  Canvas canvas = CanvasOver(surface->Data(), kWidth, kHeight, size_t(kWidth) * 4);
  BlitScaled(canvas, canvas.Bounds(), picture);
  return true;
}

// Each present waited out to its last byte on the wire.
bool Present(AdapterSession& session, PDEVICE_OBJECT child, const hostk::UserBuffer& surface,
             const PixelRect& rect, std::string* error) {
  NTSTATUS status = session.Present(child, surface, kWidth * 4, rect);
  if (!NT_SUCCESS(status)) {
    *error = "IOCTL_DISPLAY_PRESENT failed with " + StatusText(status);
    return false;
  }
  session.Settle(kSettleAfterPresents);
  return true;
}

// One warm-up present, then `presents` counted ones: glyphs in cells not sent before, or the
// whole frame again.
bool RunPresents(const std::string& kind, int presents, std::string* error) {
  AdapterSession session;
  if (!session.Plug(75, 3, error, false)) return false;
  PDEVICE_OBJECT child = session.AddChild(kSingleChannel, kSingleDisplayId);
  if (child == nullptr || !NT_SUCCESS(session.SetMode(child, kWidth, kHeight))) {
    *error = "the display child could not be set up";
    return false;
  }
  hostk::UserBuffer surface(size_t(kWidth) * 4 * kHeight);
  bool glyph = kind == "glyph";
  if (glyph) {
    DrawGlyphPage(&surface);
  } else if (!DrawFrame(&surface, error)) {
    return false;
  }
  PixelRect whole{0, 0, kWidth, kHeight};
  PixelRect first = glyph ? GlyphCell(0, kWidth) : whole;
  if (!Present(session, child, surface, first, error)) return false;
  CALLGRIND_START_INSTRUMENTATION;
  CALLGRIND_ZERO_STATS;
  uint64_t copiedBefore = hostk::CopiedBytes();
  bool ok = true;
  for (int i = 1; ok && i <= presents; i++) {
    ok = Present(session, child, surface, glyph ? GlyphCell(i, kWidth) : whole, error);
  }
  uint64_t copied = hostk::CopiedBytes() - copiedBefore;
  CALLGRIND_DUMP_STATS_AT("presents");
  CALLGRIND_STOP_INSTRUMENTATION;
  std::printf("%s%llu\n", kCopiedLine, (unsigned long long)copied);
  return ok && NT_SUCCESS(session.Remove());
}

// The bytes the driver copied in the counted presents, from the line the run printed; false when
// it printed none.
bool ReadCopiedBytes(const std::string& log, uint64_t* copied) {
  std::FILE* file = std::fopen(log.c_str(), "r");
  if (file == nullptr) return false;
  char line[256];
  bool found = false;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, kCopiedLine, std::strlen(kCopiedLine)) != 0) continue;
    *copied = std::strtoull(line + std::strlen(kCopiedLine), nullptr, 10);
    found = true;
  }
  std::fclose(file);
  return found;
}

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

int RunLayerChild(int argc, char** argv) {
  if (argc != 2 || (std::strcmp(argv[0], "glyph") != 0 && std::strcmp(argv[0], "frame") != 0)) {
    std::fprintf(stderr, "usage: kxsim bench-layers-run glyph|frame PRESENTS\n");
    return 2;
  }
  std::string error;
  BenchThreadScope thread;
  bool ok = RunPresents(argv[0], std::atoi(argv[1]), &error);
  if (!ok) std::fprintf(stderr, "kxsim bench-layers-run: %s\n", error.c_str());
  return ok ? 0 : 1;
}

bool CountPresentLayers(const std::string& self, const std::string& kind, int presents,
                        LayerRun* run, std::string* error) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("kxsim-layers-" + std::to_string(::getpid()) + "-" + kind);
  std::filesystem::create_directories(dir);
  std::string out = (dir / "callgrind.out").string(), log = (dir / "valgrind.log").string();
  // Instrumented only around the presents, which the run dumps as a profile of their own.
  std::string command =
      "valgrind --tool=callgrind --instr-atstart=no --dump-instr=no --dump-line=yes "
      "--callgrind-out-file=" + Quoted(out) + " " + Quoted(self) + " bench-layers-run " + kind +
      " " + std::to_string(presents) + " >" + Quoted(log) + " 2>&1";
  int status = std::system(command.c_str());
  bool ok = status == 0;
  if (!ok) {
    *error = "valgrind --tool=callgrind failed (is valgrind installed?); see " + log;
  }
  // The dump named after the run's point comes with a number.
  std::string dump;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("callgrind.out.", 0) == 0) dump = entry.path().string();
  }
  if (ok && dump.empty()) {
    *error = "callgrind wrote no profile of the presents; see " + log;
    ok = false;
  }
  run->kind = kind;
  run->presents = presents;
  uint64_t pixelsEach = kind == "glyph" ? kGlyphCell * kGlyphCell : kWidth * kHeight;
  run->pixels = uint64_t(presents) * pixelsEach;
  ok = ok && ReadCallgrindLayers(dump, KX_SOURCE_DIR, &run->counts, error);
  if (ok && !ReadCopiedBytes(log, &run->copiedBytes)) {
    *error = "the run under callgrind did not say what the driver copied; see " + log;
    ok = false;
  }
  if (ok) std::filesystem::remove_all(dir);
  return ok;
}

}  // namespace kxsim
