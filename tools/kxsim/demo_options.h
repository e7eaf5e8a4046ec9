// The options of `kxsim demo`: how many displays, which scenes for how long, the adapter's USB
// speed, the compression, how displays attach, and where the results go.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/display/display_report.h"
#include "sim/usb/usb_device_model.h"

namespace kxsim {

enum class AttachPath {
  FarSide,      // the far side announces each display to the driver's link thread
  ControlCode,  // the display stack attaches each display with the adapter's attach code
};

constexpr int kMaxDemoDisplays = 10;

struct DemoOptions {
  int displays = 2;
  std::vector<std::string> scenes;  // in the order given; empty: every scene
  double seconds = 10;              // of virtual time, shared out among the scenes
  UsbSpeed usb = UsbSpeed::Super;
  int quality = 75;
  int sampling = 3;
  AttachPath attach = AttachPath::FarSide;
  std::string capturePath;  // "" for none
  std::string outDir = "demo-out";
  uint64_t seed = 1;
};

// False with a message for a bad argument; `help` is set (and true returned) for -h or --help.
bool ParseDemoOptions(int argc, char** argv, DemoOptions* options, std::string* error,
                      bool* help);
void PrintDemoUsage(FILE* to);

// The scenes the demo shows: those asked for, or all of them.
std::vector<std::string> DemoScenes(const DemoOptions& options);
// The preferred mode of display `index` (from 0): 1920 x 1080, 2560 x 1440, then other common
// desktop sizes.
DisplayModeEntry DemoDisplayMode(int index);

const char* UsbSpeedName(UsbSpeed speed);  // "full", "high", "super"

}  // namespace kxsim
