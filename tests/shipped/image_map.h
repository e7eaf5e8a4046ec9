// The kernel link's map of KxBusIdd.sys: where the linker placed each global routine and variable of
// the driver. The image itself carries no symbols, so this is how code outside the image finds an
// internal routine in it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kxtest {

class ImageMap {
 public:
  // Reads a GNU ld map (as -Wl,-Map writes it, names demangled). False, with the reason, when the
  // text has no image base or no symbol.
  bool Parse(const std::string& text, std::string* error);

  // The symbol's offset from the image base, by its plain name: a C++ routine without its
  // parameters ("ReadChannel2"), a stdcall routine without its argument bytes ("DriverEntry"), a
  // variable ("Globals"). False, with the reason, when the map has no such name or more than one
  // place for it.
  bool Offset(const std::string& name, uint32_t* offset, std::string* error) const;

  uint32_t PreferredBase() const { return base_; }
  size_t Size() const { return places_.size(); }

 private:
  static constexpr uint32_t kAmbiguous = UINT32_MAX;
  uint32_t base_ = 0;
  std::map<std::string, uint32_t> places_;  // plain name -> address at the preferred base
};

// "ReadChannel2(BusDeviceContext*, void*, unsigned long)" -> "ReadChannel2",
// "DriverEntry@8" -> "DriverEntry".
std::string PlainSymbolName(const std::string& mapName);

}  // namespace kxtest
