// Forward DCT and quantisation of one 8 x 8 block: the portable implementation, the reference for
// every processor level.
//
// Rules:
// - Level shift, then T.81 A.3.3: F(u, v) = 1/4 Cu Cv sum f(x, y) cos((2x+1)u pi/16)
//   cos((2y+1)v pi/16), delivered rounded to nearest, ties away from zero.
// - Integer arithmetic only. The butterflies of both dimensions are exact and stay within 16 bits
//   (|B| <= 8192); each coefficient is then one sum of at most 16 products of a butterfly output
//   and a 16-bit constant (dct_constants.h), within 32 bits, descaled once. Whatever the order of
//   the additions, the result is the same, so a vector implementation that keeps the constants and
//   the single rounding matches this one bit for bit.
// - Quantisation: (F * R + 16383 + bit 15 of F * R) >> 15, i.e. F * R / 32768 rounded to nearest
//   with ties to even, saturated to 16 bits.
#include "jpeg/dct_constants.h"
#include "jpeg/stages.h"

namespace {

// The butterflies of one dimension: eight values `stride` apart in, outputs 0..7 (dct_constants.h)
// `outputStride` apart out.
inline VOID Butterfly(const LONG* x, ULONG stride, LONG* out, ULONG outputStride) {
  LONG s0 = x[0] + x[7 * stride], d0 = x[0] - x[7 * stride];
  LONG s1 = x[stride] + x[6 * stride], d1 = x[stride] - x[6 * stride];
  LONG s2 = x[2 * stride] + x[5 * stride], d2 = x[2 * stride] - x[5 * stride];
  LONG s3 = x[3 * stride] + x[4 * stride], d3 = x[3 * stride] - x[4 * stride];
  out[0] = (s0 + s3) + (s1 + s2);
  out[outputStride] = (s0 + s3) - (s1 + s2);
  out[2 * outputStride] = s0 - s3;
  out[3 * outputStride] = s1 - s2;
  out[4 * outputStride] = d0;
  out[5 * outputStride] = d1;
  out[6 * outputStride] = d2;
  out[7 * outputStride] = d3;
}

// Round to nearest, ties away from zero: the arithmetic shift of a negative sum gives -1.
inline LONG Descale(LONG sum) {
  return (sum + ((LONG)1 << (JpegDctDescaleBits - 1)) + (sum >> 31)) >> JpegDctDescaleBits;
}

// The sum of products of one coefficient; the frequencies are template arguments so that the
// term counts, indices and constants are known when compiling and the sum unrolls completely.
template <ULONG U, ULONG V>
inline LONG SumOfProducts(const LONG* butterflies) {
  constexpr const JpegDctTerms& across = JpegDctFrequencyTerms[U];
  constexpr const JpegDctTerms& down = JpegDctFrequencyTerms[V];
  LONG sum = 0;
  for (ULONG a = 0; a < across.Count; a++) {
    for (ULONG b = 0; b < down.Count; b++) {
      sum += (LONG)JpegDctProducts.Product[V * 8 + U][a * 4 + b] *
             butterflies[down.Output[b] * 8 + across.Output[a]];
    }
  }
  return sum;
}

// Coefficients K..63 in natural order.
template <ULONG K>
struct CoefficientsFrom {
  static inline VOID Compute(const LONG* butterflies, const USHORT* reciprocals,
                             SHORT* coefficients) {
    coefficients[K] =
        JpegQuantizeCoefficient(Descale(SumOfProducts<K % 8, K / 8>(butterflies)), reciprocals[K]);
    CoefficientsFrom<K + 1>::Compute(butterflies, reciprocals, coefficients);
  }
};

template <>
struct CoefficientsFrom<64> {
  static inline VOID Compute(const LONG*, const USHORT*, SHORT*) {}
};

}  // namespace

VOID JpegTransformBlockPortable(const UCHAR* samples, ULONG pitch, const USHORT* reciprocals,
                                SHORT* coefficients) {
  LONG shifted[64];
  for (ULONG y = 0; y < 8; y++) {
    for (ULONG x = 0; x < 8; x++) shifted[y * 8 + x] = (LONG)samples[y * pitch + x] - 128;
  }
  // rows[y * 8 + k]: output k across row y; butterflies[l * 8 + k]: output l down column k.
  LONG rows[64];
  LONG butterflies[64];
  for (ULONG y = 0; y < 8; y++) Butterfly(shifted + y * 8, 1, rows + y * 8, 1);
  for (ULONG k = 0; k < 8; k++) Butterfly(rows + k, 8, butterflies + k, 8);
  CoefficientsFrom<0>::Compute(butterflies, reciprocals, coefficients);
}

VOID JpegTransformBlockPairPortable(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                    const USHORT* reciprocals, SHORT* firstCoefficients,
                                    SHORT* secondCoefficients) {
  JpegTransformBlockPortable(first, pitch, reciprocals, firstCoefficients);
  JpegTransformBlockPortable(second, pitch, reciprocals, secondCoefficients);
}
