#include "image_map.h"

#include <sstream>

namespace kxtest {
namespace {

// A symbol line: its address in the first column after 16 spaces, its name after 16 more. Section
// lines start with the section's name, assignment lines carry " = ".
bool ParseSymbolLine(const std::string& line, uint32_t* address, std::string* name) {
  size_t at = line.find_first_not_of(' ');
  if (at != 16 || line.compare(at, 2, "0x") != 0) return false;
  size_t end = line.find(' ', at);
  if (end == std::string::npos) return false;
  size_t nameAt = line.find_first_not_of(' ', end);
  if (nameAt == std::string::npos || line.find(" = ", nameAt) != std::string::npos) return false;
  if (line.compare(nameAt, 2, "0x") == 0) return false;
  *address = (uint32_t)std::stoul(line.substr(at + 2, end - at - 2), nullptr, 16);
  *name = line.substr(nameAt);
  return true;
}

bool ParseImageBase(const std::string& line, uint32_t* base) {
  size_t at = line.find("__image_base__ = 0x");
  if (at == std::string::npos) return false;
  *base = (uint32_t)std::stoul(line.substr(at + 19), nullptr, 16);
  return true;
}

}  // namespace

std::string PlainSymbolName(const std::string& mapName) {
  size_t open = mapName.find('(');
  std::string name = mapName.substr(0, open);
  if (open == std::string::npos) {
    size_t at = name.rfind('@');
    if (at != std::string::npos && at > 0 &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos) {
      name.resize(at);
    }
  }
  return name;
}

bool ImageMap::Parse(const std::string& text, std::string* error) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (base_ == 0 && ParseImageBase(line, &base_)) continue;
    uint32_t address;
    std::string name;
    if (!ParseSymbolLine(line, &address, &name)) continue;
    auto [place, added] = places_.emplace(PlainSymbolName(name), address);
    if (!added && place->second != address) place->second = kAmbiguous;
  }
  if (base_ == 0) *error = "the map names no image base (__image_base__)";
  else if (places_.empty()) *error = "the map places no symbol";
  return base_ != 0 && !places_.empty();
}

bool ImageMap::Offset(const std::string& name, uint32_t* offset, std::string* error) const {
  auto found = places_.find(name);
  if (found == places_.end()) {
    *error = "the image's map has no symbol \"" + name + "\"";
    return false;
  }
  if (found->second == kAmbiguous) {
    *error = "the image's map places \"" + name + "\" more than once";
    return false;
  }
  if (found->second < base_) {
    *error = "the image's map places \"" + name + "\" below the image base";
    return false;
  }
  *offset = found->second - base_;
  return true;
}

}  // namespace kxtest
