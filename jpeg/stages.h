// The hot stages of the encoder as one table of routines, chosen once per processor.
//
// Each stage exists in one implementation per processor feature level; the portable one is the
// reference that every level matches byte for byte, and the one used until a selection is made.
// The stream layout reaches the stages only through the table, so a new level plugs in here
// without touching the callers.
#pragma once

#include "nt.h"
#include "jpeg/bit_writer.h"

// A Huffman table as the coder uses it: code and code length per symbol value (0 = unused).
struct JpegHuffmanCodes {
  USHORT Code[256];
  UCHAR Length[256];
};

// Converts `width` source pixels (blue, green, red at the start of each `bytesPerPixel`-byte
// pixel) into one row each of Y, Cb and Cr.
typedef VOID JpegConvertRowRoutine(const UCHAR* source, ULONG bytesPerPixel, ULONG width,
                                   PUCHAR y, PUCHAR cb, PUCHAR cr);
// Halves one row horizontally into `outputWidth` samples.
typedef VOID JpegReduceRowH2V1Routine(const UCHAR* row, ULONG outputWidth, PUCHAR output);
// Halves a pair of rows in both directions into `outputWidth` samples.
typedef VOID JpegReduceRowH2V2Routine(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                                      PUCHAR output);
// Level shift, forward DCT and quantisation of the 8 x 8 samples at `samples` (rows `pitch`
// bytes apart) into 64 coefficients in natural order.
typedef VOID JpegTransformBlockRoutine(const UCHAR* samples, ULONG pitch,
                                       const USHORT* reciprocals, SHORT* coefficients);
// Huffman-codes one block of natural-order coefficients; FALSE when a byte did not fit.
typedef BOOLEAN JpegCodeBlockRoutine(JpegBitWriter* writer, const SHORT* coefficients,
                                     SHORT* lastDc, const JpegHuffmanCodes* dcCodes,
                                     const JpegHuffmanCodes* acCodes);

struct JpegStageRoutines {
  const char* Name;
  JpegConvertRowRoutine* ConvertRow;
  JpegReduceRowH2V1Routine* ReduceRowH2V1;
  JpegReduceRowH2V2Routine* ReduceRowH2V2;
  JpegTransformBlockRoutine* TransformBlock;
  JpegCodeBlockRoutine* CodeBlock;
};

// stages.cpp
extern const JpegStageRoutines JpegPortableStages;
// The table encoders use now.
const JpegStageRoutines* JpegCurrentStageRoutines(VOID);
// Makes `routines` the table of every later encoder (the selection, and tests forcing a level).
VOID JpegUseStageRoutines(const JpegStageRoutines* routines);
// The implementations this build holds, from the portable one (index 0) up; NULL past the end.
const JpegStageRoutines* JpegStageRoutinesAt(ULONG index);

// color.cpp
JpegConvertRowRoutine JpegConvertRowPortable;
JpegReduceRowH2V1Routine JpegReduceRowH2V1Portable;
JpegReduceRowH2V2Routine JpegReduceRowH2V2Portable;

// dct.cpp
JpegTransformBlockRoutine JpegTransformBlockPortable;

// huffman.cpp
JpegCodeBlockRoutine JpegCodeBlockPortable;
