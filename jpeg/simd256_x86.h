// The 256-bit vector operations of the AVX2 kernels: two 128-bit halves side by side, each with the
// meaning of the Simd128 operation of simd_x86.h. Included only by AVX2 kernel files.
#pragma once

#include "jpeg/simd_x86.h"

namespace {

// Two 128-bit halves side by side: the operations of Simd128 on each half (AVX2).
struct Simd256 {
  using Vec = __m256i;
  static constexpr ULONG Lanes = 2;

  static KX_SIMD_INLINE Vec Zero() { return _mm256_setzero_si256(); }
  static KX_SIMD_INLINE Vec Set16(SHORT value) { return _mm256_set1_epi16(value); }
  static KX_SIMD_INLINE Vec Set32(LONG value) { return _mm256_set1_epi32(value); }
  static KX_SIMD_INLINE Vec Load(const VOID* p) { return _mm256_loadu_si256((const Vec*)p); }
  static KX_SIMD_INLINE VOID Store(VOID* p, Vec v) { _mm256_storeu_si256((Vec*)p, v); }
  // 32 aligned bytes of a constant table that holds each 128-bit constant twice.
  static KX_SIMD_INLINE Vec LoadConstant(const VOID* p) { return _mm256_load_si256((const Vec*)p); }

  static KX_SIMD_INLINE Vec Add16(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
  static KX_SIMD_INLINE Vec Sub16(Vec a, Vec b) { return _mm256_sub_epi16(a, b); }
  static KX_SIMD_INLINE Vec Add32(Vec a, Vec b) { return _mm256_add_epi32(a, b); }
  static KX_SIMD_INLINE Vec Sub32(Vec a, Vec b) { return _mm256_sub_epi32(a, b); }
  static KX_SIMD_INLINE Vec And(Vec a, Vec b) { return _mm256_and_si256(a, b); }
  static KX_SIMD_INLINE Vec Or(Vec a, Vec b) { return _mm256_or_si256(a, b); }
  static KX_SIMD_INLINE Vec MulAdd16(Vec a, Vec b) { return _mm256_madd_epi16(a, b); }
  static KX_SIMD_INLINE Vec MulLow16(Vec a, Vec b) { return _mm256_mullo_epi16(a, b); }
  static KX_SIMD_INLINE Vec Equal8(Vec a, Vec b) { return _mm256_cmpeq_epi8(a, b); }
  static KX_SIMD_INLINE Vec Equal16(Vec a, Vec b) { return _mm256_cmpeq_epi16(a, b); }
  static KX_SIMD_INLINE ULONG MoveMask8(Vec a) { return (ULONG)_mm256_movemask_epi8(a); }
  static KX_SIMD_INLINE Vec Xor(Vec a, Vec b) { return _mm256_xor_si256(a, b); }
  static KX_SIMD_INLINE Vec SpreadFirst32(Vec a) {
    return _mm256_broadcastd_epi32(_mm256_castsi256_si128(a));
  }
  static KX_SIMD_INLINE BOOLEAN TestZero(Vec a, Vec b) { return _mm256_testz_si256(a, b) != 0; }
  static KX_SIMD_INLINE Vec SpreadFirstByte(Vec a) {
    return _mm256_shuffle_epi8(a, _mm256_setzero_si256());
  }
  static KX_SIMD_INLINE ULONG FirstByte(Vec a, ULONG half) {
    return half == 0 ? (ULONG)_mm256_cvtsi256_si32(a) & 0xFF
                     : (ULONG)_mm256_extract_epi8(a, 16) & 0xFF;
  }
  static KX_SIMD_INLINE Vec GreaterThan32(Vec a, Vec b) { return _mm256_cmpgt_epi32(a, b); }
  template <int N> static KX_SIMD_INLINE Vec ShiftArith32(Vec a) { return _mm256_srai_epi32(a, N); }
  template <int N> static KX_SIMD_INLINE Vec Shuffle32(Vec a) { return _mm256_shuffle_epi32(a, N); }
  static KX_SIMD_INLINE Vec PackSigned32(Vec a, Vec b) { return _mm256_packs_epi32(a, b); }
  static KX_SIMD_INLINE Vec PackUnsigned16(Vec a, Vec b) { return _mm256_packus_epi16(a, b); }
  // The 32-bit groups of a PackSigned32 of a, b then PackUnsigned16 of the results leave the
  // halves as (a0 b0 c0 d0 | a1 b1 c1 d1) where each input held (x0 | x1): back to a b c d order.
  static KX_SIMD_INLINE Vec OrderPacked(Vec a) {
    return _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  }
  // A PackUnsigned16 of a, b leaves (a0 b0 | a1 b1) in 64-bit groups: back to a b order.
  static KX_SIMD_INLINE Vec OrderPairs(Vec a) { return _mm256_permute4x64_epi64(a, 0xD8); }
  static KX_SIMD_INLINE Vec PairSums8(Vec a) {
    return _mm256_maddubs_epi16(a, _mm256_set1_epi8(1));
  }
  template <int N> static KX_SIMD_INLINE Vec ShiftLeft32(Vec a) { return _mm256_slli_epi32(a, N); }
  template <int N> static KX_SIMD_INLINE Vec ShiftRight32(Vec a) { return _mm256_srli_epi32(a, N); }
  template <int N> static KX_SIMD_INLINE Vec ShiftRight16(Vec a) { return _mm256_srli_epi16(a, N); }
  static KX_SIMD_INLINE Vec UnpackLow8(Vec a, Vec b) { return _mm256_unpacklo_epi8(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh8(Vec a, Vec b) { return _mm256_unpackhi_epi8(a, b); }
  static KX_SIMD_INLINE Vec UnpackLow16(Vec a, Vec b) { return _mm256_unpacklo_epi16(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh16(Vec a, Vec b) { return _mm256_unpackhi_epi16(a, b); }
  static KX_SIMD_INLINE Vec UnpackLow32(Vec a, Vec b) { return _mm256_unpacklo_epi32(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh32(Vec a, Vec b) { return _mm256_unpackhi_epi32(a, b); }
  static KX_SIMD_INLINE Vec UnpackLow64(Vec a, Vec b) { return _mm256_unpacklo_epi64(a, b); }
  static KX_SIMD_INLINE Vec UnpackHigh64(Vec a, Vec b) { return _mm256_unpackhi_epi64(a, b); }
  static KX_SIMD_INLINE Vec BlendHigh16(Vec low, Vec high) {
    return _mm256_blend_epi16(low, high, 0xAA);
  }
  static KX_SIMD_INLINE Vec ClampTo32767(Vec a) {
    return _mm256_min_epu16(a, _mm256_set1_epi16(0x7FFF));
  }
  static KX_SIMD_INLINE Vec MulRoundHalfUp15(Vec a, Vec b) { return _mm256_mulhrs_epi16(a, b); }
};

}  // namespace
