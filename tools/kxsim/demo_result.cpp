#include "demo_result.h"

#include "sim/display/scene.h"
#include "sim/usb/usb_bandwidth.h"

namespace kxsim {

ULONGLONG DemoResult::StaleBlocks() const {
  ULONGLONG stale = 0;
  for (const DisplayResult& display : displays) stale += display.staleBlocks;
  return stale;
}

bool DemoResult::Clean() const {
  return violations == 0 && failures.empty() && leaks.empty() && StaleBlocks() == 0;
}

double LinkFrameRate(UsbSpeed speed, ULONGLONG presents, ULONGLONG wireBytes) {
  if (wireBytes == 0) return 0;
  return double(UsbBandwidthModel::BytesPerSecond(speed)) * double(presents) / double(wireBytes);
}

double WireSeconds(UsbSpeed speed, ULONGLONG wireBytes) {
  return double(wireBytes) / double(UsbBandwidthModel::BytesPerSecond(speed));
}

DisplayFigures FiguresOf(const DisplayResult& display, UsbSpeed speed) {
  DisplayFigures figures;
  if (display.sentPixels > 0) {
    figures.bitsPerPixel = 8.0 * double(display.payloadBytes) / double(display.sentPixels);
  }
  if (display.rectanglesSent > 0) {
    figures.encodeMsPerRect = double(display.workerTime) / 1e4 / double(display.rectanglesSent);
  }
  figures.wireSeconds = WireSeconds(speed, display.wireBytes);
  figures.linkFrameRate = LinkFrameRate(speed, display.presents, display.wireBytes);
  return figures;
}

SceneFigures FiguresOf(const SceneResult& scene) {
  SceneFigures figures;
  figures.seconds = double(scene.frames) / kSceneFramesPerSecond;
  if (figures.seconds > 0) figures.bytesPerSecond = double(scene.wireBytes) / figures.seconds;
  const UsbSpeed speeds[3] = {UsbSpeed::Full, UsbSpeed::High, UsbSpeed::Super};
  for (int i = 0; i < 3; i++) {
    figures.linkFrameRate[i] = LinkFrameRate(speeds[i], scene.presents, scene.wireBytes);
  }
  return figures;
}

}  // namespace kxsim
