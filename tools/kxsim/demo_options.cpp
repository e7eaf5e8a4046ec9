#include "demo_options.h"

#include <cstdlib>

#include "bench_support.h"
#include "sim/display/scene.h"

namespace kxsim {
namespace {

// Seconds as a decimal number, more than 0 and at most an hour.
bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(parsed > 0) || parsed > 3600) return false;
  *seconds = parsed;
  return true;
}

bool ParseSeed(const char* text, uint64_t* seed) {
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0' || text[0] == '-') return false;
  *seed = parsed;
  return true;
}

bool ParseSpeed(const std::string& text, UsbSpeed* speed) {
  for (UsbSpeed candidate : {UsbSpeed::Full, UsbSpeed::High, UsbSpeed::Super}) {
    if (text == UsbSpeedName(candidate)) {
      *speed = candidate;
      return true;
    }
  }
  return false;
}

bool ParseAttach(const std::string& text, AttachPath* attach) {
  if (text == "far-side") *attach = AttachPath::FarSide;
  else if (text == "control-code") *attach = AttachPath::ControlCode;
  else return false;
  return true;
}

// One option and its value; false when the value is missing or bad.
bool ParseOne(const std::string& name, const char* value, DemoOptions* options) {
  if (value == nullptr) return false;
  if (name == "--displays") return ParseInt(value, 1, kMaxDemoDisplays, &options->displays);
  if (name == "--scene") {
    if (!IsSceneName(value)) return false;
    options->scenes.push_back(value);
    return true;
  }
  if (name == "--seconds") return ParseSeconds(value, &options->seconds);
  if (name == "--usb") return ParseSpeed(value, &options->usb);
  if (name == "-q") return ParseInt(value, 0, 100, &options->quality);
  if (name == "-s") return ParseInt(value, 0, 3, &options->sampling);
  if (name == "--attach") return ParseAttach(value, &options->attach);
  if (name == "--capture") options->capturePath = value;
  else if (name == "--out") options->outDir = value;
  else if (name == "--seed") return ParseSeed(value, &options->seed);
  else return false;
  return *value != '\0';
}

}  // namespace

const char* UsbSpeedName(UsbSpeed speed) {
  switch (speed) {
    case UsbSpeed::Full: return "full";
    case UsbSpeed::High: return "high";
    case UsbSpeed::Super: return "super";
  }
  return "?";
}

bool ParseDemoOptions(int argc, char** argv, DemoOptions* options, std::string* error,
                      bool* help) {
  *help = false;
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      *help = true;
      return true;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!ParseOne(arg, value, options)) {
      *error = value == nullptr || arg.empty() || arg[0] != '-'
                   ? "bad argument '" + arg + "'"
                   : "bad argument '" + arg + " " + value + "'";
      return false;
    }
    i++;
  }
  return true;
}

void PrintDemoUsage(FILE* to) {
  std::fprintf(to,
               "usage: kxsim demo [--displays N] [--scene NAME]... [--seconds S] "
               "[--usb full|high|super]\n"
               "                  [-q Q] [-s 0..3] [--attach far-side|control-code] "
               "[--capture FILE.pcap]\n"
               "                  [--out DIR] [--seed N]\n"
               "  the driver on a virtual adapter with N displays (default 2), presenting desktop\n"
               "  scenes at 60 frames a second for S seconds of virtual time (default 10); writes\n"
               "  the far side's frames, the presented ones, their differences and report.html to\n"
               "  DIR (default demo-out)\n"
               "scenes (default: all, in this order):\n");
  for (const std::string& name : SceneNames()) {
    std::fprintf(to, "  %-8s %s\n", name.c_str(), SceneDescription(name));
  }
}

std::vector<std::string> DemoScenes(const DemoOptions& options) {
  return options.scenes.empty() ? SceneNames() : options.scenes;
}

DisplayModeEntry DemoDisplayMode(int index) {
  static const USHORT kSizes[kMaxDemoDisplays][2] = {
      {1920, 1080}, {2560, 1440}, {1680, 1050}, {1366, 768}, {1280, 1024},
      {1600, 900},  {1920, 1200}, {1440, 900},  {1280, 800}, {1024, 768}};
  const USHORT* size = kSizes[index % kMaxDemoDisplays];
  DisplayModeEntry mode;
  mode.width = size[0];
  mode.height = size[1];
  return mode;
}

}  // namespace kxsim
