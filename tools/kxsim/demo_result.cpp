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

SceneFigures FiguresOf(const SceneResult& scene, UsbSpeed speed) {
  SceneFigures figures;
  figures.seconds = double(scene.frames) / kSceneFramesPerSecond;
  if (figures.seconds > 0) figures.bytesPerSecond = double(scene.wireBytes) / figures.seconds;
  double ran = double(scene.endTime - scene.startTime) / 1e7;
  if (ran > 0) {
    figures.linkBusy = WireSeconds(speed, scene.wireBytes) / ran;
    figures.deliveredRate = double(scene.rectanglesSent) / ran;
  }
  figures.saturated = figures.linkBusy >= kSaturatedBusy;
  const UsbSpeed speeds[3] = {UsbSpeed::Full, UsbSpeed::High, UsbSpeed::Super};
  for (int i = 0; i < 3 && !figures.saturated; i++) {
    figures.linkFrameRate[i] = LinkFrameRate(speeds[i], scene.presents, scene.wireBytes);
  }
  return figures;
}

DisplayFigures FiguresOf(const DisplayResult& display, const DemoResult& result) {
  DisplayFigures figures;
  if (display.sentPixels > 0) {
    figures.bitsPerPixel = 8.0 * double(display.payloadBytes) / double(display.sentPixels);
  }
  if (display.rectanglesSent > 0) {
    figures.encodeMsPerRect = double(display.workerTime) / 1e4 / double(display.rectanglesSent);
  }
  figures.wireSeconds = WireSeconds(result.speed, display.wireBytes);
  for (const SceneResult& scene : result.scenes) {
    figures.saturatedScenes += FiguresOf(scene, result.speed).saturated ? 1 : 0;
  }
  if (figures.saturatedScenes == 0) {
    figures.linkFrameRate = LinkFrameRate(result.speed, display.presents, display.wireBytes);
  }
  return figures;
}

}  // namespace kxsim
