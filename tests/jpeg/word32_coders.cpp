// The vector block and MCU coders with the 32-bit bit word of the 32-bit Windows kernel, built for
// the host so that the tests can hold them to the portable coder too (the host's own levels use a
// 64-bit word). One table with BSR and one with LZCNT, as the kernel's levels below and at AVX2.
#include <immintrin.h>

#include "jpeg/stages.h"
#include "jpeg/tables.h"
#include "stage_levels.h"

#pragma GCC push_options
#pragma GCC target("ssse3,lzcnt")
#include "jpeg/huffman_x86.h"

namespace jpegtest {
namespace {

template <bool Lzcnt>
BOOLEAN CodeBlockWord32(JpegBitWriter* writer, const SHORT* coefficients, SHORT* lastDc,
                        const JpegHuffmanCodes* dcCodes, const JpegHuffmanCodes* acCodes) {
  return CodeBlock<ZigzagMaskShuffle128, Lzcnt, ULONG>(writer, coefficients, lastDc, dcCodes,
                                                       acCodes);
}

template <bool Lzcnt>
BOOLEAN CodeMcuWord32(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                      const JpegBlockCoding* plan, JpegFlushRoutine* flush, PVOID context) {
  return CodeMcu<ZigzagMaskShuffle128, Lzcnt, ULONG>(writer, coefficients, count, plan, flush,
                                                     context);
}

template <bool Lzcnt>
JpegStageRoutines Word32Table(const char* name) {
  JpegStageRoutines table = *JpegStageRoutinesAt(JpegLevelSsse3);
  table.Name = name;
  table.CodeBlock = CodeBlockWord32<Lzcnt>;
  table.CodeMcu = CodeMcuWord32<Lzcnt>;
  return table;
}

}  // namespace

std::vector<const JpegStageRoutines*> Word32CoderStages() {
  static const JpegStageRoutines bsr = Word32Table<false>("ssse3, 32-bit word");
  static const JpegStageRoutines lzcnt = Word32Table<true>("ssse3 and lzcnt, 32-bit word");
  std::vector<const JpegStageRoutines*> tables;
  if (JpegProcessorRunsLevel(JpegLevelSsse3)) tables.push_back(&bsr);
  if (JpegProcessorRunsLevel(JpegLevelAvx2)) tables.push_back(&lzcnt);  // AVX2 brings LZCNT
  return tables;
}

}  // namespace jpegtest

#pragma GCC pop_options
