// Plain chip registers: 32-bit words at byte offsets that read back as written, and the
// index/data pair (index register 0x30, data register 0x34) that both chips of the adapter use to
// reach a bank of internal registers. What the internal registers mean inside the chips is not
// modelled: they hold what the driver writes, which is what the tests compare.
#pragma once

#include <map>

#include "host/ntdef.h"

namespace kxsim {

class RegisterFile {
 public:
  // A register's power-on value (0 for any register without one).
  void Preset(ULONG offset, ULONG value);
  ULONG Read(ULONG offset) const;
  void Write(ULONG offset, ULONG value);
  void PowerOn();

 private:
  std::map<ULONG, ULONG> presets_;
  std::map<ULONG, ULONG> values_;
};

class IndexedBank {
 public:
  static constexpr ULONG kIndexRegister = 0x30;
  static constexpr ULONG kDataRegister = 0x34;
  static bool Owns(ULONG offset) { return offset == kIndexRegister || offset == kDataRegister; }

  ULONG Read(ULONG offset) const;
  // The index register takes its low byte; the data register writes the bank entry it selects.
  void Write(ULONG offset, ULONG value);
  // The bank entry at `index` (0 when never written).
  ULONG Entry(ULONG index) const;
  void PowerOn();

 private:
  ULONG index_ = 0;
  std::map<ULONG, ULONG> bank_;
};

}  // namespace kxsim
