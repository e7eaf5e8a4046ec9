#include "start_sequence.h"

#include <sstream>

namespace kxtest {

void StartSequence::RModify(ULONG reg, ULONG value, ULONG mask) {
  RR(reg);
  Add(kxsim::ops::RW(reg, value), mask);
}

void StartSequence::MModify(ULONG address, ULONG value, ULONG mask) {
  MR(address);
  Add(kxsim::ops::MW(address, value), mask);
}

void StartSequence::PModify(kxsim::BusLocation at, ULONG offset, ULONG value, ULONG mask) {
  PR(at, offset);
  Add(kxsim::ops::PW(at, offset, value), mask);
}

void StartSequence::ConfigWords(int words) {
  ExpectedStep step;
  step.configWords = words;
  steps_.push_back(step);
}

bool IsConfigMemoryAccess(const kxsim::AdapterOperation& op) {
  return op.space == kxsim::AdapterSpace::BridgeConfig && op.address >= 0x260 &&
         op.address <= 0x26C;
}

namespace {

std::string Around(const std::vector<kxsim::AdapterOperation>& actual, size_t at) {
  std::ostringstream text;
  size_t from = at >= 3 ? at - 3 : 0;
  for (size_t i = from; i < actual.size() && i < at + 3; i++) {
    text << (i == at ? " > " : "   ") << i << ": " << actual[i].ToString(true) << "\n";
  }
  return text.str();
}

// A write whose unmasked bits must repeat the read just before it.
bool KeepsRest(const std::vector<kxsim::AdapterOperation>& actual, size_t i, ULONG mask) {
  if (mask == 0xFFFFFFFF) return true;
  if (i == 0 || actual[i - 1].write) return false;
  return (actual[i].value & ~mask) == (actual[i - 1].value & ~mask);
}

}  // namespace

testing::AssertionResult MatchesSequence(const std::vector<kxsim::AdapterOperation>& actual,
                                         const StartSequence& expected) {
  size_t i = 0;
  size_t stepIndex = 0;
  for (const ExpectedStep& step : expected.Steps()) {
    if (step.configWords >= 0) {
      int words = 0;
      size_t start = i;
      for (; i < actual.size() && IsConfigMemoryAccess(actual[i]); i++) {
        if (!actual[i].write && actual[i].address == 0x264) words++;
      }
      if (i == start || words != step.configWords) {
        return testing::AssertionFailure()
               << "step " << stepIndex << ": expected configuration memory reading "
               << step.configWords << " words, found " << words << " at " << start << "\n"
               << Around(actual, start);
      }
    } else {
      if (i >= actual.size()) {
        return testing::AssertionFailure()
               << "step " << stepIndex << ": expected " << step.op.ToString() << ", log ended";
      }
      kxsim::AdapterOperation want = step.op;
      want.value = (step.op.value & step.mask) | (actual[i].value & ~step.mask);
      if (!(want == actual[i]) || !KeepsRest(actual, i, step.mask)) {
        return testing::AssertionFailure() << "step " << stepIndex << ": expected "
                                           << step.op.ToString() << " (mask 0x" << std::hex
                                           << step.mask << ")\n" << Around(actual, i);
      }
      i++;
    }
    stepIndex++;
  }
  if (i != actual.size()) {
    return testing::AssertionFailure() << "more operations than expected:\n" << Around(actual, i);
  }
  return testing::AssertionSuccess();
}

}  // namespace kxtest
