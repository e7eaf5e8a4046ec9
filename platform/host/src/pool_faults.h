// Fault injection inside the pool: the one question the allocator asks of it.
#pragma once

#include "host/ntdef.h"

namespace hostk {

// Asked once for every allocation attempt, in attempt order; true when an injected fault makes this
// attempt fail (and then counted as failed).
bool PoolInjectedFailure(ULONG tag, SIZE_T size);

}  // namespace hostk
