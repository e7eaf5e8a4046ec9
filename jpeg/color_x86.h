// Colour conversion and chroma reduction of the x86 levels, for any vector record of simd_x86.h.
//
// Rules (the arithmetic is the portable one of color.cpp, exactly):
// - A 4-byte pixel is split into the 16-bit pairs (B, R) = pixel & 0x00FF00FF and (G, 512), the
//   green byte with the constant 512 in place of the ignored byte; pmaddwd then gives the 32-bit
//   sums of the portable formulas, the rounding constants coming from 512: 16384 = 2 * 16 * 512,
//   8404992 = 16416 * 512. Coefficients that do not fit a signed 16-bit lane are split:
//   38470 G = 2 * 19235 G; 32768 B = -32768 B + (B << 16), the shift taken from (B, R);
//   32768 R = 32767 R + R, R being (B, R) >> 16. The sums are then shifted by 16 as in C; every
//   result lies in 0..255, so the packs with saturation change nothing.
// - Pixels are converted four vectors at a time while they lie within the row; the rest of the
//   row goes as one more group from a copy, padded with zeros. Three-byte pixels go through the
//   portable routine entirely. Four vectors of one colour (most of a desktop) are converted as
//   one pixel. The source is prefetched PrefetchDistance bytes ahead (a prefetch never faults,
//   so past the frame's end too).
// - Reduction sums byte pairs into 16-bit lanes, adds the alternating bias (0, 1 for a pair of
//   samples; 1, 2 for a 2 x 2 group) and shifts, over the padded width, vector by vector; a last
//   part shorter than a vector goes as one more from a padded copy (the portable routine takes
//   the last three outputs or fewer). Every vector starts at an even output, so the bias lines up.
#pragma once

#include "jpeg/simd_x86.h"

namespace {

template <class V>
struct ColorKernel {
  using Vec = typename V::Vec;
  static constexpr ULONG PixelsPerVector = 4 * V::Lanes;
  static constexpr ULONG BytesPerVector = 16 * V::Lanes;

  struct Sums {
    Vec Y, Cb, Cr;
  };

  // A 32-bit lane holding `low` in its low 16 bits and `high` in its high ones.
  static KX_SIMD_INLINE Vec Pair(SHORT low, SHORT high) {
    return V::Set32((LONG)((ULONG)(USHORT)low | ((ULONG)(USHORT)high << 16)));
  }

  // One vector of pixels to Y, Cb and Cr in the low byte of each 32-bit lane.
  static KX_SIMD_INLINE Sums ConvertVector(Vec pixels) {
    Vec blueRed = V::And(pixels, V::Set32(0x00FF00FF));
    Vec green512 = V::BlendHigh16(V::template ShiftRight16<8>(pixels), V::Set32(512 << 16));
    Vec green = V::MulAdd16(green512, Pair(19235, 16));  // 19235 G + 8192
    Vec y = V::Add32(V::MulAdd16(blueRed, Pair(7471, 19595)), V::Add32(green, green));
    Vec cb =
        V::Add32(V::MulAdd16(blueRed, Pair(-32768, -11059)), V::template ShiftLeft32<16>(blueRed));
    cb = V::Add32(cb, V::MulAdd16(green512, Pair(-21709, 16416)));
    Vec cr =
        V::Add32(V::MulAdd16(blueRed, Pair(-5329, 32767)), V::template ShiftRight32<16>(blueRed));
    cr = V::Add32(cr, V::MulAdd16(green512, Pair(-27439, 16416)));
    return Sums{V::template ShiftRight32<16>(y), V::template ShiftRight32<16>(cb),
                V::template ShiftRight32<16>(cr)};
  }

  static KX_SIMD_INLINE Vec PackBytes(Vec a, Vec b, Vec c, Vec d) {
    return V::OrderPacked(V::PackUnsigned16(V::PackSigned32(a, b), V::PackSigned32(c, d)));
  }

