// Huffman coding of blocks and MCUs at the x86 levels: the same symbols and bits as huffman.cpp,
// found and packed faster.
//
// Rules:
// - The non-zero coefficients are found with vector compares: a 64-bit mask in natural order,
//   turned into zig-zag order one row byte at a time through JpegZigzagMasks (SSE2), or the
//   compare results shuffled into zig-zag order as bytes (SSSE3 and up), which leaves the cache
//   to the coefficients. The coder then visits only the non-zero coefficients; the zero run before
//   each is the distance between two set bits. Runs, ZRL and EOB follow T.81 F.1.2.2 as in the
//   portable coder.
// - A symbol's code and the value bits after it go out together as one string of at most 16 + 15
//   bits (ShiftedCode, TotalLength); for an AC value of -31..31, the usual case, that string is
//   looked up whole (SmallString, SmallLength). Any input gives the portable bytes, the sizes
//   8-bit samples never give included. At AVX2 the small values are read from the coefficients
//   saturated to bytes in zig-zag order, which the mask is made from.
// - A block whose AC coefficients are all 0 is found with one test of its vectors and coded as one
//   string, DC and EOB together.
// - Bits gather in a machine word and leave it a whole word at a time. A word without a 0xFF byte,
//   with room for all of it in the internal buffer, is stored at once; otherwise its bytes go one
//   by one with the stuffed 0x00 after every 0xFF and the room checked before every byte, so the
//   bytes, and the byte that does not fit, are the portable coder's. After a block (or an MCU)
//   every complete byte leaves the same way, and the at most 7 bits left pend in the writer as
//   the portable coder leaves them.
#pragma once

#include "jpeg/simd_x86.h"
#include "jpeg/tables.h"

namespace {

// The most a block can take in the internal buffer: at most 64 symbols with their value bits and
// 3 ZRL and an EOB, none over 32 bits, every byte of them stuffed, and a whole-word store past the
// last byte. With that much room, and room for the bytes still in the word, the coder checks
// nothing per byte.
constexpr ULONG HuffmanBlockRoom = 2 * ((64 + 4) * 32 / 8 + 1) + 8;

// The bits wait in a machine word: 64 bits on a 64-bit processor, 32 on the 32-bit kernel. (The
// tests run the 32-bit word on the host too.)
template <class Word>
struct HuffmanWord {
  static constexpr ULONG Bytes = sizeof(Word);
  static constexpr ULONG Bits = 8 * Bytes;

  static KX_SIMD_INLINE Word ByteSwap(Word word) {
    if constexpr (Bytes == 8) {
      return (Word)__builtin_bswap64(word);
    } else {
      return (Word)__builtin_bswap32((ULONG)word);
    }
  }

  // Whether a byte of `word` is 0xFF.
  static KX_SIMD_INLINE BOOLEAN HasFfByte(Word word) {
    constexpr Word Ones = (Word)-1 / 0xFF;  // 0x0101...
    Word inverted = ~word;
    return ((inverted - Ones) & ~inverted & (Ones << 7)) != 0;
  }

  // The `count` leading bytes of left-aligned `word` one at a time, each 0xFF followed by 0x00,
  // the room checked before every byte unless `end` is NULL. The next byte's address, or NULL
  // when a byte did not fit. Out of line: it runs for about one word in a hundred.
  static __attribute__((noinline)) PUCHAR PutStuffedBytes(PUCHAR out, PUCHAR end, Word word,
                                                          ULONG count) {
    for (ULONG i = 0; i < count; i++) {
      UCHAR value = (UCHAR)(word >> (Bits - 8 - 8 * i));
      if (out == end) return NULL;
      *out++ = value;
      if (value != 0xFF) continue;
      if (out == end) return NULL;
      *out++ = 0x00;
    }
    return out;
  }
};

// The bits of one block on their way to the internal buffer. `Checked` sinks test the room before
// every byte; the others are used only when the most a block can take fits.
template <bool Checked, class Word = ULONG_PTR>
struct HuffmanSink {
  using W = HuffmanWord<Word>;
  Word Bits;   // pending bits, right-aligned (bits above them have left already)
  ULONG Free;  // room left in the word, 1..W::Bits
  PUCHAR Out;  // next byte of the internal buffer
  PUCHAR End;  // end of the internal buffer

