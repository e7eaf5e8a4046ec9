// Colour conversion and chroma reduction at the AVX level: the 128-bit kernels in the VEX
// encoding.
#include <immintrin.h>

#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("avx")
#include "jpeg/color_x86.h"

using Kernel = ColorKernel<Simd128<JpegLevelAvx>>;

KX_SIMD_ENTRY VOID JpegConvertRowAvx(const UCHAR* source, ULONG bytesPerPixel, ULONG width,
                                     PUCHAR y, PUCHAR cb, PUCHAR cr) {
  Kernel::ConvertRow(source, bytesPerPixel, width, y, cb, cr);
}

KX_SIMD_ENTRY VOID JpegReduceRowH2V1Avx(const UCHAR* row, ULONG outputWidth, PUCHAR output) {
  Kernel::ReduceRowH2V1(row, outputWidth, output);
}

KX_SIMD_ENTRY VOID JpegReduceRowH2V2Avx(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                                        PUCHAR output) {
  Kernel::ReduceRowH2V2(top, bottom, outputWidth, output);
}

#pragma GCC pop_options
