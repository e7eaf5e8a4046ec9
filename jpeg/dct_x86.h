// The forward DCT and quantiser of the x86 levels, for any vector record of simd_x86.h: one block
// per 128-bit half.
//
// Rules (the arithmetic is the portable one of dct.cpp, term for term):
// - The samples are transposed as bytes, so that the butterflies of both dimensions work on whole
//   vectors; between them the 16-bit butterfly outputs are transposed again. The level shift is
//   folded into butterfly output 0 (-1024 per row), so it reaches B(0, 0) as -8192, where the
//   portable code has it, and cancels everywhere else. All of it is exact in 16 bits.
// - Each coefficient is the sum of the same products of butterfly outputs and constants
//   (JpegDctLanes, made from JpegDctProducts), formed two products at a time (pmaddwd) in 32 bits,
//   then descaled once with the portable rounding: (S + 2^16 + (S >> 31)) >> 17. Integer sums do
//   not depend on their order, so every coefficient is the portable one exactly.
// - A block of one sample value s (most of a desktop) has every butterfly output but
//   B(0, 0) = 64 s - 8192 at 0, hence every AC coefficient 0 and the DC 16384 B(0, 0) descaled,
//   which is 8 (s - 128) exactly; it takes no transform, only the DC's quantisation. A pair of
//   blocks takes this way only when both are flat.
// - Quantisation is F * R / 2^15 rounded half to even. With |F| < 2^14 (8-bit samples give at
//   most 1024 and change), R = 32768 may be taken as 32767 without changing any result, so R fits
//   a signed lane. The product rounded half up (pmulhrsw) differs from half to even only on a tie
//   with an even quotient, which is exactly when the product's low 16 bits are 0x4000.
#pragma once

#include "jpeg/dct_constants.h"
#include "jpeg/simd_x86.h"

namespace {

template <class V>
struct DctKernel {
  using Vec = typename V::Vec;
  static constexpr LONG DescaleBias = (1 << (JpegDctDescaleBits - 1)) - 1;

  // The butterflies of one dimension over eight vectors, in place (outputs as dct_constants.h).
  static KX_SIMD_INLINE VOID Butterfly(Vec* x) {
    Vec s0 = V::Add16(x[0], x[7]), d0 = V::Sub16(x[0], x[7]);
    Vec s1 = V::Add16(x[1], x[6]), d1 = V::Sub16(x[1], x[6]);
    Vec s2 = V::Add16(x[2], x[5]), d2 = V::Sub16(x[2], x[5]);
    Vec s3 = V::Add16(x[3], x[4]), d3 = V::Sub16(x[3], x[4]);
    Vec e0 = V::Add16(s0, s3), e1 = V::Add16(s1, s2);
    x[0] = V::Add16(e0, e1);
    x[1] = V::Sub16(e0, e1);
    x[2] = V::Sub16(s0, s3);
    x[3] = V::Sub16(s1, s2);
    x[4] = d0;
    x[5] = d1;
    x[6] = d2;
    x[7] = d3;
  }

  // Rows of 8 bytes (the low 64 bits of each half) into columns of 16-bit samples.
  static KX_SIMD_INLINE VOID TransposeBytes(const Vec* rows, Vec* columns) {
    Vec a0 = V::UnpackLow8(rows[0], rows[1]), a1 = V::UnpackLow8(rows[2], rows[3]);
    Vec a2 = V::UnpackLow8(rows[4], rows[5]), a3 = V::UnpackLow8(rows[6], rows[7]);
    Vec b0 = V::UnpackLow16(a0, a1), b1 = V::UnpackHigh16(a0, a1);
    Vec b2 = V::UnpackLow16(a2, a3), b3 = V::UnpackHigh16(a2, a3);
    Vec c[4] = {V::UnpackLow32(b0, b2), V::UnpackHigh32(b0, b2), V::UnpackLow32(b1, b3),
                V::UnpackHigh32(b1, b3)};
    Vec zero = V::Zero();
#pragma GCC unroll 4
    for (ULONG i = 0; i < 4; i++) {
      columns[2 * i] = V::UnpackLow8(c[i], zero);
      columns[2 * i + 1] = V::UnpackHigh8(c[i], zero);
    }
  }

