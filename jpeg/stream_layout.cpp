// The stream: header segments, the scan with its restart markers, and EOI.
//
// Rules:
// - Segment order and contents are fixed: SOI, APP0 (JFIF 1.02), COM (the writer's version),
//   DQT 0 and 1, SOF0 with component identifiers 0, 1 and 2, DHT for DC 0, AC 0, DC 1, AC 1, DRI;
//   then SOS, the entropy-coded data and EOI. Marker codes and lengths are big-endian 16 bits.
// - The scan runs one MCU row at a time: conversion and reduction, the transform of every block,
//   then the Huffman coding of the row's MCUs. Blocks within an MCU: the luminance blocks left to
//   right and top to bottom, then Cb, then Cr. A run of rows can be coded alone (a slice): with
//   one MCU per restart interval it starts from the restart state the rows above leave.
// - One MCU per restart interval: a marker RSTm (m counting 0..7 and wrapping) precedes every MCU
//   but the first, after padding the bits to a byte boundary; each marker resets the DC
//   predictions. No marker follows the last MCU.
#include "jpeg/encoder.h"

const JpegVersion JpegWriterVersion = {3, 2, 40817, "Mar 02 2026"};

namespace {

constexpr UCHAR MarkerSoi = 0xD8;
constexpr UCHAR MarkerEoi = 0xD9;
constexpr UCHAR MarkerApp0 = 0xE0;
constexpr UCHAR MarkerCom = 0xFE;
constexpr UCHAR MarkerDqt = 0xDB;
constexpr UCHAR MarkerSof0 = 0xC0;
constexpr UCHAR MarkerDht = 0xC4;
constexpr UCHAR MarkerDri = 0xDD;
constexpr UCHAR MarkerSos = 0xDA;
constexpr UCHAR MarkerRst0 = 0xD0;

constexpr ULONG VersionTextCapacity = 96;

BOOLEAN Put16(JpegBitWriter* writer, ULONG value) {
  return JpegPutByte(writer, (UCHAR)(value >> 8)) && JpegPutByte(writer, (UCHAR)value);
}

BOOLEAN PutMarker(JpegBitWriter* writer, UCHAR code) {
  return JpegPutByte(writer, 0xFF) && JpegPutByte(writer, code);
}

// A marker and the length field of a segment whose contents take `contentLength` bytes.
BOOLEAN PutSegmentStart(JpegBitWriter* writer, UCHAR code, ULONG contentLength) {
  return PutMarker(writer, code) && Put16(writer, contentLength + 2);
}

VOID AppendText(char* text, ULONG* length, const char* piece) {
  for (; *piece != '\0' && *length < VersionTextCapacity; piece++) text[(*length)++] = *piece;
}

VOID AppendDecimal(char* text, ULONG* length, ULONG value) {
  char digits[10];
  ULONG count = 0;
  do {
    digits[count++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count != 0 && *length < VersionTextCapacity) text[(*length)++] = digits[--count];
}

// "Kestrelix KX JPEG encoder [%d.%d.%d] - %s" of the writer's version.
ULONG FormatVersionText(char* text) {
  ULONG length = 0;
  AppendText(text, &length, "Kestrelix KX JPEG encoder [");
  AppendDecimal(text, &length, JpegWriterVersion.Major);
  AppendText(text, &length, ".");
  AppendDecimal(text, &length, JpegWriterVersion.Minor);
  AppendText(text, &length, ".");
  AppendDecimal(text, &length, JpegWriterVersion.Build);
  AppendText(text, &length, "] - ");
  AppendText(text, &length, JpegWriterVersion.Date);
  return length;
}

BOOLEAN PutApp0(JpegEncoder* encoder) {
  static const UCHAR Identifier[5] = {'J', 'F', 'I', 'F', 0};
  JpegBitWriter* writer = &encoder->Writer;
  return PutSegmentStart(writer, MarkerApp0, 14) && JpegPutBytes(writer, Identifier, 5) &&
         JpegPutByte(writer, 1) && JpegPutByte(writer, 2) &&
         JpegPutByte(writer, encoder->DensityUnits) && Put16(writer, encoder->XDensity) &&
         Put16(writer, encoder->YDensity) && JpegPutByte(writer, 0) && JpegPutByte(writer, 0);
}

// The version text, ";", the caller's comment and a terminating 0 byte.
BOOLEAN PutComment(JpegEncoder* encoder) {
  char text[VersionTextCapacity];
  ULONG textLength = FormatVersionText(text);
  JpegBitWriter* writer = &encoder->Writer;
  return PutSegmentStart(writer, MarkerCom, textLength + 1 + encoder->CommentLength + 1) &&
         JpegPutBytes(writer, reinterpret_cast<const UCHAR*>(text), textLength) &&
         JpegPutByte(writer, ';') &&
         JpegPutBytes(writer, encoder->Comment, encoder->CommentLength) && JpegPutByte(writer, 0);
}

BOOLEAN PutQuantTable(JpegEncoder* encoder, ULONG index) {
  JpegBitWriter* writer = &encoder->Writer;
  return PutSegmentStart(writer, MarkerDqt, 1 + 64) && JpegPutByte(writer, (UCHAR)index) &&
         JpegPutBytes(writer, encoder->Quant[index].Zigzag, 64);
}

BOOLEAN PutFrameHeader(JpegEncoder* encoder) {
  JpegBitWriter* writer = &encoder->Writer;
  if (!PutSegmentStart(writer, MarkerSof0, 6 + 3 * JpegComponentCount) ||
      !JpegPutByte(writer, 8) || !Put16(writer, encoder->Source.Height) ||
      !Put16(writer, encoder->Source.Width) || !JpegPutByte(writer, JpegComponentCount)) {
    return FALSE;
  }
  for (ULONG c = 0; c < JpegComponentCount; c++) {
    const JpegComponent& component = encoder->Components[c];
    if (!JpegPutByte(writer, component.Identifier) ||
        !JpegPutByte(writer, (UCHAR)(component.H * 16 + component.V)) ||
        !JpegPutByte(writer, component.QuantTable)) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN PutHuffmanTable(JpegBitWriter* writer, ULONG tableClass, ULONG index,
                        const JpegHuffmanSpec* spec) {
  return PutSegmentStart(writer, MarkerDht, 1 + 16 + spec->ValueCount) &&
         JpegPutByte(writer, (UCHAR)(tableClass * 16 + index)) &&
         JpegPutBytes(writer, spec->Counts, 16) &&
         JpegPutBytes(writer, spec->Values, spec->ValueCount);
}

BOOLEAN PutHuffmanTables(JpegEncoder* encoder) {
  JpegBitWriter* writer = &encoder->Writer;
  return PutHuffmanTable(writer, 0, 0, &JpegDcLuminanceSpec) &&
         PutHuffmanTable(writer, 1, 0, &JpegAcLuminanceSpec) &&
         PutHuffmanTable(writer, 0, 1, &JpegDcChrominanceSpec) &&
         PutHuffmanTable(writer, 1, 1, &JpegAcChrominanceSpec);
}

BOOLEAN PutRestartInterval(JpegEncoder* encoder) {
  JpegBitWriter* writer = &encoder->Writer;
  return PutSegmentStart(writer, MarkerDri, 2) && Put16(writer, encoder->RestartInterval);
}

BOOLEAN PutScanHeader(JpegEncoder* encoder) {
  JpegBitWriter* writer = &encoder->Writer;
  if (!PutSegmentStart(writer, MarkerSos, 1 + 2 * JpegComponentCount + 3) ||
      !JpegPutByte(writer, JpegComponentCount)) {
    return FALSE;
  }
  for (ULONG c = 0; c < JpegComponentCount; c++) {
    const JpegComponent& component = encoder->Components[c];
    if (!JpegPutByte(writer, component.Identifier) ||
        !JpegPutByte(writer, (UCHAR)(component.DcTable * 16 + component.AcTable))) {
      return FALSE;
    }
  }
  return JpegPutByte(writer, 0) && JpegPutByte(writer, 63) && JpegPutByte(writer, 0);
}

// Transforms every block of the prepared MCU row into the coefficient buffer, in MCU order. Blocks
// go two at a time where two of one table lie side by side: the luminance blocks of a block row,
// Cb with Cr, and without reduction the luminance blocks of two neighbouring MCUs.
VOID TransformMcuRow(JpegEncoder* encoder) {
  const JpegStageRoutines* stages = encoder->Stages;
  const JpegComponent& luma = encoder->Components[0];
  const JpegComponent& cb = encoder->Components[1];
  const JpegComponent& cr = encoder->Components[2];
  const USHORT* lumaTable = encoder->Quant[luma.QuantTable].Reciprocal;
  const USHORT* chromaTable = encoder->Quant[cb.QuantTable].Reciprocal;
  ULONG mcuCoefficients = encoder->BlocksPerMcu * 64;
  for (ULONG mcu = 0; mcu < encoder->McusPerRow; mcu++) {
    SHORT* out = encoder->Coefficients + mcu * mcuCoefficients;
    const UCHAR* samples = luma.Reduced + mcu * encoder->McuWidth;
    if (luma.H == 2) {
      for (ULONG row = 0; row < luma.V; row++, samples += 8 * luma.ReducedPitch, out += 128) {
        stages->TransformBlockPair(samples, samples + 8, luma.ReducedPitch, lumaTable, out,
                                   out + 64);
      }
    } else if (mcu % 2 == 0 && mcu + 1 < encoder->McusPerRow) {
      stages->TransformBlockPair(samples, samples + 8, luma.ReducedPitch, lumaTable, out,
                                 out + mcuCoefficients);
      out += 64;
    } else if (mcu % 2 == 0) {
      stages->TransformBlock(samples, luma.ReducedPitch, lumaTable, out);
      out += 64;
    } else {
      out += 64;  // transformed with the MCU before
    }
    stages->TransformBlockPair(cb.Reduced + mcu * 8, cr.Reduced + mcu * 8, cb.ReducedPitch,
                               chromaTable, out, out + 64);
  }
}

// Pads to a byte boundary, writes the next RSTm and resets the DC predictions.
BOOLEAN PutRestart(JpegEncoder* encoder) {
  JpegBitWriter* writer = &encoder->Writer;
  if (!JpegAlignToByte(writer) || !PutMarker(writer, (UCHAR)(MarkerRst0 + encoder->NextRestart))) {
    return FALSE;
  }
  encoder->NextRestart = (encoder->NextRestart + 1) & 7;
  for (ULONG c = 0; c < JpegComponentCount; c++) encoder->Components[c].LastDc = 0;
  encoder->RestartsToGo = encoder->RestartInterval;
  return TRUE;
}

VOID PlanMcu(JpegEncoder* encoder, JpegBlockCoding* plan) {
  ULONG lumaBlocks = encoder->BlocksPerMcu - 2;
  for (ULONG b = 0; b < encoder->BlocksPerMcu; b++) {
    JpegComponent& component = encoder->Components[b < lumaBlocks ? 0 : b - lumaBlocks + 1];
    plan[b] = JpegBlockCoding{&component.LastDc, &encoder->Huffman->Dc[component.DcTable],
                              &encoder->Huffman->Ac[component.AcTable]};
  }
}

BOOLEAN FlushForCoder(PVOID context) { return JpegFlushOutput(static_cast<JpegEncoder*>(context)); }

// The MCU's blocks in MCU order; the stage's MCU coder keeps the internal buffer's reserve before
// each block.
BOOLEAN CodeMcu(JpegEncoder* encoder, const SHORT* blocks, const JpegBlockCoding* plan) {
  if (encoder->RestartInterval != 0 && encoder->RestartsToGo == 0 && !PutRestart(encoder)) {
    return FALSE;
  }
  if (!encoder->Stages->CodeMcu(&encoder->Writer, blocks, encoder->BlocksPerMcu, plan,
                                FlushForCoder, encoder)) {
    return FALSE;
  }
  if (encoder->RestartInterval != 0) {
    if (encoder->RestartsToGo == 0) encoder->RestartsToGo = encoder->RestartInterval;
    encoder->RestartsToGo--;
  }
  return TRUE;
}

BOOLEAN CodeMcuRow(JpegEncoder* encoder) {
  JpegBlockCoding plan[6];
  PlanMcu(encoder, plan);
  const SHORT* blocks = encoder->Coefficients;
  for (ULONG mcu = 0; mcu < encoder->McusPerRow; mcu++, blocks += encoder->BlocksPerMcu * 64) {
    if (!CodeMcu(encoder, blocks, plan)) return FALSE;
  }
  return TRUE;
}

// The restart state before MCU row `first`, as the rows above it leave it: with one MCU per
// interval, the marker before its first MCU is due (none before the scan's first MCU) and the DC
// predictions start from 0 either way.
static_assert(JpegRestartInterval == 1, "a slice starts where a restart interval starts");
VOID StartRows(JpegEncoder* encoder, ULONG first) {
  for (ULONG c = 0; c < JpegComponentCount; c++) encoder->Components[c].LastDc = 0;
  ULONG mcusBefore = first * encoder->McusPerRow;
  encoder->NextRestart = mcusBefore == 0 ? 0 : (mcusBefore - 1) & 7;
  encoder->RestartsToGo = mcusBefore == 0 ? encoder->RestartInterval : 0;
}

}  // namespace

BOOLEAN JpegWriteHeader(JpegEncoder* encoder) {
  return PutMarker(&encoder->Writer, MarkerSoi) && PutApp0(encoder) && PutComment(encoder) &&
         PutQuantTable(encoder, 0) && PutQuantTable(encoder, 1) && PutFrameHeader(encoder) &&
         PutHuffmanTables(encoder) && PutRestartInterval(encoder) && JpegFlushOutput(encoder);
}

BOOLEAN JpegWriteRows(JpegEncoder* encoder, ULONG first, ULONG count) {
  StartRows(encoder, first);
  if (first == 0 && !PutScanHeader(encoder)) return FALSE;
  for (ULONG mcuRow = first; mcuRow < first + count; mcuRow++) {
    JpegPrepareMcuRow(encoder, mcuRow);
    TransformMcuRow(encoder);
    if (!CodeMcuRow(encoder)) return FALSE;
  }
  BOOLEAN last = first + count == encoder->McuRows;
  return JpegKeepReserve(encoder) && JpegAlignToByte(&encoder->Writer) &&
         (!last || PutMarker(&encoder->Writer, MarkerEoi)) && JpegFlushOutput(encoder);
}
