// Huffman coding of a block at the AVX level: the SSSE3 coder in the VEX encoding.
#include <immintrin.h>

#include "jpeg/stages.h"
#include "jpeg/tables.h"

#pragma GCC push_options
#pragma GCC target("avx")
#include "jpeg/huffman_x86.h"

KX_SIMD_ENTRY BOOLEAN JpegCodeBlockAvx(JpegBitWriter* writer, const SHORT* coefficients,
                                       SHORT* lastDc, const JpegHuffmanCodes* dcCodes,
                                       const JpegHuffmanCodes* acCodes) {
  return CodeBlock<ZigzagMaskShuffle128, false>(writer, coefficients, lastDc, dcCodes, acCodes);
}

KX_SIMD_ENTRY BOOLEAN JpegCodeMcuAvx(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                                     const JpegBlockCoding* plan, JpegFlushRoutine* flush,
                                     PVOID context) {
  return CodeMcu<ZigzagMaskShuffle128, false>(writer, coefficients, count, plan, flush, context);
}

#pragma GCC pop_options
