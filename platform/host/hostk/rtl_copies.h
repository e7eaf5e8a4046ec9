// The bytes driver code has copied with RtlCopyMemory and RtlMoveMemory since the process began
// (code compiled with KX_COUNTED_COPIES: the driver's directories; the encoder's copies are its
// own business and not counted).
#pragma once

#include <cstdint>

namespace hostk {

uint64_t CopiedBytes();

}  // namespace hostk