  static KX_SIMD_INLINE VOID Transpose16(Vec* x) {
    Vec t0 = V::UnpackLow16(x[0], x[1]), t1 = V::UnpackHigh16(x[0], x[1]);
    Vec t2 = V::UnpackLow16(x[2], x[3]), t3 = V::UnpackHigh16(x[2], x[3]);
    Vec t4 = V::UnpackLow16(x[4], x[5]), t5 = V::UnpackHigh16(x[4], x[5]);
    Vec t6 = V::UnpackLow16(x[6], x[7]), t7 = V::UnpackHigh16(x[6], x[7]);
    Vec u0 = V::UnpackLow32(t0, t2), u1 = V::UnpackHigh32(t0, t2);
    Vec u2 = V::UnpackLow32(t1, t3), u3 = V::UnpackHigh32(t1, t3);
    Vec u4 = V::UnpackLow32(t4, t6), u5 = V::UnpackHigh32(t4, t6);
    Vec u6 = V::UnpackLow32(t5, t7), u7 = V::UnpackHigh32(t5, t7);
    x[0] = V::UnpackLow64(u0, u4);
    x[1] = V::UnpackHigh64(u0, u4);
    x[2] = V::UnpackLow64(u1, u5);
    x[3] = V::UnpackHigh64(u1, u5);
    x[4] = V::UnpackLow64(u2, u6);
    x[5] = V::UnpackHigh64(u2, u6);
    x[6] = V::UnpackLow64(u3, u7);
    x[7] = V::UnpackHigh64(u3, u7);
  }

  static KX_SIMD_INLINE Vec Constant(ULONG v, ULONG b, ULONG kind) {
    return V::LoadConstant(JpegDctLanes<V::Lanes>.Lane[v][b][kind]);
  }

  // Which term of output row v takes butterfly row l, or -1.
  static constexpr LONG TermOf(ULONG v, ULONG l) {
    for (ULONG b = 0; b < JpegDctFrequencyTerms[v].Count; b++) {
      if (JpegDctFrequencyTerms[v].Output[b] == l) return (LONG)b;
    }
    return -1;
  }

  // Butterfly row L's pairs `pairs` (its pairs (k0, k1), (k2, k3) for Kind 0, (k4, k5) for
  // Kind 1, (k6, k7) for Kind 2) into the sum of output row Row (its even frequencies for Kind 0,
  // its odd ones otherwise).
  template <ULONG Row, ULONG L, ULONG Kind>
  static KX_SIMD_INLINE VOID AddTerm(Vec pairs, Vec* sum) {
    constexpr LONG B = TermOf(Row, L);
    if constexpr (B >= 0) *sum = V::Add32(*sum, V::MulAdd16(pairs, Constant(Row, B, Kind)));
  }

  // Butterfly row L into the sums of the output rows R0 and R1 (sums[0], sums[2] their even,
  // sums[1], sums[3] their odd frequencies). One shuffle of the row is live at a time and goes
  // into both rows at once: with the four sums that fits the eight vector registers of a 32-bit
  // processor, and the row itself is read from memory by the shuffles.
  template <ULONG L, ULONG R0, ULONG R1>
  static KX_SIMD_INLINE VOID AddRow(const Vec* rows, Vec* sums) {
    Vec row = rows[L];
    Vec evenPairs = V::template Shuffle32<0x44>(row);
    AddTerm<R0, L, 0>(evenPairs, &sums[0]);
    AddTerm<R1, L, 0>(evenPairs, &sums[2]);
    Vec oddPairs1 = V::template Shuffle32<0xAA>(row);
    AddTerm<R0, L, 1>(oddPairs1, &sums[1]);
    AddTerm<R1, L, 1>(oddPairs1, &sums[3]);
    Vec oddPairs2 = V::template Shuffle32<0xFF>(row);
    AddTerm<R0, L, 2>(oddPairs2, &sums[1]);
    AddTerm<R1, L, 2>(oddPairs2, &sums[3]);
  }

  // (S + 2^16 + (S >> 31)) >> 17 = (S + 2^16 - 1 + [S >= 0]) >> 17; the sum arrives as
  // S + 2^16 - 1, so S >= 0 is the sum above 2^16 - 2.
  static KX_SIMD_INLINE Vec Descale(Vec sum) {
    Vec notNegative = V::GreaterThan32(sum, V::Set32(DescaleBias - 1));
    return V::template ShiftArith32<JpegDctDescaleBits>(V::Sub32(sum, notNegative));
  }

  static KX_SIMD_INLINE Vec Quantize(Vec coefficients, Vec reciprocals) {
    Vec r = V::ClampTo32767(reciprocals);
    Vec tie = V::Equal16(V::MulLow16(coefficients, r), V::Set16(0x4000));
    return V::Add16(V::MulRoundHalfUp15(coefficients, r), tie);
  }

