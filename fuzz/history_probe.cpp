// Drives the campaign history (input_history.h) end to end: N one-byte inputs 0..N-1, then a bug
// check, which must leave the last of them (at most thirty-two) in KX_FUZZ_HISTORY, oldest first.
//   history_probe N
#include <cstdint>
#include <cstdlib>

#include "host/hostk/bugcheck.h"
#include "input_history.h"

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 0;
  kxfuzz::InstallInputHistory();
  for (int i = 0; i < count; i++) {
    uint8_t byte = (uint8_t)i;
    kxfuzz::RememberInput(&byte, 1);
  }
  hostk::BugCheck(hostk::kManuallyInitiatedCrash, "history probe");
}
