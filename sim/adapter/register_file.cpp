// Plain registers and the index/data bank.
#include "sim/adapter/register_file.h"

namespace kxsim {

void RegisterFile::Preset(ULONG offset, ULONG value) {
  presets_[offset] = value;
  values_[offset] = value;
}

ULONG RegisterFile::Read(ULONG offset) const {
  auto it = values_.find(offset);
  return it == values_.end() ? 0 : it->second;
}

void RegisterFile::Write(ULONG offset, ULONG value) { values_[offset] = value; }

void RegisterFile::PowerOn() { values_ = presets_; }

ULONG IndexedBank::Read(ULONG offset) const {
  return offset == kIndexRegister ? index_ : Entry(index_);
}

void IndexedBank::Write(ULONG offset, ULONG value) {
  if (offset == kIndexRegister) {
    index_ = value & 0xFF;
  } else {
    bank_[index_] = value;
  }
}

ULONG IndexedBank::Entry(ULONG index) const {
  auto it = bank_.find(index);
  return it == bank_.end() ? 0 : it->second;
}

void IndexedBank::PowerOn() {
  index_ = 0;
  bank_.clear();
}

}  // namespace kxsim