  // Four vectors of 4-byte pixels into one vector of each component. A group of one colour (the
  // ignored byte aside) is converted once.
  static KX_SIMD_INLINE VOID ConvertGroup(const UCHAR* source, PUCHAR y, PUCHAR cb, PUCHAR cr) {
    Vec pixels[4];
#pragma GCC unroll 4
    for (ULONG i = 0; i < 4; i++) pixels[i] = V::Load(source + i * BytesPerVector);
    Vec first = V::SpreadFirst32(pixels[0]);
    Vec differ = V::Or(V::Or(V::Xor(pixels[0], first), V::Xor(pixels[1], first)),
                       V::Or(V::Xor(pixels[2], first), V::Xor(pixels[3], first)));
    if (V::TestZero(differ, V::Set32(0x00FFFFFF))) {
      Sums one = ConvertVector(first);
      V::Store(y, V::SpreadFirstByte(one.Y));
      V::Store(cb, V::SpreadFirstByte(one.Cb));
      V::Store(cr, V::SpreadFirstByte(one.Cr));
      return;
    }
    Sums s[4];
#pragma GCC unroll 4
    for (ULONG i = 0; i < 4; i++) s[i] = ConvertVector(pixels[i]);
    V::Store(y, PackBytes(s[0].Y, s[1].Y, s[2].Y, s[3].Y));
    V::Store(cb, PackBytes(s[0].Cb, s[1].Cb, s[2].Cb, s[3].Cb));
    V::Store(cr, PackBytes(s[0].Cr, s[1].Cr, s[2].Cr, s[3].Cr));
  }

  // How far ahead of the conversion the source is fetched into the cache: measured faster than
  // leaving the frame's rows, which follow one another in memory, to the processor's own stream
  // detection.
  static constexpr ULONG PrefetchDistance = 2048;

  static KX_SIMD_INLINE VOID ConvertRow(const UCHAR* source, ULONG bytesPerPixel, ULONG width,
                                        PUCHAR y, PUCHAR cb, PUCHAR cr) {
    constexpr ULONG GroupPixels = 4 * PixelsPerVector;
    ULONG done = 0;
    if (bytesPerPixel == 4) {
      for (; done + GroupPixels <= width; done += GroupPixels) {
        ULONG_PTR ahead = (ULONG_PTR)source + 4 * done + PrefetchDistance;
#pragma GCC unroll 2
        for (ULONG line = 0; line < 4 * GroupPixels; line += 64) {
          __builtin_prefetch((const VOID*)(ahead + line));
        }
        ConvertGroup(source + 4 * done, y + done, cb + done, cr + done);
      }
    }
    if (bytesPerPixel == 4 && done < width) {
      ConvertLastGroup(source + 4 * done, width - done, y + done, cb + done, cr + done);
      return;
    }
    JpegConvertRowPortable(source + bytesPerPixel * done, bytesPerPixel, width - done, y + done,
                           cb + done, cr + done);
  }

  // `length` bytes of `input`, then zeros to fill the `size` bytes at `padded`.
  static KX_SIMD_INLINE VOID CopyPadded(PUCHAR padded, ULONG size, const UCHAR* input,
                                        ULONG length) {
    RtlCopyMemory(padded, input, length);
    RtlZeroMemory(padded + length, size - length);
  }

  // The last `count` (fewer than a group) 4-byte pixels of a row, as a group of their own: the
  // pixels after them are zero, converted and dropped. Every pixel is converted on its own, so
  // the row's samples are those the portable routine gives.
  static KX_SIMD_INLINE VOID ConvertLastGroup(const UCHAR* source, ULONG count, PUCHAR y,
                                              PUCHAR cb, PUCHAR cr) {
    constexpr ULONG GroupPixels = 4 * PixelsPerVector;
    alignas(32) UCHAR pixels[4 * GroupPixels];
    UCHAR samples[3][GroupPixels];
    CopyPadded(pixels, sizeof(pixels), source, 4 * count);
    ConvertGroup(pixels, samples[0], samples[1], samples[2]);
    RtlCopyMemory(y, samples[0], count);
    RtlCopyMemory(cb, samples[1], count);
    RtlCopyMemory(cr, samples[2], count);
  }