  // The `count` leading bytes of left-aligned `word`, each 0xFF followed by 0x00; FALSE when a
  // byte did not fit. Bits below the complete bytes are 0, so they never look like 0xFF.
  KX_SIMD_INLINE BOOLEAN PutBytes(Word word, ULONG count) {
    if ((!Checked || End - Out >= (LONG_PTR)W::Bytes) && !W::HasFfByte(word)) {
      Word bigEndian = W::ByteSwap(word);
      __builtin_memcpy(Out, &bigEndian, W::Bytes);
      Out += count;
      return TRUE;
    }
    Out = W::PutStuffedBytes(Out, Checked ? End : NULL, word, count);
    return Out != NULL;
  }

  // Appends the `length` (0..31) low bits of `bits`, which has nothing above them; a full word
  // leaves at once.
  KX_SIMD_INLINE BOOLEAN PutBits(ULONG bits, ULONG length) {
    if (__builtin_expect(length < Free, 1)) {
      Bits = (Bits << length) | bits;
      Free -= length;
      return TRUE;
    }
    ULONG rest = length - Free;
    Word word = (Bits << Free) | (bits >> rest);
    Bits = bits;
    Free = W::Bits - rest;
    return PutBytes(word, W::Bytes);
  }

  // Lets every complete byte leave; at most 7 bits stay.
  KX_SIMD_INLINE BOOLEAN PutCompleteBytes() {
    ULONG pending = W::Bits - Free;
    if (pending < 8) return TRUE;
    Free = W::Bits - pending % 8;
    return PutBytes(Bits << (W::Bits - pending), pending / 8);
  }

  KX_SIMD_INLINE VOID Load(const JpegBitWriter* writer) {
    Bits = writer->Bits;
    Free = W::Bits - writer->BitCount;
    Out = writer->Buffer + writer->Fill;
    End = writer->Buffer + JpegInternalBufferSize;
  }

  // Back into the writer, once every complete byte has left.
  KX_SIMD_INLINE VOID Store(JpegBitWriter* writer) const {
    ULONG pending = W::Bits - Free;
    writer->Bits = (ULONG)Bits & ((1u << pending) - 1);
    writer->BitCount = pending;
    writer->Fill = (ULONG)(Out - writer->Buffer);
  }

