// The encoder object of one JpegEncodeFrame call and the operations of its files.
//
// One JpegEncoder lives for one call: it is built from the parameters, writes the whole stream
// (or the slices of it one thread codes) and is torn down again; a thread that codes rectangle
// after rectangle may keep one and set it up anew for each. Its working memory covers one MCU
// row, so it grows with the rectangle's width, not its area. All of it is paged pool tagged
// "KMOD", freed on every path.
#pragma once

#include "nt.h"
#include "jpeg/bit_writer.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "jpeg/tables.h"

#define JPEG_POOL_TAG KX_POOL_TAG('K', 'M', 'O', 'D')

constexpr ULONG JpegComponentCount = 3;
constexpr ULONG JpegMaxDimension = 65535;  // the frame header's 16-bit fields
constexpr ULONG JpegRestartInterval = 1;   // MCUs between restart markers

// The writer's version record. Every processor level carries the same one, so the comment
// segment does not depend on the level.
struct JpegVersion {
  ULONG Major;
  ULONG Minor;
  ULONG Build;
  const char* Date;
};

// The caller's buffer. A write copies what fits and fails when that is less than asked.
struct MemoryOutputStream {
  PUCHAR Buffer;
  ULONG Capacity;
  ULONG Position;  // bytes written so far
};

struct JpegSourceImage {
  const UCHAR* Pixels;  // first pixel of the top row
  LONG Pitch;
  ULONG Width;
  ULONG Height;
  ULONG BytesPerPixel;  // 3 or 4; blue, green, red first
};

struct JpegComponent {
  UCHAR Identifier;
  UCHAR H;           // sampling factors in the frame header
  UCHAR V;
  UCHAR ReduceH;     // reduction factors from full resolution
  UCHAR ReduceV;
  UCHAR QuantTable;
  UCHAR DcTable;
  UCHAR AcTable;
  SHORT LastDc;
  PUCHAR Row;          // one MCU row at full resolution, padding included (PaddedWidth pitch)
  PUCHAR Reduced;      // the MCU row as the blocks read it: Row itself when not reduced
  ULONG ReducedPitch;  // bytes per line of Reduced
};

struct JpegQuantTable {
  UCHAR Zigzag[64];       // as DQT carries it
  USHORT Reciprocal[64];  // natural order
};

struct JpegHuffmanTables {
  JpegHuffmanCodes Dc[2];
  JpegHuffmanCodes Ac[2];
};

struct JpegEncoder {
  JpegSourceImage Source;
  MemoryOutputStream Output;
  const UCHAR* Comment;  // text after the version in the comment segment
  ULONG CommentLength;
  LONG Quality;
  ULONG Sampling;
  UCHAR DensityUnits;
  USHORT XDensity;
  USHORT YDensity;

  // Geometry of the MCU grid.
  ULONG McuWidth;
  ULONG McuHeight;
  ULONG McusPerRow;
  ULONG McuRows;
  ULONG PaddedWidth;
  ULONG PaddingColumns;
  ULONG PaddingRows;
  ULONG BlocksPerMcu;

  JpegComponent Components[JpegComponentCount];  // Y, Cb, Cr
  JpegQuantTable Quant[2];
  LONG QuantQuality;  // the quality Quant was built for; -1 before the first
  JpegHuffmanTables* Huffman;

  ULONG RestartInterval;
  ULONG RestartsToGo;  // MCUs left before the next restart marker
  ULONG NextRestart;   // index of the next marker, 0..7

  SHORT* Coefficients;  // one MCU row of quantised blocks, in MCU order
  JpegBitWriter Writer;
  PVOID WorkMemory;     // the row buffers, coefficients and internal byte buffer
  ULONG WorkBytes;      // what WorkMemory can hold, alignment aside
  const JpegStageRoutines* Stages;
};

// encode_frame.cpp: JpegEncodeFrame with the stage table it is to use.
LONG JpegEncodeFrameWithStages(JpegEncodeParams* params, const JpegStageRoutines* stages);

// encoder.cpp: the object and its set-up, in calling order.
JpegEncoder* JpegCreateEncoder(const JpegStageRoutines* stages);
VOID JpegDestroyEncoder(JpegEncoder* encoder);
VOID JpegAttachOutput(JpegEncoder* encoder, PUCHAR buffer, ULONG capacity);
VOID JpegSetComment(JpegEncoder* encoder, const UCHAR* text, ULONG length);
VOID JpegAttachSource(JpegEncoder* encoder, const UCHAR* pixels, LONG pitch, ULONG width,
                      ULONG height, ULONG bytesPerPixel);
BOOLEAN JpegSetParameters(JpegEncoder* encoder, ULONG sampling, LONG quality);
BOOLEAN JpegAllocateWorkMemory(JpegEncoder* encoder);
// Empties the internal buffer and the pending bits before a slice.
VOID JpegResetWriter(JpegEncoder* encoder);

// stream_layout.cpp
// The header segments from SOI to DRI, flushed to the output.
BOOLEAN JpegWriteHeader(JpegEncoder* encoder);
// The MCU rows first .. first + count - 1 of the scan: the scan header before row 0, the restart
// marker before the first MCU of any other row, EOI after the last row; flushed to the output.
BOOLEAN JpegWriteRows(JpegEncoder* encoder, ULONG first, ULONG count);
extern const JpegVersion JpegWriterVersion;

// output.cpp
BOOLEAN MemoryOutputStreamWrite(MemoryOutputStream* stream, const UCHAR* bytes, ULONG count,
                                ULONG* copied);
BOOLEAN JpegFlushOutput(JpegEncoder* encoder);

// Flushes the internal buffer when no more than JpegBlockReserve bytes are free in it.
inline BOOLEAN JpegKeepReserve(JpegEncoder* encoder) {
  return JpegInternalBufferSize - encoder->Writer.Fill > JpegBlockReserve ||
         JpegFlushOutput(encoder);
}

// color.cpp
VOID JpegPrepareMcuRow(JpegEncoder* encoder, ULONG mcuRow);

// quant_tables.cpp
VOID JpegBuildQuantTable(const UCHAR* base, LONG quality, JpegQuantTable* table);

// huffman.cpp
VOID JpegBuildHuffmanCodes(const JpegHuffmanSpec* spec, JpegHuffmanCodes* codes);
