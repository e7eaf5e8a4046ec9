// Huffman coding of a block at the SSE2 level: huffman_x86.h with the non-zero mask from 128-bit
// compares put into zig-zag order through a table.
#include <immintrin.h>

#include "jpeg/stages.h"
#include "jpeg/tables.h"

#pragma GCC push_options
#pragma GCC target("sse2")
#include "jpeg/huffman_x86.h"

KX_SIMD_ENTRY BOOLEAN JpegCodeBlockSse2(JpegBitWriter* writer, const SHORT* coefficients,
                                        SHORT* lastDc, const JpegHuffmanCodes* dcCodes,
                                        const JpegHuffmanCodes* acCodes) {
  return CodeBlock<ZigzagMaskTable128, false>(writer, coefficients, lastDc, dcCodes, acCodes);
}

KX_SIMD_ENTRY BOOLEAN JpegCodeMcuSse2(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                                      const JpegBlockCoding* plan, JpegFlushRoutine* flush,
                                      PVOID context) {
  return CodeMcu<ZigzagMaskTable128, false>(writer, coefficients, count, plan, flush, context);
}

#pragma GCC pop_options