  // Output rows v and w from their sums: descaled, packed to 16 bits, even and odd frequencies
  // interleaved into natural order, quantised and stored.
  template <class Io>
  static KX_SIMD_INLINE VOID FinishRows(const Io& io, ULONG v, ULONG w, const Vec* sumsV,
                                        const Vec* sumsW) {
    Vec even = V::PackSigned32(Descale(sumsV[0]), Descale(sumsW[0]));
    Vec odd = V::PackSigned32(Descale(sumsV[1]), Descale(sumsW[1]));
    io.StoreRow(v, Quantize(V::UnpackLow16(even, odd), io.Reciprocals(v)));
    io.StoreRow(w, Quantize(V::UnpackHigh16(even, odd), io.Reciprocals(w)));
  }

  // The output rows R0 and R1 from the butterfly rows L0..L0 + 3 they take (the odd rows take
  // rows 4 to 7, the even ones rows 0 to 3), each starting from the descaling bias less one.
  template <ULONG L0, ULONG R0, ULONG R1, class Io>
  static KX_SIMD_INLINE VOID OutputRows(const Io& io, const Vec* rows) {
    Vec sums[4];
#pragma GCC unroll 4
    for (ULONG i = 0; i < 4; i++) sums[i] = V::Set32(DescaleBias);
    AddRow<L0, R0, R1>(rows, sums);
    AddRow<L0 + 1, R0, R1>(rows, sums);
    AddRow<L0 + 2, R0, R1>(rows, sums);
    AddRow<L0 + 3, R0, R1>(rows, sums);
    FinishRows(io, R0, R1, sums, sums + 2);
  }

  // Whether every half's 64 samples are all the same (the low 8 bytes of each row, each half).
  static KX_SIMD_INLINE BOOLEAN AllFlat(const Vec* rows) {
    Vec first = V::SpreadFirstByte(rows[0]);
    Vec same = V::Equal8(rows[0], first);
#pragma GCC unroll 7
    for (ULONG y = 1; y < 8; y++) same = V::And(same, V::Equal8(rows[y], first));
    constexpr ULONG RowBytes = V::Lanes == 2 ? 0x00FF00FF : 0xFF;
    return (V::MoveMask8(same) & RowBytes) == RowBytes;
  }

  // `io` gives the sample rows (LoadRow), the reciprocal rows and takes the coefficient rows (or,
  // for blocks of one sample value, their DC alone).
  template <class Io>
  static KX_SIMD_INLINE VOID Run(const Io& io) {
    Vec rows[8], x[8];
#pragma GCC unroll 8
    for (ULONG y = 0; y < 8; y++) rows[y] = io.LoadRow(y);
    if (AllFlat(rows)) {
      for (ULONG half = 0; half < V::Lanes; half++) {
        LONG dc = 8 * ((LONG)V::FirstByte(rows[0], half) - 128);
        io.StoreDcOnly(half, JpegQuantizeCoefficient(dc, io.FirstReciprocal()));
      }
      return;
    }
    TransposeBytes(rows, x);
    Butterfly(x);  // across: x[k] holds output k of every row y
    x[0] = V::Sub16(x[0], V::Set16(8 * 128));
    Transpose16(x);
    Butterfly(x);  // down: x[l] holds B(l, k) for every k
    OutputRows<4, 1, 3>(io, x);
    OutputRows<4, 5, 7>(io, x);
    OutputRows<0, 0, 4>(io, x);
    OutputRows<0, 2, 6>(io, x);
  }
};

// One block in the 128-bit vectors of the levels below AVX2.
struct BlockIo128 {
  const UCHAR* Samples;
  ULONG Pitch;
  const USHORT* Table;
  SHORT* Coefficients;

  KX_SIMD_INLINE __m128i LoadRow(ULONG y) const {
    return _mm_loadl_epi64((const __m128i*)(Samples + y * Pitch));
  }
  KX_SIMD_INLINE __m128i Reciprocals(ULONG v) const {
    return _mm_loadu_si128((const __m128i*)(Table + 8 * v));
  }
  KX_SIMD_INLINE VOID StoreRow(ULONG v, __m128i row) const {
    _mm_storeu_si128((__m128i*)(Coefficients + 8 * v), row);
  }
  KX_SIMD_INLINE USHORT FirstReciprocal() const { return Table[0]; }
  KX_SIMD_INLINE VOID StoreDcOnly(ULONG, SHORT dc) const {
#pragma GCC unroll 8
    for (ULONG v = 0; v < 8; v++) StoreRow(v, _mm_setzero_si128());
    Coefficients[0] = dc;
  }
};

template <ULONG Level>
KX_SIMD_INLINE VOID TransformBlock128(const UCHAR* samples, ULONG pitch, const USHORT* reciprocals,
                                      SHORT* coefficients) {
  DctKernel<Simd128<Level>>::Run(BlockIo128{samples, pitch, reciprocals, coefficients});
}

}  // namespace
