// The forward DCT and quantiser at the SSE2 level: dct_x86.h on one block per 128-bit vector.
#include <immintrin.h>

#include "jpeg/dct_constants.h"
#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("sse2")
#include "jpeg/dct_x86.h"

KX_SIMD_ENTRY VOID JpegTransformBlockSse2(const UCHAR* samples, ULONG pitch,
                                          const USHORT* reciprocals, SHORT* coefficients) {
  TransformBlock128<JpegLevelSse2>(samples, pitch, reciprocals, coefficients);
}

KX_SIMD_ENTRY VOID JpegTransformBlockPairSse2(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                              const USHORT* reciprocals, SHORT* firstCoefficients,
                                              SHORT* secondCoefficients) {
  TransformBlock128<JpegLevelSse2>(first, pitch, reciprocals, firstCoefficients);
  TransformBlock128<JpegLevelSse2>(second, pitch, reciprocals, secondCoefficients);
}

#pragma GCC pop_options
