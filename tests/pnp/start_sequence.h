// Expected start-up programming, spelt as the adapter's operation log records it, and the
// comparison of a log with it. A write that changes part of a register carries the mask of the
// bits the driver sets: the other bits must be those the read just before it answered.
// A run of configuration-memory accesses (the bridge's configuration registers 0x260-0x26C) is one
// step that names how many words it read.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/adapter/operation_log.h"

namespace kxtest {

struct ExpectedStep {
  kxsim::AdapterOperation op;
  ULONG mask = 0xFFFFFFFF;
  int configWords = -1;  // >= 0: a run of configuration-memory accesses reading this many words
};

class StartSequence {
 public:
  void RW(ULONG reg, ULONG value) { Add(kxsim::ops::RW(reg, value)); }
  void RR(ULONG reg) { Add(kxsim::ops::RR(reg)); }
  void CW(ULONG reg, ULONG value) { Add(kxsim::ops::CW(reg, value)); }
  void MW(ULONG address, ULONG value) { Add(kxsim::ops::MW(address, value)); }
  void MR(ULONG address) { Add(kxsim::ops::MR(address)); }
  void PW(kxsim::BusLocation at, ULONG offset, ULONG value) {
    Add(kxsim::ops::PW(at, offset, value));
  }
  void PR(kxsim::BusLocation at, ULONG offset) { Add(kxsim::ops::PR(at, offset)); }
  // Read, then write back with the bits of `mask` set to `value`.
  void RModify(ULONG reg, ULONG value, ULONG mask);
  void MModify(ULONG address, ULONG value, ULONG mask);
  void PModify(kxsim::BusLocation at, ULONG offset, ULONG value, ULONG mask);
  void SetLow(ULONG reg, ULONG a, ULONG b) { RModify(reg, a | b, 0xFFFF); }
  void SetHigh(ULONG reg, ULONG a, ULONG b) { RModify(reg, (a | b) << 16, 0xFFFF0000); }
  void MSetLow(ULONG offset, ULONG a, ULONG b) { MModify(0x30000000 + offset, a | b, 0xFFFF); }
  void ConfigWords(int words);

  const std::vector<ExpectedStep>& Steps() const { return steps_; }

 private:
  void Add(const kxsim::AdapterOperation& op, ULONG mask = 0xFFFFFFFF) {
    steps_.push_back({op, mask, -1});
  }
  std::vector<ExpectedStep> steps_;
};

// Whether a logged operation belongs to the configuration memory.
bool IsConfigMemoryAccess(const kxsim::AdapterOperation& op);

// Compares `actual` with `expected` step by step; the first difference fails with its place.
testing::AssertionResult MatchesSequence(const std::vector<kxsim::AdapterOperation>& actual,
                                         const StartSequence& expected);

// The required programming of each start path. `identity` is the value written to the far side's
// register 0x84: the adapter's product identifier plus one in the high half, its vendor below.
void EndpointLayout(StartSequence& s);
void FullInitialisation(StartSequence& s, ULONG identity, ULONG driverModel);
void LegacyInitialisation(StartSequence& s, ULONG identity);
// What every extended start does after its initialisation.
void ExtendedFinish(StartSequence& s, bool legacy, ULONG driverModel);

}  // namespace kxtest
