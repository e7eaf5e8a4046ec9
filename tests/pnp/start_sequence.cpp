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

namespace {

constexpr kxsim::BusLocation kUp = {2, 0, 0, false};
constexpr kxsim::BusLocation kDown = {3, 2, 0, true};
constexpr kxsim::BusLocation kFar = {4, 0, 0, true};

}  // namespace

void EndpointLayout(StartSequence& s) {
  const ULONG rows[6][4] = {{0x500, 3, 0x0000, 0x0000}, {0x520, 6, 0x0200, 0x0240},
                            {0x540, 1, 0x1200, 0x1280}, {0x560, 6, 0x1280, 0x6000},
                            {0x580, 1, 0x2280, 0x7040}, {0x5E0, 3, 0x2300, 0x7100}};
  for (const auto& row : rows) s.SetLow(row[0], row[1], row[2]);
  for (const auto& row : rows) s.SetHigh(row[0], row[1], row[3]);
}

void FullInitialisation(StartSequence& s, ULONG identity, ULONG driverModel) {
  s.CW(0x3004, 6);
  s.CW(0x3010, 0x00100000);
  s.CW(0x3018, 0x00200000);
  s.CW(0x2004, 6);
  s.CW(0x2018, 0x00040100);
  s.CW(0x0004, 6);
  s.CW(0x0018, 0x00040201);
  s.RW(0x718, 0x00800000);
  s.RR(0x9F0);
  s.RW(0x9F0, 0);
  s.RR(0x38);
  s.RW(0x38, 0xFFE00000);
  EndpointLayout(s);
  s.RW(0x3C, 0xFFE07531);
  for (ULONG n = 1; n <= 4; n++) {
    s.RW(0x30C + 0x20 * n, 0x200);
    s.RW(0x3CC + 0x20 * n, 0x200);
  }
  s.PR(kUp, 0x08);
  s.PW(kUp, 0x04, 6);
  s.PW(kUp, 0x18, 0x00040302);
  s.PR(kUp, 0x18);
  s.PW(kUp, 0x20, 0x3FF01000);
  s.PR(kDown, 0x08);
  s.PW(kDown, 0x04, 6);
  s.PW(kDown, 0x18, 0x00040403);
  s.PR(kDown, 0x18);
  s.PW(kDown, 0x20, 0x3FF02000);
  s.PR(kUp, 0x18);
  s.PR(kFar, 0x08);
  s.PW(kFar, 0x04, 6);
  s.PR(kFar, 0x10);
  s.PW(kFar, 0x10, 0xFFFFFFF0);
  s.PModify(kFar, 0x10, 0x30000000, 0xFFFFFFF0);  // the low four bits as the chip answered
  s.PR(kFar, 0x10);
  s.PW(kFar, 0x18, 0x30200000);
  s.PR(kFar, 0x18);
  s.PW(kFar, 0x1C, 0x30400000);
  s.PR(kFar, 0x1C);
  s.MW(0x30000718, 0x00800000);
  const ULONG farRows[6][3] = {{0x500, 3, 0x0000}, {0x520, 6, 0x0200}, {0x540, 1, 0x1200},
                               {0x560, 6, 0x1280}, {0x580, 1, 0x2280}, {0x5E0, 3, 0x2300}};
  for (const auto& row : farRows) s.MSetLow(row[0], row[1], row[2]);
  s.MR(0x3000003C);
  s.MW(0x3000003C, 0xFFE07531);
  s.MW(0x30000320, 0x03006E01);
  s.MR(0x30000320);
  for (auto [index, data] : std::vector<std::pair<ULONG, ULONG>>{
           {0x32, 0x40}, {0x72, 0x40}, {0x31, 0x40}, {0x71, 0x40}, {0x30, 0x40}, {0x70, 0x40},
           {0x08, 0x04}, {0x09, 0x04}}) {
    s.MW(0x30000030, index);
    s.MW(0x30000034, data);
  }
  s.MW(0x30000340, 0x00107F02);
  s.MR(0x30000340);
  s.MW(0x30000360, 0x03006E03);
  s.MR(0x30000360);
  for (auto [index, data] : std::vector<std::pair<ULONG, ULONG>>{
           {0x52, 0x40}, {0x92, 0x40}, {0x51, 0x40}, {0x91, 0x40}, {0x50, 0x40}, {0x90, 0x40}}) {
    s.MW(0x30000030, index);
    s.MW(0x30000034, data);
  }
  s.MW(0x30000038, 0xFFE00000);
  s.MW(0x30000380, 0x00107F04);
  s.MR(0x30000380);
  s.MW(0x30000084, identity);
  s.MR(0x3000008C);
  for (ULONG n = 0; n < 4; n++) s.MW(0x30000180 + 0x20 * n, 0);
  for (ULONG n = 1; n <= 4; n++) {
    s.MW(0x30000000 + 0x30C + 0x20 * n, 0x200);
    s.MW(0x30000000 + 0x3CC + 0x20 * n, 0x200);
  }
  for (ULONG n = 0; n < 4; n++) {
    s.MW(0x30000194 + 0x20 * n, 0x00200000 + 0x80000 * n);
    s.MW(0x30000180 + 0x20 * n, 0xC3);
  }
  s.MModify(0x300006C0, 0x800, 0x800);
  s.MR(0x300006C0);
  if (driverModel == 8) s.ConfigWords(32);
}

