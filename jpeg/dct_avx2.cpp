// The forward DCT and quantiser at the AVX2 level: dct_x86.h on two blocks at once, one per
// 128-bit half.
#include <immintrin.h>

#include "jpeg/dct_constants.h"
#include "jpeg/stages.h"

#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,lzcnt")
#include "jpeg/dct_x86.h"
#include "jpeg/simd256_x86.h"

namespace {

struct PairIo {
  const UCHAR* First;
  const UCHAR* Second;
  ULONG Pitch;
  const USHORT* Table;
  SHORT* FirstOut;
  SHORT* SecondOut;

  KX_SIMD_INLINE __m256i LoadRow(ULONG y) const {
    __m128i first = _mm_loadl_epi64((const __m128i*)(First + y * Pitch));
    __m128i second = _mm_loadl_epi64((const __m128i*)(Second + y * Pitch));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1);
  }
  KX_SIMD_INLINE __m256i Reciprocals(ULONG v) const {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128((const __m128i*)(Table + 8 * v)));
  }
  KX_SIMD_INLINE VOID StoreRow(ULONG v, __m256i row) const {
    _mm_storeu_si128((__m128i*)(FirstOut + 8 * v), _mm256_castsi256_si128(row));
    _mm_storeu_si128((__m128i*)(SecondOut + 8 * v), _mm256_extracti128_si256(row, 1));
  }
  KX_SIMD_INLINE USHORT FirstReciprocal() const { return Table[0]; }
  KX_SIMD_INLINE VOID StoreDcOnly(ULONG half, SHORT dc) const {
    SHORT* out = half == 0 ? FirstOut : SecondOut;
#pragma GCC unroll 4
    for (ULONG i = 0; i < 4; i++)
      _mm256_storeu_si256((__m256i*)(out + 16 * i), _mm256_setzero_si256());
    out[0] = dc;
  }
};

}  // namespace

KX_SIMD_ENTRY VOID JpegTransformBlockPairAvx2(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                              const USHORT* reciprocals, SHORT* firstOut,
                                              SHORT* secondOut) {
  DctKernel<Simd256>::Run(PairIo{first, second, pitch, reciprocals, firstOut, secondOut});
}

#pragma GCC pop_options
