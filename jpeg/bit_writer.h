// The encoder's internal byte buffer and the Huffman bit accumulator that fills it (T.81 F.1.2.3).
//
// Rules:
// - Every segment byte and every coded byte goes through the JpegInternalBufferSize-byte buffer;
//   it is flushed to the output before each block when no more than JpegBlockReserve bytes are
//   free (by the stage's MCU coder, through the stream layout's flush), so a block's bytes nearly
//   always fit.
// - A byte that does not fit is a coding failure: the emitters return FALSE and the call ends.
// - Codes and values are appended below the pending bits, most significant bit first; every 0xFF
//   that leaves the accumulator is followed by a stuffed 0x00. Marker bytes never pass through the
//   accumulator and are never stuffed.
#pragma once

#include "nt.h"

constexpr ULONG JpegInternalBufferSize = 4096;
constexpr ULONG JpegBlockReserve = 256;

struct JpegBitWriter {
  PUCHAR Buffer;   // JpegInternalBufferSize bytes
  ULONG Fill;      // bytes held in Buffer
  ULONG Bits;      // pending bits, right-aligned
  ULONG BitCount;  // how many bits pend: 0..7 between two emissions
};

inline BOOLEAN JpegPutByte(JpegBitWriter* writer, UCHAR value) {
  if (writer->Fill >= JpegInternalBufferSize) return FALSE;
  writer->Buffer[writer->Fill++] = value;
  return TRUE;
}

// `count` bytes at once (segment contents); FALSE, with none of them written, when they do not
// all fit.
inline BOOLEAN JpegPutBytes(JpegBitWriter* writer, const UCHAR* bytes, ULONG count) {
  if (count > JpegInternalBufferSize - writer->Fill) return FALSE;
  RtlCopyMemory(writer->Buffer + writer->Fill, bytes, count);
  writer->Fill += count;
  return TRUE;
}

// Appends the `count` low bits of `bits` (count 1..16). The window never holds more than 23 bits.
inline BOOLEAN JpegEmitBits(JpegBitWriter* writer, ULONG bits, ULONG count) {
  ULONG pending = (writer->Bits << count) | (bits & ((1u << count) - 1));
  ULONG pendingCount = writer->BitCount + count;
  while (pendingCount >= 8) {
    pendingCount -= 8;
    UCHAR value = (UCHAR)(pending >> pendingCount);
    if (!JpegPutByte(writer, value)) return FALSE;
    if (value == 0xFF && !JpegPutByte(writer, 0x00)) return FALSE;
  }
  writer->Bits = pending & ((1u << pendingCount) - 1);
  writer->BitCount = pendingCount;
  return TRUE;
}

// Fills a partial last byte with 1 bits (T.81 F.1.2.3); adds nothing on a byte boundary.
inline BOOLEAN JpegAlignToByte(JpegBitWriter* writer) {
  BOOLEAN ok = JpegEmitBits(writer, 0x7F, 7);
  writer->Bits = 0;
  writer->BitCount = 0;
  return ok;
}
