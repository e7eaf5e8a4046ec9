#include "demo_report.h"

namespace kxsim {

std::string ByteText(double bytes) {
  const char* units[] = {"B", "kB", "MB", "GB"};
  int unit = 0;
  while (bytes >= 1000 && unit < 3) {
    bytes /= 1000;
    unit++;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", bytes, units[unit]);
  return text;
}

namespace {

void PrintDisplays(FILE* to, const DemoResult& result) {
  std::fprintf(to, "%-9s %11s %8s %8s %11s %6s %7s %9s %9s %9s %6s\n", "display", "mode",
               "presents", "rects", "wire", "bpp", "PSNR dB", "enc ms/r", "wire s", "link fps",
               "stale");
  for (const DisplayResult& display : result.displays) {
    DisplayFigures figures = FiguresOf(display, result.speed);
    char mode[24];
    std::snprintf(mode, sizeof mode, "%dx%d", display.width, display.height);
    std::fprintf(to, "%-9d %11s %8llu %8llu %11s %6.3f %7.2f %9.3f %9.3f %9.1f %6llu\n",
                 int(display.id), mode, (unsigned long long)display.presents,
                 (unsigned long long)display.rectanglesSent,
                 ByteText(double(display.wireBytes)).c_str(), figures.bitsPerPixel, display.psnr,
                 figures.encodeMsPerRect, figures.wireSeconds, figures.linkFrameRate,
                 (unsigned long long)display.staleBlocks);
  }
}

void PrintScenes(FILE* to, const DemoResult& result) {
  std::fprintf(to, "\n%-8s %7s %8s %8s %11s %12s %10s %10s %10s\n", "scene", "seconds",
               "presents", "rects", "wire", "per second", "fps full", "fps high", "fps super");
  for (const SceneResult& scene : result.scenes) {
    SceneFigures figures = FiguresOf(scene);
    std::fprintf(to, "%-8s %7.2f %8llu %8llu %11s %12s %10.1f %10.1f %10.1f\n",
                 scene.name.c_str(), figures.seconds, (unsigned long long)scene.presents,
                 (unsigned long long)scene.rectanglesSent,
                 ByteText(double(scene.wireBytes)).c_str(),
                 (ByteText(figures.bytesPerSecond) + "/s").c_str(), figures.linkFrameRate[0],
                 figures.linkFrameRate[1], figures.linkFrameRate[2]);
  }
}

void PrintVerdict(FILE* to, const DemoResult& result) {
  std::fprintf(to, "\nprotocol violations %u, stale blocks %llu, leaks %s, failures %zu\n",
               unsigned(result.violations), (unsigned long long)result.StaleBlocks(),
               result.leaks.empty() ? "none" : "yes", result.failures.size());
  for (const std::string& line : result.violationDetails) std::fprintf(to, "  %s\n", line.c_str());
  for (const std::string& line : result.failures) std::fprintf(to, "  %s\n", line.c_str());
  if (!result.leaks.empty()) std::fprintf(to, "%s\n", result.leaks.c_str());
  std::fprintf(to, "%s\n", result.Clean() ? "the far side shows what was presented"
                                          : "FAILED: see above");
}

}  // namespace

void PrintSummary(FILE* to, const DemoOptions& options, const DemoResult& result) {
  std::fprintf(to,
               "kxsim demo: %zu display(s), %.2f s of virtual time in %.1f s, USB %s speed, "
               "quality %d, sampling %d, %s\n",
               result.displays.size(), double(result.virtualTime) / 1e7, result.wallSeconds,
               UsbSpeedName(options.usb), options.quality, options.sampling,
               options.attach == AttachPath::FarSide ? "announced by the far side"
                                                     : "attached by control code");
  std::fprintf(to, "%s on the wire; the frame worker's processor time %.3f s\n\n",
               ByteText(double(result.wireBytes)).c_str(), double(result.workerTime) / 1e7);
  PrintDisplays(to, result);
  PrintScenes(to, result);
  PrintVerdict(to, result);
}

}  // namespace kxsim