  // Complete bytes, stuffing included, still in the word at most.
  KX_SIMD_INLINE ULONG PendingByteBound() const { return 2 * ((W::Bits - Free) / 8); }
};

// The size category of a value (the bits of its magnitude) and its low `size` bits (of value - 1
// when negative). With v - 1 = v + sign for a negative v, the magnitude is (v + sign) ^ sign.
// Without LZCNT the magnitude must not be 0.
template <bool Lzcnt>
KX_SIMD_INLINE VOID SizeAndBits(LONG value, ULONG* size, ULONG* bits) {
  ULONG sign = (ULONG)(value >> 31);
  ULONG adjusted = (ULONG)value + sign;
  ULONG magnitude = adjusted ^ sign;
  if constexpr (Lzcnt) {
    *size = 32 - (ULONG)__builtin_ia32_lzcnt_u32(magnitude);
  } else {
    *size = ((ULONG)__builtin_clz(magnitude) ^ 31) + 1;  // bsr + 1
  }
  *bits = adjusted & ((1u << *size) - 1);
}

// The symbol of size category `size` after a run of `run` zeros, then the value bits. Up to size
// 15 the code and the bits go together (at most 16 + 15 bits); size 16 (-32768 only, which no
// block of 8-bit samples gives) overflows the symbol exactly as in the portable coder.
template <class Sink>
KX_SIMD_INLINE BOOLEAN PutSymbolAndBits(Sink* s, const JpegHuffmanCodes* codes, ULONG run,
                                        ULONG size, ULONG valueBits) {
  ULONG symbol = run * 16 + size;
  if (__builtin_expect(size <= 15, 1)) {
    return s->PutBits(codes->ShiftedCode[symbol] | valueBits, codes->TotalLength[symbol]);
  }
  return s->PutBits(codes->Code[symbol], codes->Length[symbol]) && s->PutBits(valueBits, size);
}

template <bool Lzcnt, class Sink>
KX_SIMD_INLINE BOOLEAN PutDifference(Sink* s, const JpegHuffmanCodes* codes, LONG difference) {
  if (!Lzcnt && difference == 0) return s->PutBits(codes->Code[0], codes->Length[0]);
  ULONG size, bits;
  SizeAndBits<Lzcnt>(difference, &size, &bits);
  return PutSymbolAndBits(s, codes, 0, size, bits);
}

// JpegZigzagToNatural again with internal linkage, so that position-independent code reaches it
// without an address load per coefficient.
struct HuffmanZigzagTable {
  UCHAR Natural[64];
};

constexpr HuffmanZigzagTable MakeHuffmanZigzag() {
  HuffmanZigzagTable table{};
  for (ULONG k = 0; k < 64; k++) table.Natural[k] = JpegZigzagToNatural[k];
  return table;
}

alignas(64) constexpr HuffmanZigzagTable HuffmanZigzag = MakeHuffmanZigzag();

// The non-zero coefficients of a block in zig-zag order: bit k of NonZero for position k (the DC
// left out), and where the mask kernel provides them (ZigzagBytes), the coefficients themselves in
// zig-zag order saturated to a signed byte, so that a small value is had without the natural index
// and the 16-bit load (a saturated byte is never small, and the coefficient is read instead).
template <bool ZigzagBytes>
struct HuffmanScan {
  ULONGLONG NonZero;
  alignas(ZigzagBytes ? 32 : 1) signed char Bytes[ZigzagBytes ? 64 : 1];
};

KX_SIMD_INLINE ULONG LowestBit(ULONG mask) { return (ULONG)__builtin_ctz(mask); }
KX_SIMD_INLINE ULONG LowestBit(ULONGLONG mask) { return (ULONG)__builtin_ctzll(mask); }

// The AC coefficients whose positions are the set bits of `mask` plus `base`, in order; `next` is
// the position after the last one coded, before and after.
template <bool Lzcnt, class Sink, bool ZigzagBytes, class Mask>
KX_SIMD_INLINE BOOLEAN CodeAcCoefficients(Sink* s, const HuffmanScan<ZigzagBytes>& scan,
                                          const SHORT* coefficients,
                                          const JpegHuffmanCodes* acCodes, Mask mask, ULONG base,
                                          ULONG* next) {
  while (mask != 0) {
    ULONG k = base + LowestBit(mask);
    mask &= mask - 1;
    ULONG run = k - *next;
    *next = k + 1;
    for (; __builtin_expect(run > 15, 0); run -= 16) {
      if (!s->PutBits(acCodes->Code[0xF0], acCodes->Length[0xF0])) return FALSE;
    }
    LONG value;
    if constexpr (ZigzagBytes) {
      value = scan.Bytes[k];
    } else {
      value = coefficients[HuffmanZigzag.Natural[k]];
    }
    if (__builtin_expect((ULONG)(value + JpegSmallValueLimit) <= 2 * JpegSmallValueLimit, 1)) {
      ULONG slot = run * JpegSmallValueSlots + (ULONG)(value + 32);
      if (!s->PutBits(acCodes->SmallString[slot], acCodes->SmallLength[slot])) return FALSE;
      continue;
    }
    if constexpr (ZigzagBytes) value = coefficients[HuffmanZigzag.Natural[k]];
    ULONG size, bits;
    SizeAndBits<Lzcnt>(value, &size, &bits);
    if (!PutSymbolAndBits(s, acCodes, run, size, bits)) return FALSE;
  }
  return TRUE;
}

// A 32-bit processor has no 64-bit bit scan (the compiler calls a library routine for one) and
// clears the lowest bit of a 64-bit mask in four instructions: there the mask goes as its two
// halves.
template <bool Lzcnt, class Sink, bool ZigzagBytes>
KX_SIMD_INLINE BOOLEAN CodeSymbols(Sink* s, const HuffmanScan<ZigzagBytes>& scan,
                                   const SHORT* coefficients, SHORT* lastDc,
                                   const JpegHuffmanCodes* dcCodes,
                                   const JpegHuffmanCodes* acCodes) {
  LONG difference = (LONG)coefficients[0] - (LONG)*lastDc;
  *lastDc = coefficients[0];
  if (!PutDifference<Lzcnt>(s, dcCodes, difference)) return FALSE;
  ULONG next = 1;  // the zig-zag position after the last coded coefficient
  if constexpr (sizeof(ULONG_PTR) == 8) {
    if (!CodeAcCoefficients<Lzcnt>(s, scan, coefficients, acCodes, scan.NonZero, 0, &next)) {
      return FALSE;
    }
  } else {
    if (!CodeAcCoefficients<Lzcnt>(s, scan, coefficients, acCodes, (ULONG)scan.NonZero, 0,
                                   &next) ||
        !CodeAcCoefficients<Lzcnt>(s, scan, coefficients, acCodes,
                                   (ULONG)(scan.NonZero >> 32), 32, &next)) {
      return FALSE;
    }
  }
  return next == 64 || s->PutBits(acCodes->Code[0x00], acCodes->Length[0x00]);
}

// A block whose AC coefficients are all 0 (most blocks of a desktop): the DC symbol with its bits
// and the EOB after it go out as one string when it fits a PutBits, as it always does with the
// Annex K tables and 8-bit samples; otherwise symbol by symbol as CodeSymbols would.
template <bool Lzcnt, class Sink>
KX_SIMD_INLINE BOOLEAN CodeDcOnly(Sink* s, const SHORT* coefficients, SHORT* lastDc,
                                  const JpegHuffmanCodes* dcCodes,
                                  const JpegHuffmanCodes* acCodes) {
  LONG difference = (LONG)coefficients[0] - (LONG)*lastDc;
  *lastDc = coefficients[0];
  ULONG size = 0, bits = 0;
  if (Lzcnt || difference != 0) SizeAndBits<Lzcnt>(difference, &size, &bits);
  ULONG eobLength = acCodes->Length[0x00];
  ULONG length = dcCodes->TotalLength[size] + eobLength;
  if (__builtin_expect(size <= 15 && length <= 31, 1)) {
    return s->PutBits(((dcCodes->ShiftedCode[size] | bits) << eobLength) | acCodes->Code[0x00],
                      length);
  }
  return PutSymbolAndBits(s, dcCodes, 0, size, bits) &&
         s->PutBits(acCodes->Code[0x00], eobLength);
}

// One block with a sink of each kind: without checks when the most a block can take fits, and
// the bytes still in the word besides.
template <bool Lzcnt, class Word, bool ZigzagBytes>
KX_SIMD_INLINE BOOLEAN CodeWithRoom(HuffmanSink<true, Word>* s,
                                    const HuffmanScan<ZigzagBytes>& scan,
                                    const SHORT* coefficients, SHORT* lastDc,
                                    const JpegHuffmanCodes* dcCodes,
                                    const JpegHuffmanCodes* acCodes) {
  if ((ULONG_PTR)(s->End - s->Out) >= HuffmanBlockRoom + s->PendingByteBound()) {
    HuffmanSink<false, Word> fast = {s->Bits, s->Free, s->Out, s->End};
    BOOLEAN ok = CodeSymbols<Lzcnt>(&fast, scan, coefficients, lastDc, dcCodes, acCodes);
    *s = HuffmanSink<true, Word>{fast.Bits, fast.Free, fast.Out, fast.End};
    return ok;
  }
  return CodeSymbols<Lzcnt>(s, scan, coefficients, lastDc, dcCodes, acCodes);
}

template <class Mask>
KX_SIMD_INLINE VOID ScanBlock(const SHORT* coefficients, HuffmanScan<Mask::ZigzagBytes>* scan) {
  if constexpr (Mask::ZigzagBytes) {
    scan->NonZero = Mask::ZigzagNonZero(coefficients, scan->Bytes) & ~1ull;
  } else {
    scan->NonZero = Mask::ZigzagNonZero(coefficients) & ~1ull;
  }
}

// `Mask` finds the non-zero coefficients; `Lzcnt` says the processor has LZCNT; `Word` holds the
// bits on their way.
template <class Mask, bool Lzcnt, class Word = ULONG_PTR>
KX_SIMD_INLINE BOOLEAN CodeBlock(JpegBitWriter* writer, const SHORT* coefficients, SHORT* lastDc,
                                 const JpegHuffmanCodes* dcCodes, const JpegHuffmanCodes* acCodes) {
  HuffmanScan<Mask::ZigzagBytes> scan;
  ScanBlock<Mask>(coefficients, &scan);
  HuffmanSink<true, Word> s;
  s.Load(writer);
  if (!CodeWithRoom<Lzcnt>(&s, scan, coefficients, lastDc, dcCodes, acCodes) ||
      !s.PutCompleteBytes()) {
    return FALSE;
  }
  s.Store(writer);
  return TRUE;
}

// The blocks of an MCU with the bits kept in the word from one block to the next. The reserve
// before each block must be judged on the buffer as the portable coder leaves it, every complete
// byte in it: that takes letting the bytes in the word leave only when the buffer, short of them,
// is near the reserve; otherwise it is certainly above it, stuffing or not.
template <class Mask, bool Lzcnt, class Word = ULONG_PTR>
KX_SIMD_INLINE BOOLEAN CodeMcu(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                               const JpegBlockCoding* plan, JpegFlushRoutine* flush,
                               PVOID context) {
  HuffmanSink<true, Word> s;
  s.Load(writer);
  for (ULONG b = 0; b < count; b++, coefficients += 64) {
    if ((ULONG_PTR)(s.End - s.Out) <= JpegBlockReserve + s.PendingByteBound()) {
      if (!s.PutCompleteBytes()) return FALSE;
      if ((ULONG_PTR)(s.End - s.Out) <= JpegBlockReserve) {
        s.Store(writer);
        if (!flush(context)) return FALSE;
        s.Load(writer);
      }
    }
    if (Mask::AcZero(coefficients)) {
      if (!CodeDcOnly<Lzcnt>(&s, coefficients, plan[b].LastDc, plan[b].DcCodes,
                             plan[b].AcCodes)) {
        return FALSE;
      }
      continue;
    }
    HuffmanScan<Mask::ZigzagBytes> scan;
    ScanBlock<Mask>(coefficients, &scan);
    if (!CodeWithRoom<Lzcnt>(&s, scan, coefficients, plan[b].LastDc, plan[b].DcCodes,
                             plan[b].AcCodes)) {
      return FALSE;
    }
  }
  if (!s.PutCompleteBytes()) return FALSE;
  s.Store(writer);
  return TRUE;
}

// Whether the 63 AC coefficients of a block are all 0, from 128-bit vectors.
KX_SIMD_INLINE BOOLEAN AcZero128(const SHORT* coefficients) {
  const __m128i* rows = (const __m128i*)coefficients;
  __m128i any = _mm_and_si128(_mm_loadu_si128(rows), _mm_setr_epi16(0, -1, -1, -1, -1, -1, -1, -1));
#pragma GCC unroll 7
  for (ULONG i = 1; i < 8; i++) any = _mm_or_si128(any, _mm_loadu_si128(rows + i));
  return _mm_movemask_epi8(_mm_cmpeq_epi16(any, _mm_setzero_si128())) == 0xFFFF;
}

// The non-zero mask in natural order from eight rows of eight coefficients compared in 128-bit
// vectors, then in zig-zag order.
struct ZigzagMaskTable128 {
  static constexpr bool ZigzagBytes = false;
  static KX_SIMD_INLINE BOOLEAN AcZero(const SHORT* coefficients) {
    return AcZero128(coefficients);
  }
  static KX_SIMD_INLINE ULONG RowFlags(const SHORT* coefficients, ULONG first) {
    __m128i zero = _mm_setzero_si128();
    __m128i a = _mm_cmpeq_epi16(_mm_loadu_si128((const __m128i*)(coefficients + 8 * first)), zero);
    __m128i b =
        _mm_cmpeq_epi16(_mm_loadu_si128((const __m128i*)(coefficients + 8 * first + 8)), zero);
    return (ULONG)_mm_movemask_epi8(_mm_packs_epi16(a, b)) ^ 0xFFFF;
  }
  static KX_SIMD_INLINE ULONGLONG ZigzagNonZero(const SHORT* coefficients) {
    ULONGLONG mask = 0;
    for (ULONG pair = 0; pair < 4; pair++) {
      ULONG flags = RowFlags(coefficients, 2 * pair);
      mask |= JpegZigzagMasks.OfRow[2 * pair][flags & 0xFF];
      mask |= JpegZigzagMasks.OfRow[2 * pair + 1][flags >> 8];
    }
    return mask;
  }
};

// The same from 128-bit compares and byte shuffles (SSSE3): the flags packed to bytes hold two
// rows per vector, and each 16-byte group of zig-zag positions gathers its bytes from the
// vectors that hold any of them. Control [o][s] builds group o from source vector s (rows 2 s and
// 2 s + 1); 0x80 takes nothing.
struct ZigzagShuffles128 {
  UCHAR Control[4][4][16];
  BOOLEAN Used[4][4];
};

constexpr ZigzagShuffles128 MakeZigzagShuffles128() {
  ZigzagShuffles128 table{};
  for (ULONG o = 0; o < 4; o++) {
    for (ULONG s = 0; s < 4; s++) {
      for (ULONG i = 0; i < 16; i++) {
        ULONG n = JpegZigzagToNatural[16 * o + i];
        BOOLEAN here = n / 16 == s;
        table.Control[o][s][i] = here ? (UCHAR)(n % 16) : (UCHAR)0x80;
        if (here) table.Used[o][s] = TRUE;
      }
    }
  }
  return table;
}

alignas(16) inline constexpr ZigzagShuffles128 JpegZigzagShuffles128 = MakeZigzagShuffles128();

struct ZigzagMaskShuffle128 {
  static constexpr bool ZigzagBytes = false;
  static KX_SIMD_INLINE BOOLEAN AcZero(const SHORT* coefficients) {
    return AcZero128(coefficients);
  }
  template <ULONG O, ULONG S>
  static KX_SIMD_INLINE __m128i Take(const __m128i* zeros, __m128i gathered) {
    if constexpr (JpegZigzagShuffles128.Used[O][S]) {
      __m128i control = _mm_load_si128((const __m128i*)JpegZigzagShuffles128.Control[O][S]);
      gathered = _mm_or_si128(gathered, _mm_shuffle_epi8(zeros[S], control));
    }
    return gathered;
  }
  template <ULONG O>
  static KX_SIMD_INLINE ULONG Group(const __m128i* zeros) {
    __m128i gathered = _mm_setzero_si128();
    gathered = Take<O, 0>(zeros, gathered);
    gathered = Take<O, 1>(zeros, gathered);
    gathered = Take<O, 2>(zeros, gathered);
    gathered = Take<O, 3>(zeros, gathered);
    return (ULONG)_mm_movemask_epi8(gathered) ^ 0xFFFF;
  }
  static KX_SIMD_INLINE ULONGLONG ZigzagNonZero(const SHORT* coefficients) {
    __m128i zero = _mm_setzero_si128(), zeros[4];
#pragma GCC unroll 4
    for (ULONG s = 0; s < 4; s++) {
      const __m128i* rows = (const __m128i*)(coefficients + 16 * s);
      zeros[s] = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_loadu_si128(rows), zero),
                                 _mm_cmpeq_epi16(_mm_loadu_si128(rows + 1), zero));
    }
    return (ULONGLONG)Group<0>(zeros) | ((ULONGLONG)Group<1>(zeros) << 16) |
           ((ULONGLONG)Group<2>(zeros) << 32) | ((ULONGLONG)Group<3>(zeros) << 48);
  }
};

}  // namespace
