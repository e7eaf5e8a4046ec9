// The forward DCT and quantiser at the SSSE3 level: dct_x86.h on one block per 128-bit vector. The
// quantiser rounds with pmulhrsw.
#include <immintrin.h>

#include "jpeg/dct_constants.h"
#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("ssse3")
#include "jpeg/dct_x86.h"

KX_SIMD_ENTRY VOID JpegTransformBlockSsse3(const UCHAR* samples, ULONG pitch,
                                           const USHORT* reciprocals, SHORT* coefficients) {
  TransformBlock128<JpegLevelSsse3>(samples, pitch, reciprocals, coefficients);
}

KX_SIMD_ENTRY VOID JpegTransformBlockPairSsse3(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                               const USHORT* reciprocals, SHORT* firstCoefficients,
                                               SHORT* secondCoefficients) {
  TransformBlock128<JpegLevelSsse3>(first, pitch, reciprocals, firstCoefficients);
  TransformBlock128<JpegLevelSsse3>(second, pitch, reciprocals, secondCoefficients);
}

#pragma GCC pop_options
