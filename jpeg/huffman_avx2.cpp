// Huffman coding of a block at the AVX2 level: huffman_x86.h with the coefficients saturated to
// bytes in 256-bit vectors and put into zig-zag order by byte shuffles, which gives the non-zero
// mask and the small values in coding order at once.
#include <immintrin.h>

#include "jpeg/stages.h"
#include "jpeg/tables.h"

#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,lzcnt")
#include "jpeg/huffman_x86.h"

namespace {

// The pshufb controls that gather the coefficients, saturated to bytes, into zig-zag order. Once
// packed to bytes, one vector holds rows (0, 2 | 1, 3) and the other rows
// (4, 6 | 5, 7), each half of 16 bytes two rows of 8; with their halves also swapped, every output
// half can take each of the four source halves by an in-half shuffle. Control [o][s] builds output
// o (zig-zag positions 32 o .. 32 o + 31) from source s: the packed rows 0-3, the same with halves
// swapped, rows 4-7, the same swapped. 0x80 takes nothing.
struct ZigzagShuffles {
  UCHAR Control[2][4][32];
};

constexpr ZigzagShuffles MakeZigzagShuffles() {
  ZigzagShuffles table{};
  for (ULONG o = 0; o < 2; o++) {
    for (ULONG s = 0; s < 4; s++) {
      for (ULONG i = 0; i < 32; i++) {
        ULONG n = JpegZigzagToNatural[32 * o + i];
        ULONG row = n / 8, column = n % 8;
        ULONG sourceHalf = (row / 4) * 2 + row % 2;  // halves: (0,2) (1,3) (4,6) (5,7)
        ULONG outputHalf = i / 16;
        BOOLEAN swapped = (s % 2) != 0;
        BOOLEAN fromThisSource =
            (sourceHalf / 2 == s / 2) && ((sourceHalf % 2 == outputHalf) != swapped);
        table.Control[o][s][i] =
            fromThisSource ? (UCHAR)(((row / 2) % 2) * 8 + column) : (UCHAR)0x80;
      }
    }
  }
  return table;
}

alignas(32) constexpr ZigzagShuffles Shuffles = MakeZigzagShuffles();

struct ZigzagMask256 {
  static KX_SIMD_INLINE BOOLEAN AcZero(const SHORT* coefficients) {
    const __m256i* rows = (const __m256i*)coefficients;
    __m256i notDc = _mm256_insert_epi16(_mm256_set1_epi16(-1), 0, 0);
    __m256i any = _mm256_or_si256(_mm256_and_si256(_mm256_loadu_si256(rows), notDc),
                                  _mm256_loadu_si256(rows + 1));
    any = _mm256_or_si256(any, _mm256_or_si256(_mm256_loadu_si256(rows + 2),
                                               _mm256_loadu_si256(rows + 3)));
    return _mm256_testz_si256(any, any) != 0;
  }
  static constexpr bool ZigzagBytes = true;
  // Two rows each of 16 coefficients, saturated to bytes: non-zero stays non-zero.
  static KX_SIMD_INLINE __m256i Packed(const SHORT* coefficients) {
    return _mm256_packs_epi16(_mm256_loadu_si256((const __m256i*)coefficients),
                              _mm256_loadu_si256((const __m256i*)(coefficients + 16)));
  }
  static KX_SIMD_INLINE __m256i Gather(const __m256i* sources, ULONG o) {
    __m256i z = _mm256_setzero_si256();
    for (ULONG s = 0; s < 4; s++) {
      __m256i control = _mm256_load_si256((const __m256i*)Shuffles.Control[o][s]);
      z = _mm256_or_si256(z, _mm256_shuffle_epi8(sources[s], control));
    }
    return z;
  }
  static KX_SIMD_INLINE ULONG NonZero(__m256i bytes) {
    return ~(ULONG)_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, _mm256_setzero_si256()));
  }
  // The saturated coefficients in zig-zag order into `bytes`, and the mask of the non-zero ones.
  static KX_SIMD_INLINE ULONGLONG ZigzagNonZero(const SHORT* coefficients, signed char* bytes) {
    __m256i low = Packed(coefficients), high = Packed(coefficients + 32);
    __m256i sources[4] = {low, _mm256_permute2x128_si256(low, low, 1), high,
                          _mm256_permute2x128_si256(high, high, 1)};
    __m256i first = Gather(sources, 0), second = Gather(sources, 1);
    _mm256_store_si256((__m256i*)bytes, first);
    _mm256_store_si256((__m256i*)(bytes + 32), second);
    return NonZero(first) | ((ULONGLONG)NonZero(second) << 32);
  }
};

}  // namespace

KX_SIMD_ENTRY BOOLEAN JpegCodeBlockAvx2(JpegBitWriter* writer, const SHORT* coefficients,
                                        SHORT* lastDc, const JpegHuffmanCodes* dcCodes,
                                        const JpegHuffmanCodes* acCodes) {
  return CodeBlock<ZigzagMask256, true>(writer, coefficients, lastDc, dcCodes, acCodes);
}

KX_SIMD_ENTRY BOOLEAN JpegCodeMcuAvx2(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                                      const JpegBlockCoding* plan, JpegFlushRoutine* flush,
                                      PVOID context) {
  return CodeMcu<ZigzagMask256, true>(writer, coefficients, count, plan, flush, context);
}

#pragma GCC pop_options
