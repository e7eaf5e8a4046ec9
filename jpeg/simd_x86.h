// The vector operations the x86 kernels are written in: one record of 128-bit operations per
// level, and one of 256-bit operations that works as two 128-bit halves side by side.
//
// Rules:
// - A kernel file includes the platform and encoder headers first, then sets its level with
//   `#pragma GCC target` (the same as the target attribute on every function that follows), then
//   includes this header and its stage's body. Everything here has internal linkage, so that no
//   function compiled for one level can stand in, at link time, for the same function of another.
// - The 256-bit record keeps the 128-bit meaning of every operation in each half: unpacks, packs
//   and shuffles never cross halves, so one body serves both widths.
// - Entry points are marked KX_SIMD_ENTRY: the 32-bit Windows kernel guarantees only 4-byte stack
//   alignment, so they realign the stack for the vector spills.
#pragma once

#include <immintrin.h>

#include "jpeg/stages.h"

#define KX_SIMD_INLINE inline __attribute__((always_inline))
#if defined(__i386__)
#define KX_SIMD_ENTRY __attribute__((force_align_arg_pointer))
#else
#define KX_SIMD_ENTRY
#endif

namespace {

template <ULONG Level>
struct Simd128 {
  using Vec = __m128i;
  static constexpr ULONG Lanes = 1;  // 128-bit halves per vector

  static KX_SIMD_INLINE Vec Zero() { return _mm_setzero_si128(); }
  static KX_SIMD_INLINE Vec Set16(SHORT value) { return _mm_set1_epi16(value); }
  static KX_SIMD_INLINE Vec Set32(LONG value) { return _mm_set1_epi32(value); }
  static KX_SIMD_INLINE Vec Load(const VOID* p) { return _mm_loadu_si128((const Vec*)p); }
  // 16 aligned bytes of a constant table, the same in every half.
  static KX_SIMD_INLINE Vec LoadConstant(const VOID* p) { return _mm_load_si128((const Vec*)p); }
  static KX_SIMD_INLINE VOID Store(VOID* p, Vec v) { _mm_storeu_si128((Vec*)p, v); }

