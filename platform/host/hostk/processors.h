// The processor count the host kernel reports: the machine's (at most 32, the bits of an affinity
// mask on 32-bit Windows), or one a test or a benchmark chooses.
#pragma once

#include "host/ntdef.h"

namespace hostk {

// 1..32 from now on; 0 goes back to the machine's count.
void SetActiveProcessorCount(ULONG count);

}  // namespace hostk