  // A row's last outputs, fewer than a vector's, go as one more vector from a copy of their input
  // padded with zeros (the padding's outputs are dropped) when there are this many; fewer go
  // through the portable routine, which is then the cheaper.
  static constexpr ULONG MinVectorTail = 4;


  // Sums of byte pairs of two vectors, as bytes again after adding `bias` and shifting.
  template <int Shift>
  static KX_SIMD_INLINE Vec Finish(Vec first, Vec second, Vec bias) {
    Vec a = V::template ShiftRight16<Shift>(V::Add16(first, bias));
    Vec b = V::template ShiftRight16<Shift>(V::Add16(second, bias));
    return V::OrderPairs(V::PackUnsigned16(a, b));
  }

  static KX_SIMD_INLINE VOID ReduceRowH2V1(const UCHAR* row, ULONG outputWidth, PUCHAR output) {
    Vec bias = V::Set32(0x00010000);  // 0 at even outputs, 1 at odd ones
    ULONG done = 0;
    for (; done + BytesPerVector <= outputWidth; done += BytesPerVector) {
      const UCHAR* in = row + 2 * done;
      V::Store(output + done, Finish<1>(V::PairSums8(V::Load(in)),
                                        V::PairSums8(V::Load(in + BytesPerVector)), bias));
    }
    ULONG rest = outputWidth - done;
    if (rest < MinVectorTail) {
      JpegReduceRowH2V1Portable(row + 2 * done, rest, output + done);
      return;
    }
    alignas(32) UCHAR in[2 * BytesPerVector];
    CopyPadded(in, sizeof(in), row + 2 * done, 2 * rest);
    alignas(32) UCHAR reduced[BytesPerVector];
    V::Store(reduced, Finish<1>(V::PairSums8(V::Load(in)),
                                V::PairSums8(V::Load(in + BytesPerVector)), bias));
    RtlCopyMemory(output + done, reduced, rest);
  }

  static KX_SIMD_INLINE VOID ReduceRowH2V2(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                                           PUCHAR output) {
    Vec bias = V::Set32(0x00020001);  // 1 at even outputs, 2 at odd ones
    ULONG done = 0;
    for (; done + BytesPerVector <= outputWidth; done += BytesPerVector) {
      ULONG in = 2 * done;
      Vec first = V::Add16(V::PairSums8(V::Load(top + in)), V::PairSums8(V::Load(bottom + in)));
      Vec second = V::Add16(V::PairSums8(V::Load(top + in + BytesPerVector)),
                            V::PairSums8(V::Load(bottom + in + BytesPerVector)));
      V::Store(output + done, Finish<2>(first, second, bias));
    }
    ULONG rest = outputWidth - done;
    if (rest < MinVectorTail) {
      JpegReduceRowH2V2Portable(top + 2 * done, bottom + 2 * done, rest, output + done);
      return;
    }
    alignas(32) UCHAR upper[2 * BytesPerVector], lower[2 * BytesPerVector];
    CopyPadded(upper, sizeof(upper), top + 2 * done, 2 * rest);
    CopyPadded(lower, sizeof(lower), bottom + 2 * done, 2 * rest);
    Vec first = V::Add16(V::PairSums8(V::Load(upper)), V::PairSums8(V::Load(lower)));
    Vec second = V::Add16(V::PairSums8(V::Load(upper + BytesPerVector)),
                          V::PairSums8(V::Load(lower + BytesPerVector)));
    alignas(32) UCHAR reduced[BytesPerVector];
    V::Store(reduced, Finish<2>(first, second, bias));
    RtlCopyMemory(output + done, reduced, rest);
  }
};

}  // namespace