void LegacyInitialisation(StartSequence& s, ULONG identity) {
  s.CW(0x3004, 6);
  s.CW(0x3018, 0x00200000);
  s.CW(0x300C, 0x20);
  s.CW(0x2004, 6);
  s.CW(0x2018, 0x00020100);
  s.CW(0x200C, 0x20);
  s.CW(0x0018, 0x00020201);
  s.CW(0x0004, 6);
  s.CW(0x000C, 0x20);
  for (ULONG reg : {0x320, 0x340, 0x360, 0x380, 0x3C}) s.RR(reg);
  s.RW(0x3C, 0xFFE06521);
  s.SetLow(0x520, 5, 0x0200);
  s.SetLow(0x540, 5, 0x0A00);
  s.SetLow(0x560, 5, 0x1200);
  s.SetLow(0x580, 5, 0x1A00);
  kxsim::BusLocation fixed = kxsim::ops::FixedLocation();
  s.PModify(fixed, 0x04, 6, 6);
  s.PW(fixed, 0x0C, 0x20);
  s.PW(fixed, 0x10, 0x30000000);
  s.PW(fixed, 0x18, 0x30200000);
  s.MW(0x30000320, 0x03000601);
  s.MW(0x30000340, 0x03000682);
  s.MW(0x30000360, 0x03000603);
  s.MW(0x30000380, 0x03000684);
  s.MW(0x30000084, identity);
  s.MW(0x30000038, 0xFFE00008);
  s.MW(0x30000194, 0x00200000);
  s.MW(0x30000180, 0xC3);
  s.MW(0x300001D4, 0x00300000);
  s.MW(0x300001C0, 0xC3);
  s.MModify(0x3000008C, 0x8, 0x8);
}

// What every extended start does after its initialisation.
void ExtendedFinish(StartSequence& s, bool legacy, ULONG driverModel) {
  s.RW(0x50, driverModel == 0 ? 0xB0 : 0xB8);
  if (!legacy) {
    s.RW(0x194, 0x30200000);
    s.RW(0x180, 0xC3);
  }
  s.RW(0x1B4, 0x30280000);
  s.RW(0x1A0, 0xC3);
  if (!legacy) {
    s.RW(0x1D4, 0x30300000);
    s.RW(0x1C0, 0xC3);
  }
  s.RW(0x1F4, 0x30380000);
  s.RW(0x1E0, 0xC3);
  s.MModify(0x3000008C, 0x8, 0x8);
  s.ConfigWords(2);  // words 200 and 201
  s.RR(0x260);
  s.MR(0x30000090);
  s.RR(0x90);
}

}  // namespace kxtest