  static KX_SIMD_INLINE Vec Add16(Vec a, Vec b) { return _mm_add_epi16(a, b); }
  static KX_SIMD_INLINE Vec Sub16(Vec a, Vec b) { return _mm_sub_epi16(a, b); }
  static KX_SIMD_INLINE Vec Add32(Vec a, Vec b) { return _mm_add_epi32(a, b); }
  static KX_SIMD_INLINE Vec Sub32(Vec a, Vec b) { return _mm_sub_epi32(a, b); }
  static KX_SIMD_INLINE Vec And(Vec a, Vec b) { return _mm_and_si128(a, b); }
  static KX_SIMD_INLINE Vec Or(Vec a, Vec b) { return _mm_or_si128(a, b); }
  static KX_SIMD_INLINE Vec MulAdd16(Vec a, Vec b) { return _mm_madd_epi16(a, b); }
  static KX_SIMD_INLINE Vec MulLow16(Vec a, Vec b) { return _mm_mullo_epi16(a, b); }
  static KX_SIMD_INLINE Vec Equal8(Vec a, Vec b) { return _mm_cmpeq_epi8(a, b); }
  static KX_SIMD_INLINE Vec Equal16(Vec a, Vec b) { return _mm_cmpeq_epi16(a, b); }
  static KX_SIMD_INLINE ULONG MoveMask8(Vec a) { return (ULONG)_mm_movemask_epi8(a); }
  static KX_SIMD_INLINE Vec Xor(Vec a, Vec b) { return _mm_xor_si128(a, b); }
  // The first 32-bit lane in every lane.
  static KX_SIMD_INLINE Vec SpreadFirst32(Vec a) { return _mm_shuffle_epi32(a, 0); }
  // Whether a & b is all 0 bits.
  static KX_SIMD_INLINE BOOLEAN TestZero(Vec a, Vec b) {
    if constexpr (Level >= JpegLevelSse41) {
      return _mm_testz_si128(a, b) != 0;
    } else {
      return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(a, b), _mm_setzero_si128())) == 0xFFFF;
    }
  }
  // Byte 0 of each half in every byte of that half.
  static KX_SIMD_INLINE Vec SpreadFirstByte(Vec a) {
    if constexpr (Level >= JpegLevelSsse3) {
      return _mm_shuffle_epi8(a, _mm_setzero_si128());
    } else {
      return _mm_shuffle_epi32(_mm_shufflelo_epi16(_mm_unpacklo_epi8(a, a), 0), 0);
    }
  }
  // Byte 0 of half `half`.
  static KX_SIMD_INLINE ULONG FirstByte(Vec a, ULONG) { return (ULONG)_mm_cvtsi128_si32(a) & 0xFF; }
  static KX_SIMD_INLINE Vec GreaterThan32(Vec a, Vec b) { return _mm_cmpgt_epi32(a, b); }
  template <int N> static KX_SIMD_INLINE Vec ShiftRight16(Vec a) { return _mm_srli_epi16(a, N); }
  template <int N> static KX_SIMD_INLINE Vec ShiftLeft32(Vec a) { return _mm_slli_epi32(a, N); }
  template <int N> static KX_SIMD_INLINE Vec ShiftRight32(Vec a) { return _mm_srli_epi32(a, N); }
  template <int N> static KX_SIMD_INLINE Vec ShiftArith32(Vec a) { return _mm_srai_epi32(a, N); }
  template <int N> static KX_SIMD_INLINE Vec Shuffle32(Vec a) { return _mm_shuffle_epi32(a, N); }
  static KX_SIMD_INLINE Vec PackSigned32(Vec a, Vec b) { return _mm_packs_epi32(a, b); }
  static KX_SIMD_INLINE Vec PackUnsigned16(Vec a, Vec b) { return _mm_packus_epi16(a, b); }
  // Packs as PackSigned32 then PackUnsigned16 leave them, in order again (nothing to do here).
  static KX_SIMD_INLINE Vec OrderPacked(Vec a) { return a; }
  // Packs as PackUnsigned16 leaves them, in order again (nothing to do in 128 bits).
  static KX_SIMD_INLINE Vec OrderPairs(Vec a) { return a; }
  // Sums of horizontal byte pairs as 16-bit lanes.
  static KX_SIMD_INLINE Vec PairSums8(Vec a) {
    if constexpr (Level >= JpegLevelSsse3) {
      return _mm_maddubs_epi16(a, _mm_set1_epi8(1));
    } else {
      return _mm_add_epi16(_mm_and_si128(a, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(a, 8));
    }
  }
  static KX_SIMD_INLINE Vec UnpackLow8(Vec a, Vec b) { return _mm_unpacklo_epi8(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh8(Vec a, Vec b) { return _mm_unpackhi_epi8(a, b); }
  static KX_SIMD_INLINE Vec UnpackLow16(Vec a, Vec b) { return _mm_unpacklo_epi16(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh16(Vec a, Vec b) { return _mm_unpackhi_epi16(a, b); }
  static KX_SIMD_INLINE Vec UnpackLow32(Vec a, Vec b) { return _mm_unpacklo_epi32(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh32(Vec a, Vec b) { return _mm_unpackhi_epi32(a, b); }
  static KX_SIMD_INLINE Vec UnpackLow64(Vec a, Vec b) { return _mm_unpacklo_epi64(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh64(Vec a, Vec b) { return _mm_unpackhi_epi64(a, b); }

  // The low 16 bits of each 32-bit lane from `low`, the high 16 bits from `high`.
  static KX_SIMD_INLINE Vec BlendHigh16(Vec low, Vec high) {
    if constexpr (Level >= JpegLevelSse41) {
      return _mm_blend_epi16(low, high, 0xAA);
    } else {
      return _mm_or_si128(_mm_and_si128(low, _mm_set1_epi32(0xFFFF)),
                          _mm_andnot_si128(_mm_set1_epi32(0xFFFF), high));
    }
  }
  // Unsigned minimum with 32767 (SSE4.1 has the instruction; below, 32768 is the only value above).
  static KX_SIMD_INLINE Vec ClampTo32767(Vec a) {
    if constexpr (Level >= JpegLevelSse41) {
      return _mm_min_epu16(a, _mm_set1_epi16(0x7FFF));
    } else {
      return _mm_sub_epi16(a, _mm_srli_epi16(a, 15));
    }
  }
  // (a * b + 2^14) >> 15 on signed 16-bit lanes, that is a * b / 2^15 rounded half up.
  static KX_SIMD_INLINE Vec MulRoundHalfUp15(Vec a, Vec b) {
    if constexpr (Level >= JpegLevelSsse3) {
      return _mm_mulhrs_epi16(a, b);
    } else {
      // 2 * high + floor((low + 2^14) / 2^15), the last being ((low >> 14) + 1) >> 1.
      Vec high = _mm_mulhi_epi16(a, b);
      Vec low = _mm_mullo_epi16(a, b);
      Vec carry = _mm_avg_epu16(_mm_srli_epi16(low, 14), _mm_setzero_si128());
      return _mm_add_epi16(_mm_add_epi16(high, high), carry);
    }
  }
};

}  // namespace
