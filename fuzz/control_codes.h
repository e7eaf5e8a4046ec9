// The control codes the fuzz targets favour, by number only: the adapter's codes are served by
// control/ as they land, and the targets must fuzz whatever serves them without knowing how.
#pragma once

#include <cstdint>

namespace kxfuzz {

// The adapter's codes, the four retired ones last.
constexpr uint32_t kAdapterCodes[] = {
    0x222194, 0x2221A4, 0x2224B4, 0x22260C, 0x222610, 0x222A80, 0x222A84, 0x222A88,
    0x222A8C, 0x222A90, 0x222A94, 0x222A98, 0x222A9C, 0x222AA0, 0x222AA7, 0x222AA8,
    0x222AAC, 0x222AB0, 0x222AB8, 0x222144, 0x22214C, 0x2221A0, 0x222808,
};

// A display child's codes.
constexpr uint32_t kChildCodes[] = {0x222B00, 0x222B04, 0x222B08, 0x222B0F, 0x222B10, 0x222B14};

}  // namespace kxfuzz
