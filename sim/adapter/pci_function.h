// A function on the adapter's internal bus as configuration transactions see it: a 4 KiB
// configuration space with the standard header. The identifier (0x00), class and revision (0x08)
// and header type (byte 2 of 0x0C) are read-only; the command register (0x04) keeps its low 16
// bits, of which bit 1 enables memory decoding; other registers keep what is written unless the
// function gives them a meaning.
#pragma once

#include "sim/adapter/register_file.h"

namespace kxsim {

class PciFunction {
 public:
  PciFunction(ULONG identifier, ULONG classRevision, UCHAR headerType);
  virtual ~PciFunction() = default;

  virtual ULONG ConfigRead(ULONG offset) const;
  virtual void ConfigWrite(ULONG offset, ULONG value);
  virtual void PowerOn();

  bool MemoryEnabled() const { return (config_.Read(0x04) & 0x2) != 0; }

 protected:
  RegisterFile config_;

 private:
  const ULONG identifier_;
  const ULONG classRevision_;
  const UCHAR headerType_;
};

}  // namespace kxsim
