// What a display tells the host about itself, in the layout the driver passes through: the display
// report a far-side announcement or an attach control code carries, and the display description a
// display driver reads back from its child. The driver does not look into the mode entries; the
// far side and the display stack agree on them: width, height, refresh rate and bits per pixel,
// 16 bits each, little-endian, the preferred mode first.
#pragma once

#include <string>
#include <vector>

#include "host/ntdef.h"

namespace kxsim {

struct DisplayModeEntry {
  USHORT width = 0;
  USHORT height = 0;
  USHORT refreshHz = 60;
  USHORT bitsPerPixel = 32;
};

constexpr size_t kDisplayDataSize = 512;
constexpr size_t kDescriptionModesOffset = 528;

// Identifier, mode count, report word, the modes, then 512 bytes of display data that open with
// the monitor's name.
std::vector<uint8_t> BuildDisplayReport(LONG displayId, const std::vector<DisplayModeEntry>& modes,
                                        const std::string& monitorName, USHORT reportWord = 0);

// The modes of a display description; empty when it is too short for what it claims.
std::vector<DisplayModeEntry> DescriptionModes(const std::vector<uint8_t>& description);
// The identifier at its start (0 when too short).
LONG DescriptionDisplayId(const std::vector<uint8_t>& description);

}  // namespace kxsim
