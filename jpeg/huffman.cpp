// Huffman coding of one block and the code tables it uses: the portable implementation, the
// reference for every processor level.
//
// Rules:
// - Code tables follow T.81 Annex C: code sizes from the length counts (C.1), canonical codes in
//   order of increasing length (C.2), then ordered by symbol value (C.3).
// - A block follows T.81 F.1.2.1 and F.1.2.2: the DC difference from the component's last DC as a
//   size category and its low bits (of DIFF - 1 when negative); the AC coefficients in zig-zag
//   order as run/size symbols, ZRL (0xF0) for each full run of 16 zeros before a non-zero value,
//   EOB (0x00) when zeros remain after the last non-zero one.
#include "jpeg/encoder.h"
#include "jpeg/tables.h"

namespace {

// Size category: the number of bits of a magnitude (0 for 0).
inline ULONG BitLength(ULONG magnitude) {
  ULONG length = 0;
  if (magnitude >= 256) {
    length = 8;
    magnitude >>= 8;
  }
  if (magnitude >= 16) {
    length += 4;
    magnitude >>= 4;
  }
  if (magnitude >= 4) {
    length += 2;
    magnitude >>= 2;
  }
  if (magnitude >= 2) {
    length += 1;
    magnitude >>= 1;
  }
  return length + magnitude;
}

inline BOOLEAN EmitSymbol(JpegBitWriter* writer, const JpegHuffmanCodes* codes, ULONG symbol) {
  return JpegEmitBits(writer, codes->Code[symbol], codes->Length[symbol]);
}

// The symbol's size category followed by the value's low bits (of value - 1 when negative).
inline BOOLEAN EmitValue(JpegBitWriter* writer, const JpegHuffmanCodes* codes, ULONG run,
                         LONG value) {
  ULONG magnitude = (ULONG)(value < 0 ? -value : value);
  ULONG size = BitLength(magnitude);
  if (!EmitSymbol(writer, codes, run * 16 + size)) return FALSE;
  if (size == 0) return TRUE;
  return JpegEmitBits(writer, (ULONG)(value < 0 ? value - 1 : value), size);
}

}  // namespace

VOID JpegBuildHuffmanCodes(const JpegHuffmanSpec* spec, JpegHuffmanCodes* codes) {
  RtlZeroMemory(codes, sizeof(*codes));
  ULONG code = 0;
  ULONG k = 0;
  for (ULONG length = 1; length <= 16; length++) {
    for (ULONG i = 0; i < spec->Counts[length - 1] && k < spec->ValueCount; i++, k++) {
      UCHAR symbol = spec->Values[k];
      codes->Code[symbol] = (USHORT)code++;
      codes->Length[symbol] = (UCHAR)length;
    }
    code <<= 1;
  }
  for (ULONG symbol = 0; symbol < 256; symbol++) {
    ULONG size = symbol & 15;
    codes->ShiftedCode[symbol] = (ULONG)codes->Code[symbol] << size;
    codes->TotalLength[symbol] = (UCHAR)(codes->Length[symbol] + size);
  }
  for (ULONG run = 0; run < 16; run++) {
    for (LONG value = -JpegSmallValueLimit; value <= JpegSmallValueLimit; value++) {
      if (value == 0) continue;
      ULONG magnitude = (ULONG)(value < 0 ? -value : value);
      ULONG size = BitLength(magnitude);
      ULONG symbol = run * 16 + size;
      ULONG bits = (ULONG)(value < 0 ? value - 1 : value) & ((1u << size) - 1);
      ULONG slot = run * JpegSmallValueSlots + (ULONG)(value + 32);
      codes->SmallString[slot] = codes->ShiftedCode[symbol] | bits;
      codes->SmallLength[slot] = codes->TotalLength[symbol];
    }
  }
}

// The reserve is kept before every block, as the stream layout requires; the bits of one block
// are all in the writer before the next one's reserve is looked at.
BOOLEAN JpegCodeMcuPortable(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                            const JpegBlockCoding* plan, JpegFlushRoutine* flush, PVOID context) {
  for (ULONG b = 0; b < count; b++, coefficients += 64) {
    if (JpegInternalBufferSize - writer->Fill <= JpegBlockReserve && !flush(context)) return FALSE;
    if (!JpegCodeBlockPortable(writer, coefficients, plan[b].LastDc, plan[b].DcCodes,
                               plan[b].AcCodes)) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN JpegCodeBlockPortable(JpegBitWriter* writer, const SHORT* coefficients, SHORT* lastDc,
                              const JpegHuffmanCodes* dcCodes, const JpegHuffmanCodes* acCodes) {
  LONG difference = (LONG)coefficients[0] - (LONG)*lastDc;
  *lastDc = coefficients[0];
  if (!EmitValue(writer, dcCodes, 0, difference)) return FALSE;

  ULONG run = 0;
  for (ULONG k = 1; k < 64; k++) {
    LONG value = coefficients[JpegZigzagToNatural[k]];
    if (value == 0) {
      run++;
      continue;
    }
    for (; run > 15; run -= 16) {
      if (!EmitSymbol(writer, acCodes, 0xF0)) return FALSE;
    }
    if (!EmitValue(writer, acCodes, run, value)) return FALSE;
    run = 0;
  }
  return run == 0 || EmitSymbol(writer, acCodes, 0x00);
}
