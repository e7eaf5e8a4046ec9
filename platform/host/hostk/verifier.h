// End-of-test checks: what a driver must not leave behind.
#pragma once

#include <string>

namespace hostk {

// Pool blocks still allocated, kernel handles still open, system threads still running, and the
// calling thread's IRQL; empty when the kernel is clean.
std::string LeakReport();

// Puts the host kernel back to a clean state between tests: forgets leaked pool blocks, clears fault
// injection, the registry and trace captures, and restores virtual time.
void ResetForNextTest();

}  // namespace hostk
