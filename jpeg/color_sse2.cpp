// Colour conversion and chroma reduction at the SSE2 level: color_x86.h on 128-bit vectors.
#include <immintrin.h>

#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("sse2")
#include "jpeg/color_x86.h"

using Kernel = ColorKernel<Simd128<JpegLevelSse2>>;

KX_SIMD_ENTRY VOID JpegConvertRowSse2(const UCHAR* source, ULONG bytesPerPixel, ULONG width,
                                      PUCHAR y, PUCHAR cb, PUCHAR cr) {
  Kernel::ConvertRow(source, bytesPerPixel, width, y, cb, cr);
}

KX_SIMD_ENTRY VOID JpegReduceRowH2V1Sse2(const UCHAR* row, ULONG outputWidth, PUCHAR output) {
  Kernel::ReduceRowH2V1(row, outputWidth, output);
}

KX_SIMD_ENTRY VOID JpegReduceRowH2V2Sse2(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                                         PUCHAR output) {
  Kernel::ReduceRowH2V2(top, bottom, outputWidth, output);
}

#pragma GCC pop_options
