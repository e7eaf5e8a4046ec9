#include "layer_count.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace kxsim {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Callgrind names a file once as "(id) name" and after that as "(id)".
std::string Name(const std::string& value, std::map<std::string, std::string>* names) {
  if (value.empty() || value[0] != '(') return value;
  size_t close = value.find(')');
  if (close == std::string::npos) return value;
  std::string id = value.substr(0, close + 1);
  if (close + 1 < value.size()) (*names)[id] = value.substr(close + 2);
  return (*names)[id];
}

// The Ir column of a cost line: the position columns come first ("+3", "-1", "*" or a number each).
bool IrOf(const std::string& line, size_t positions, size_t irColumn, uint64_t* ir) {
  std::istringstream fields(line);
  std::string field;
  for (size_t i = 0; i < positions + irColumn + 1; i++) {
    if (!(fields >> field)) {
      *ir = 0;  // a missing event column counts 0
      return i >= positions;
    }
  }
  *ir = std::strtoull(field.c_str(), nullptr, 10);
  return true;
}

}  // namespace

const char* LayerName(Layer layer) {
  switch (layer) {
    case Layer::Driver: return "driver";
    case Layer::Encoder: return "encoder";
    case Layer::HostKernel: return "host kernel";
    case Layer::Simulated: return "simulated world";
    case Layer::Harness: return "bench harness";
    case Layer::Libraries: return "libraries";
    case Layer::Count: break;
  }
  return "?";
}

Layer LayerOfFile(const std::string& path, const std::string& sourceDir) {
  std::string prefix = sourceDir.empty() || sourceDir.back() == '/' ? sourceDir : sourceDir + "/";
  if (path.empty() || path[0] != '/' || prefix.empty() || !StartsWith(path, prefix)) {
    return Layer::Libraries;
  }
  std::string relative = path.substr(prefix.size());
  if (StartsWith(relative, "jpeg/")) return Layer::Encoder;
  if (StartsWith(relative, "platform/host/src/") || StartsWith(relative, "platform/host/hostk/")) {
    return Layer::HostKernel;
  }
  if (StartsWith(relative, "sim/")) return Layer::Simulated;
  if (StartsWith(relative, "tools/") || StartsWith(relative, "tests/")) return Layer::Harness;
  static const char* const kDriver[] = {"driver/", "bus/",     "config/",  "usb/",
                                        "device/", "control/", "pipeline/", "platform/"};
  for (const char* directory : kDriver) {
    if (StartsWith(relative, directory)) return Layer::Driver;
  }
  return Layer::Libraries;
}

uint64_t LayerCounts::Total() const {
  uint64_t total = 0;
  for (uint64_t count : instructions) total += count;
  return total;
}

// Each function's instructions by layer first: code from outside the tree (the compiler's
// intrinsics, the C++ library's templates, inlined or named as the function's own file) counts
// to the layer of the function's code in the tree, the one with the most instructions; only
// functions with nothing in the tree (the C library's, say) stay libraries.
bool ParseCallgrindLayers(const std::string& text, const std::string& sourceDir,
                          LayerCounts* counts, std::string* error) {
  *counts = LayerCounts();
  std::istringstream lines(text);
  std::string line;
  std::map<std::string, std::string> files, functions;
  std::map<std::string, Layer> layers;
  std::map<std::string, LayerCounts> byFunction;
  size_t positions = 1, irColumn = 0;
  bool haveIr = false;
  std::string function, fileOfFunction, current, callee;
  bool callCost = false;  // the next cost line is a call's inclusive cost
  struct Call {
    std::string caller, callee;
    uint64_t inclusive;
  };
  std::vector<Call> calls;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (StartsWith(line, "positions:")) {
      std::istringstream kinds(line.substr(10));
      std::string kind;
      positions = 0;
      while (kinds >> kind) positions++;
    } else if (StartsWith(line, "events:")) {
      std::istringstream events(line.substr(7));
      std::string event;
      for (size_t i = 0; events >> event; i++) {
        if (event == "Ir") irColumn = i, haveIr = true;
      }
    } else if (StartsWith(line, "fl=")) {
      fileOfFunction = current = Name(line.substr(3), &files);
    } else if (StartsWith(line, "fi=") || StartsWith(line, "fe=")) {
      current = Name(line.substr(3), &files);
    } else if (StartsWith(line, "fn=")) {
      function = Name(line.substr(3), &functions);
      current = fileOfFunction;
    } else if (StartsWith(line, "cfi=") || StartsWith(line, "cfl=")) {
      Name(line.substr(4), &files);  // a called function's file: may name an id for later
    } else if (StartsWith(line, "cfn=")) {
      callee = Name(line.substr(4), &functions);
    } else if (StartsWith(line, "calls=")) {
      callCost = true;
    } else if (std::isdigit((unsigned char)line[0]) || line[0] == '+' || line[0] == '-' ||
               line[0] == '*') {
      uint64_t ir = 0;
      if (!IrOf(line, positions, irColumn, &ir)) continue;
      if (callCost) {
        callCost = false;  // counted where the callee runs, unless it is a library's
        calls.push_back({function, callee, ir});
        continue;
      }
      auto found = layers.find(current);
      if (found == layers.end()) {
        found = layers.emplace(current, LayerOfFile(current, sourceDir)).first;
      }
      byFunction[function].instructions[size_t(found->second)] += ir;
    }
    // Other lines (ob=, cob=, summary: ...) name objects or sum up.
  }
  if (!haveIr) {
    *error = "the profile has no Ir event";
    return false;
  }
  std::map<std::string, size_t> homes;
  for (auto& entry : byFunction) {
    LayerCounts& own = entry.second;
    size_t home = size_t(Layer::Libraries);
    for (size_t l = 0; l < size_t(Layer::Libraries); l++) {
      if (own.instructions[l] > 0 &&
          (home == size_t(Layer::Libraries) || own.instructions[l] > own.instructions[home])) {
        home = l;
      }
    }
    homes[entry.first] = home;
    for (size_t l = 0; l < size_t(Layer::Count); l++) {
      counts->instructions[l == size_t(Layer::Libraries) ? home : l] += own.instructions[l];
    }
  }
  // A library routine called from the tree (a copy, a lock, an allocation) is the caller's work,
  // as the platform's own routine would be on Windows.
  constexpr size_t kLibraries = size_t(Layer::Libraries);
  for (const Call& call : calls) {
    auto caller = homes.find(call.caller), callee = homes.find(call.callee);
    if (caller == homes.end() || caller->second == kLibraries) continue;
    if (callee != homes.end() && callee->second != kLibraries) continue;
    uint64_t moved = std::min(call.inclusive, counts->instructions[kLibraries]);
    counts->instructions[kLibraries] -= moved;
    counts->instructions[caller->second] += moved;
  }
  return true;
}

bool ReadCallgrindLayers(const std::string& path, const std::string& sourceDir,
                         LayerCounts* counts, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseCallgrindLayers(text.str(), sourceDir, counts, error);
}

}  // namespace kxsim
