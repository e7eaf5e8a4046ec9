// The forward DCT and quantiser at the SSE4.1 level: dct_x86.h on one block per 128-bit vector. The
// reciprocals are clamped with pminuw.
#include <immintrin.h>

#include "jpeg/dct_constants.h"
#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("sse4.1,sse4.2")
#include "jpeg/dct_x86.h"

KX_SIMD_ENTRY VOID JpegTransformBlockSse41(const UCHAR* samples, ULONG pitch,
                                           const USHORT* reciprocals, SHORT* coefficients) {
  TransformBlock128<JpegLevelSse41>(samples, pitch, reciprocals, coefficients);
}

KX_SIMD_ENTRY VOID JpegTransformBlockPairSse41(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                               const USHORT* reciprocals, SHORT* firstCoefficients,
                                               SHORT* secondCoefficients) {
  TransformBlock128<JpegLevelSse41>(first, pitch, reciprocals, firstCoefficients);
  TransformBlock128<JpegLevelSse41>(second, pitch, reciprocals, secondCoefficients);
}

#pragma GCC pop_options
