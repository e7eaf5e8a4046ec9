// Chroma reduction at the SSSE3 level: the byte pairs summed by pmaddubsw. The conversion has
// nothing to gain from SSSE3 and stays the SSE2 one.
#include <immintrin.h>

#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("ssse3")
#include "jpeg/color_x86.h"

using Kernel = ColorKernel<Simd128<JpegLevelSsse3>>;

KX_SIMD_ENTRY VOID JpegReduceRowH2V1Ssse3(const UCHAR* row, ULONG outputWidth, PUCHAR output) {
  Kernel::ReduceRowH2V1(row, outputWidth, output);
}

KX_SIMD_ENTRY VOID JpegReduceRowH2V2Ssse3(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                                          PUCHAR output) {
  Kernel::ReduceRowH2V2(top, bottom, outputWidth, output);
}

#pragma GCC pop_options
