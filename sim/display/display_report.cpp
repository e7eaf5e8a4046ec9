#include "sim/display/display_report.h"

namespace kxsim {
namespace {

void PutLe(std::vector<uint8_t>* bytes, ULONG value, int size) {
  for (int i = 0; i < size; i++) bytes->push_back(uint8_t(value >> (8 * i)));
}

ULONG GetLe(const std::vector<uint8_t>& bytes, size_t at, int size) {
  ULONG value = 0;
  for (int i = 0; i < size; i++) value |= ULONG(bytes[at + size_t(i)]) << (8 * i);
  return value;
}

}  // namespace

std::vector<uint8_t> BuildDisplayReport(LONG displayId, const std::vector<DisplayModeEntry>& modes,
                                        const std::string& monitorName, USHORT reportWord) {
  std::vector<uint8_t> report;
  PutLe(&report, ULONG(displayId), 4);
  PutLe(&report, ULONG(modes.size()), 4);
  PutLe(&report, reportWord, 2);
  PutLe(&report, 0, 2);
  for (const DisplayModeEntry& mode : modes) {
    PutLe(&report, mode.width, 2);
    PutLe(&report, mode.height, 2);
    PutLe(&report, mode.refreshHz, 2);
    PutLe(&report, mode.bitsPerPixel, 2);
  }
  std::vector<uint8_t> data(kDisplayDataSize, 0);
  for (size_t i = 0; i < monitorName.size() && i + 1 < data.size(); i++) {
    data[i] = uint8_t(monitorName[i]);
  }
  report.insert(report.end(), data.begin(), data.end());
  return report;
}

std::vector<DisplayModeEntry> DescriptionModes(const std::vector<uint8_t>& description) {
  std::vector<DisplayModeEntry> modes;
  if (description.size() < kDescriptionModesOffset + 4) return modes;
  ULONG count = GetLe(description, kDescriptionModesOffset, 4);
  size_t first = kDescriptionModesOffset + 4;
  if (count > (description.size() - first) / 8) return modes;
  for (ULONG i = 0; i < count; i++) {
    size_t at = first + 8 * size_t(i);
    DisplayModeEntry mode;
    mode.width = USHORT(GetLe(description, at, 2));
    mode.height = USHORT(GetLe(description, at + 2, 2));
    mode.refreshHz = USHORT(GetLe(description, at + 4, 2));
    mode.bitsPerPixel = USHORT(GetLe(description, at + 6, 2));
    modes.push_back(mode);
  }
  return modes;
}

LONG DescriptionDisplayId(const std::vector<uint8_t>& description) {
  return description.size() < 4 ? 0 : LONG(GetLe(description, 0, 4));
}

}  // namespace kxsim
