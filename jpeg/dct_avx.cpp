// The forward DCT and quantiser at the AVX level: dct_x86.h on one block per 128-bit vector. The
// SSE4.1 kernel in the VEX encoding.
#include <immintrin.h>

#include "jpeg/dct_constants.h"
#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("avx")
#include "jpeg/dct_x86.h"

KX_SIMD_ENTRY VOID JpegTransformBlockAvx(const UCHAR* samples, ULONG pitch,
                                         const USHORT* reciprocals, SHORT* coefficients) {
  TransformBlock128<JpegLevelAvx>(samples, pitch, reciprocals, coefficients);
}

KX_SIMD_ENTRY VOID JpegTransformBlockPairAvx(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                             const USHORT* reciprocals, SHORT* firstCoefficients,
                                             SHORT* secondCoefficients) {
  TransformBlock128<JpegLevelAvx>(first, pitch, reciprocals, firstCoefficients);
  TransformBlock128<JpegLevelAvx>(second, pitch, reciprocals, secondCoefficients);
}

#pragma GCC pop_options
