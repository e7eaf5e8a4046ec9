// The fixed-point constants of the forward DCT, shared by every implementation of the transform.
//
// The transform is computed as
//   F(u, v) = 1/8 * sum over k in K(u), l in K(v) of M(u, k) M(v, l) B(k, l)
// where B is the block after the integer butterflies of both dimensions (exact, within 16 bits)
// and M(u, k) = sqrt(2) cos(theta(u, k)) is the one-dimensional rotation that finishes frequency u
// from butterfly output k. Each product M(u, k) M(v, l) = 2 cos a cos b = cos(a - b) + cos(a + b)
// is held as the sum of two entries of one table of 2^14 cos(m pi / 16), rounded once. Because
// cos(m pi / 16), m = 0..7, are linearly independent over the rationals, the sum of products is
// exact (and rounds exactly) whenever the true coefficient is rational, e.g. every DC value and
// every coefficient of a flat or symmetric block; elsewhere the only error is the constants'.
#pragma once

#include "nt.h"

// 2^14 cos(m pi / 16) for m = 0..8, rounded to nearest.
inline constexpr LONG JpegDctCosine[9] = {16384, 16069, 15137, 13623, 11585, 9102, 6270, 3196, 0};

// 2^14 cos(m pi / 16) for any m, from the table by symmetry.
constexpr LONG JpegDctCosineOf(LONG m) {
  m %= 32;
  if (m < 0) m += 32;
  if (m > 16) m = 32 - m;
  return m > 8 ? -JpegDctCosine[16 - m] : JpegDctCosine[m];
}

// The butterfly outputs of one dimension (x0..x7 its eight samples, s_i = x_i + x_(7-i),
// d_i = x_i - x_(7-i)):
//   0: s0 + s1 + s2 + s3   1: s0 - s1 - s2 + s3   2: s0 - s3   3: s1 - s2   4..7: d0..d3
// and, per frequency, the outputs it is made of with their angles in units of pi / 16.
struct JpegDctTerms {
  ULONG Count;
  UCHAR Output[4];
  UCHAR Angle[4];
};

inline constexpr JpegDctTerms JpegDctFrequencyTerms[8] = {
    {1, {0, 0, 0, 0}, {4, 0, 0, 0}},    // sqrt(2) cos(pi/4) = 1
    {4, {4, 5, 6, 7}, {1, 3, 5, 7}},
    {2, {2, 3, 0, 0}, {2, 6, 0, 0}},
    {4, {4, 5, 6, 7}, {3, 9, 15, 21}},
    {1, {1, 0, 0, 0}, {4, 0, 0, 0}},
    {4, {4, 5, 6, 7}, {5, 15, 25, 35}},
    {2, {2, 3, 0, 0}, {6, 14, 0, 0}},
    {4, {4, 5, 6, 7}, {7, 21, 35, 49}},
};

// Product constants per natural position v * 8 + u, term a * 4 + b (a over u's outputs, b over
// v's). Every entry fits a signed 16-bit lane; the largest is 31521.
struct JpegDctProductTable {
  SHORT Product[64][16];
};

constexpr JpegDctProductTable JpegMakeDctProductTable() {
  JpegDctProductTable table{};
  for (ULONG v = 0; v < 8; v++) {
    for (ULONG u = 0; u < 8; u++) {
      const JpegDctTerms& across = JpegDctFrequencyTerms[u];
      const JpegDctTerms& down = JpegDctFrequencyTerms[v];
      for (ULONG a = 0; a < across.Count; a++) {
        for (ULONG b = 0; b < down.Count; b++) {
          LONG difference = (LONG)across.Angle[a] - (LONG)down.Angle[b];
          LONG sum = (LONG)across.Angle[a] + (LONG)down.Angle[b];
          table.Product[v * 8 + u][a * 4 + b] =
              (SHORT)(JpegDctCosineOf(difference) + JpegDctCosineOf(sum));
        }
      }
    }
  }
  return table;
}

inline constexpr JpegDctProductTable JpegDctProducts = JpegMakeDctProductTable();

// The sum of products carries 2^14 from the constants and 2^3 from the 1/8.
inline constexpr ULONG JpegDctDescaleBits = 17;

// F * R / 2^15 rounded half to even, saturated to 16 bits. Static: every file that includes this
// compiles its own copy for its own processor level, and none can stand in for another's.
static inline SHORT JpegQuantizeCoefficient(LONG coefficient, ULONG reciprocal) {
  LONG product = coefficient * (LONG)reciprocal;
  LONG quantized = (product + 16383 + ((product >> 15) & 1)) >> 15;
  if (quantized > 32767) return 32767;
  if (quantized < -32768) return -32768;
  return (SHORT)quantized;
}

// The product that multiplies butterfly output (l, k) (k across, l down) in coefficient (u, v), or
// 0 when that coefficient does not use it.
constexpr SHORT JpegDctProductFor(ULONG u, ULONG v, ULONG l, ULONG k) {
  const JpegDctTerms& across = JpegDctFrequencyTerms[u];
  const JpegDctTerms& down = JpegDctFrequencyTerms[v];
  for (ULONG a = 0; a < across.Count; a++) {
    for (ULONG b = 0; b < down.Count; b++) {
      if (across.Output[a] == k && down.Output[b] == l) {
        return JpegDctProducts.Product[v * 8 + u][a * 4 + b];
      }
    }
  }
  return 0;
}

// The same products laid out for the vector transforms, which form each output row v from its
// terms b (butterfly row l = down(v).Output[b]) as sums of pairwise products (pmaddwd). Kind 0
// holds the even frequencies u = 0, 2, 4, 6, whose lanes take the pairs (k0, k1), (k2, k3),
// (k0, k1), (k2, k3) of row l; kinds 1 and 2 the odd frequencies u = 1, 3, 5, 7, whose lanes all
// take (k4, k5), then (k6, k7). A pair member the frequency does not use gets 0. Each 16-byte
// constant is held `Copies` times in a row, for vectors of that many 128-bit halves.
template <ULONG Copies>
struct JpegDctLaneTable {
  SHORT Lane[8][4][3][8 * Copies];  // [v][b][kind][copy * 8 + lane * 2 + pair member]
};

template <ULONG Copies>
constexpr JpegDctLaneTable<Copies> JpegMakeDctLaneTable() {
  constexpr ULONG FirstK[3][4] = {{0, 2, 0, 2}, {4, 4, 4, 4}, {6, 6, 6, 6}};
  JpegDctLaneTable<Copies> table{};
  for (ULONG v = 0; v < 8; v++) {
    const JpegDctTerms& down = JpegDctFrequencyTerms[v];
    for (ULONG b = 0; b < down.Count; b++) {
      for (ULONG kind = 0; kind < 3; kind++) {
        for (ULONG i = 0; i < 8 * Copies; i += 2) {
          ULONG lane = (i / 2) % 4;
          ULONG u = kind == 0 ? 2 * lane : 2 * lane + 1;
          ULONG k = FirstK[kind][lane];
          table.Lane[v][b][kind][i] = JpegDctProductFor(u, v, down.Output[b], k);
          table.Lane[v][b][kind][i + 1] = JpegDctProductFor(u, v, down.Output[b], k + 1);
        }
      }
    }
  }
  return table;
}

template <ULONG Copies>
alignas(16 * Copies) inline constexpr JpegDctLaneTable<Copies> JpegDctLanes =
    JpegMakeDctLaneTable<Copies>();
