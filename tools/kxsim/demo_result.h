// What a demo run measured and found, for the report, the summary and the exit status.
#pragma once

#include <string>
#include <vector>

#include "far_side_check.h"
#include "sim/display/pixel_rect.h"
#include "sim/usb/usb_device_model.h"

namespace kxsim {

struct DisplayResult {
  LONG id = 0;
  int width = 0;
  int height = 0;
  std::string instancePath;
  ULONGLONG presents = 0;         // frames that changed, each presented
  ULONGLONG presentRequests = 0;  // IOCTL_DISPLAY_PRESENT, one rectangle each
  ULONGLONG presentedPixels = 0;
  // The far side's count: what the worker sent after merging the presents.
  ULONGLONG rectanglesSent = 0;
  ULONGLONG sentPixels = 0;
  ULONGLONG payloadBytes = 0;  // JPEG
  ULONGLONG wireBytes = 0;     // blocks and padded payloads
  double psnr = 0;             // far side against the last presented picture
  // The frame worker's processor time spent for this display: its share by pixels sent.
  LONGLONG workerTime = 0;
  ULONGLONG staleBlocks = 0;  // over every check
  FarSideComparison lastCheck;
  BgrxImage presented;          // the last presented picture
  std::vector<uint8_t> farRgb;  // what the far side shows at the end
};

struct SceneResult {
  std::string name;
  int frames = 0;              // of 1/60 s
  LONGLONG startTime = 0;      // virtual, 100 ns
  LONGLONG endTime = 0;        // once the worker was idle after it
  ULONGLONG presents = 0;      // over all displays
  ULONGLONG rectanglesSent = 0;
  ULONGLONG wireBytes = 0;     // all traffic out while it ran and drained
  ULONGLONG staleBlocks = 0;
};

// The bytes sent out to the adapter by a moment of virtual time.
struct WireSample {
  LONGLONG time = 0;
  ULONGLONG bytes = 0;
};

struct DemoResult {
  UsbSpeed speed = UsbSpeed::Super;
  ULONG driverUsbSpeed = 0;  // as the driver reports it
  std::string interfaceName;
  std::vector<DisplayResult> displays;
  std::vector<SceneResult> scenes;
  std::vector<WireSample> samples;
  LONGLONG virtualTime = 0;  // from the first present to the end of the last drain
  double wallSeconds = 0;    // of the same span
  LONGLONG workerTime = 0;   // processor time of the driver's threads over that span
  ULONGLONG wireBytes = 0;   // everything out over that span
  ULONG violations = 0;
  std::vector<std::string> violationDetails;
  std::vector<std::string> failures;  // control codes, set-up, idle waits, checks
  std::string leaks;                  // after the removal
  std::string registry;               // the registry of the run, as a .reg file

  ULONGLONG StaleBlocks() const;
  bool Clean() const;  // no violation, failure, leak or stale block
};

// A scene whose traffic kept the wire busy this share of its time saturated the link: the
// worker merged presents that queued up meanwhile, so a present took fewer bytes than it would
// alone and rates worked out from bytes per present no longer hold.
constexpr double kSaturatedBusy = 0.9;

// A scene's traffic per second of the scene, how busy it kept the link at the run's speed, and
// the presents a second the link could carry at each USB speed (full, high, SuperSpeed) if every
// present took the bytes the scene's presents took; those are known only for a scene that did not
// saturate the link. A saturated link delivered `deliveredRate` rectangles a second instead.
struct SceneFigures {
  double seconds = 0;  // presented: frames / 60
  double bytesPerSecond = 0;
  double linkBusy = 0;  // wire time over the scene's virtual time until the worker was idle
  bool saturated = false;
  double deliveredRate = 0;
  double linkFrameRate[3] = {0, 0, 0};
};
SceneFigures FiguresOf(const SceneResult& scene, UsbSpeed speed);

// What the report shows of a display, worked out from its counts. `linkFrameRate` holds only
// when no scene of the run saturated the link (`saturatedScenes` 0).
struct DisplayFigures {
  double bitsPerPixel = 0;       // JPEG bits per pixel of the rectangles sent
  double encodeMsPerRect = 0;    // the worker's processor time per rectangle sent
  double wireSeconds = 0;        // its traffic at the run's USB speed
  double linkFrameRate = 0;      // presents a second the link could carry at their mean size
  int saturatedScenes = 0;
};
DisplayFigures FiguresOf(const DisplayResult& display, const DemoResult& result);

// The presents a second the link could carry at `speed` if each took as many bytes as these
// presents took on average; 0 for no bytes.
double LinkFrameRate(UsbSpeed speed, ULONGLONG presents, ULONGLONG wireBytes);
// The time `wireBytes` take on the bus at `speed`.
double WireSeconds(UsbSpeed speed, ULONGLONG wireBytes);

}  // namespace kxsim
