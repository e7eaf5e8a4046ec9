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

// "123.4" or, when the figure does not hold, "-".
std::string Rate(double value, bool holds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return holds ? text : "-";
}

void PrintDisplays(FILE* to, const DemoResult& result) {
  std::fprintf(to, "%-9s %11s %8s %8s %11s %6s %7s %9s %9s %9s %6s\n", "display", "mode",
               "presents", "rects", "wire", "bpp", "PSNR dB", "enc ms/r", "wire s", "link fps",
               "stale");
  for (const DisplayResult& display : result.displays) {
    DisplayFigures figures = FiguresOf(display, result);
    char mode[24];
    std::snprintf(mode, sizeof mode, "%dx%d", display.width, display.height);
    std::fprintf(to, "%-9d %11s %8llu %8llu %11s %6.3f %7.2f %9.3f %9.3f %9s %6llu\n",
                 int(display.id), mode, (unsigned long long)display.presents,
                 (unsigned long long)display.rectanglesSent,
                 ByteText(double(display.wireBytes)).c_str(), figures.bitsPerPixel, display.psnr,
                 figures.encodeMsPerRect, figures.wireSeconds,
                 Rate(figures.linkFrameRate, figures.saturatedScenes == 0).c_str(),
                 (unsigned long long)display.staleBlocks);
  }
}

void PrintScenes(FILE* to, const DemoResult& result) {
  std::fprintf(to, "\n%-8s %7s %8s %8s %11s %12s %5s %9s %9s %9s %6s\n", "scene", "seconds",
               "presents", "rects", "wire", "per second", "busy", "fps full", "fps high",
               "fps super", "stale");
  bool saturated = false;
  for (const SceneResult& scene : result.scenes) {
    SceneFigures figures = FiguresOf(scene, result.speed);
    saturated |= figures.saturated;
    std::string rates[3];
    const UsbSpeed speeds[3] = {UsbSpeed::Full, UsbSpeed::High, UsbSpeed::Super};
    for (int i = 0; i < 3; i++) {
      rates[i] = Rate(figures.linkFrameRate[i], !figures.saturated);
      if (figures.saturated && speeds[i] == result.speed) {
        rates[i] = "(" + Rate(figures.deliveredRate, true) + ")";
      }
    }
    std::fprintf(to, "%-8s %7.2f %8llu %8llu %11s %12s %4.0f%% %9s %9s %9s %6llu\n",
                 scene.name.c_str(), figures.seconds, (unsigned long long)scene.presents,
                 (unsigned long long)scene.rectanglesSent,
                 ByteText(double(scene.wireBytes)).c_str(),
                 (ByteText(figures.bytesPerSecond) + "/s").c_str(), 100 * figures.linkBusy,
                 rates[0].c_str(), rates[1].c_str(), rates[2].c_str(),
                 (unsigned long long)scene.staleBlocks);
  }
  if (saturated) {
    std::fprintf(to, "(n): the scene saturated the link; the worker merged presents, n rectangles "
                     "a second were delivered, and no frame rate follows from its bytes\n");
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
