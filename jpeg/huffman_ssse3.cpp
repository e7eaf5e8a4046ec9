// Huffman coding of a block at the SSSE3 level: huffman_x86.h with the non-zero flags shuffled
// into zig-zag order by pshufb. SSE4.1 has nothing to add to it.
#include <immintrin.h>

#include "jpeg/stages.h"
#include "jpeg/tables.h"

#pragma GCC push_options
#pragma GCC target("ssse3")
#include "jpeg/huffman_x86.h"

KX_SIMD_ENTRY BOOLEAN JpegCodeBlockSsse3(JpegBitWriter* writer, const SHORT* coefficients,
                                         SHORT* lastDc, const JpegHuffmanCodes* dcCodes,
                                         const JpegHuffmanCodes* acCodes) {
  return CodeBlock<ZigzagMaskShuffle128, false>(writer, coefficients, lastDc, dcCodes, acCodes);
}

KX_SIMD_ENTRY BOOLEAN JpegCodeMcuSsse3(JpegBitWriter* writer, const SHORT* coefficients,
                                       ULONG count, const JpegBlockCoding* plan,
                                       JpegFlushRoutine* flush, PVOID context) {
  return CodeMcu<ZigzagMaskShuffle128, false>(writer, coefficients, count, plan, flush, context);
}

#pragma GCC pop_options
