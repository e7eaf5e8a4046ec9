// The hot stages of the encoder as one table of routines per processor feature level, chosen once.
//
// Rules:
// - The levels, lowest first, are portable, SSE2, SSSE3, SSE4.1/4.2, AVX and AVX2. A level holds
//   its own kernel for a stage only where its instructions have something to add, and the kernel
//   of the level below otherwise.
// - Every kernel computes exactly the arithmetic of the portable one, so the stream is the same
//   byte for byte on every level. The portable kernels are the reference, and the ones used until
//   a selection is made.
// - The stream layout reaches the stages only through the table, so a level plugs in here without
//   touching the callers.
#pragma once

#include "jpeg/bit_writer.h"
#include "nt.h"

enum JpegStageLevel : ULONG {
  JpegLevelPortable = 0,
  JpegLevelSse2,
  JpegLevelSsse3,
  JpegLevelSse41,  // SSE4.1 and SSE4.2
  JpegLevelAvx,
  JpegLevelAvx2,
  JpegLevelCount,
};

// The AC values whose strings the vector coders find whole in JpegHuffmanCodes::SmallString.
constexpr LONG JpegSmallValueLimit = 31;  // -31..31
constexpr ULONG JpegSmallValueSlots = 64;  // per run, index value + 32

// A Huffman table as the coder uses it, per symbol value: the code and its length (length 0: no
// code; nothing is emitted for it), and for the vector kernels the code already shifted left by
// the symbol's size (its low four bits) with the length that size adds. For an AC value of at
// most JpegSmallValueLimit after a run of 0..15 zeros, SmallString and SmallLength hold the
// whole string: the symbol's ShiftedCode with the value bits in it, and its TotalLength (slots for
// 0 and -32 unused).
struct JpegHuffmanCodes {
  USHORT Code[256];
  UCHAR Length[256];
  ULONG ShiftedCode[256];  // Code << (symbol & 15)
  UCHAR TotalLength[256];  // Length + (symbol & 15)
  ULONG SmallString[16 * JpegSmallValueSlots];  // [run * 64 + value + 32]
  UCHAR SmallLength[16 * JpegSmallValueSlots];
};

// Converts `width` source pixels (blue, green, red at the start of each `bytesPerPixel`-byte
// pixel) into one row each of Y, Cb and Cr.
typedef VOID JpegConvertRowRoutine(const UCHAR* source, ULONG bytesPerPixel, ULONG width, PUCHAR y,
                                   PUCHAR cb, PUCHAR cr);
// Halves one row horizontally into `outputWidth` samples.
typedef VOID JpegReduceRowH2V1Routine(const UCHAR* row, ULONG outputWidth, PUCHAR output);
// Halves a pair of rows in both directions into `outputWidth` samples.
typedef VOID JpegReduceRowH2V2Routine(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                                      PUCHAR output);
// Level shift, forward DCT and quantisation of the 8 x 8 samples at `samples` (rows `pitch`
// bytes apart) into 64 coefficients in natural order.
typedef VOID JpegTransformBlockRoutine(const UCHAR* samples, ULONG pitch, const USHORT* reciprocals,
                                       SHORT* coefficients);
// The same for two blocks of one quantisation table whose rows lie `pitch` bytes apart.
typedef VOID JpegTransformBlockPairRoutine(const UCHAR* first, const UCHAR* second, ULONG pitch,
                                           const USHORT* reciprocals, SHORT* firstCoefficients,
                                           SHORT* secondCoefficients);
// Huffman-codes one block of natural-order coefficients; FALSE when a byte did not fit.
typedef BOOLEAN JpegCodeBlockRoutine(JpegBitWriter* writer, const SHORT* coefficients,
                                     SHORT* lastDc, const JpegHuffmanCodes* dcCodes,
                                     const JpegHuffmanCodes* acCodes);

// What coding one block of an MCU needs: its component's DC prediction and Huffman tables.
struct JpegBlockCoding {
  SHORT* LastDc;
  const JpegHuffmanCodes* DcCodes;
  const JpegHuffmanCodes* AcCodes;
};
// Hands the internal buffer's bytes to the output stream; FALSE when the stream cannot take them.
typedef BOOLEAN JpegFlushRoutine(PVOID context);
// Huffman-codes the `count` blocks of one MCU (64 coefficients each, in a row), block b with
// plan[b], and before each block flushes the internal buffer when no more than JpegBlockReserve
// bytes are free in it. FALSE when a byte did not fit or a flush failed. Between blocks a vector
// coder may keep bits of its own; it leaves the writer as the block coder would.
typedef BOOLEAN JpegCodeMcuRoutine(JpegBitWriter* writer, const SHORT* coefficients, ULONG count,
                                   const JpegBlockCoding* plan, JpegFlushRoutine* flush,
                                   PVOID context);

struct JpegStageRoutines {
  const char* Name;
  ULONG Level;  // JpegStageLevel
  JpegConvertRowRoutine* ConvertRow;
  JpegReduceRowH2V1Routine* ReduceRowH2V1;
  JpegReduceRowH2V2Routine* ReduceRowH2V2;
  JpegTransformBlockRoutine* TransformBlock;
  JpegTransformBlockPairRoutine* TransformBlockPair;
  JpegCodeBlockRoutine* CodeBlock;
  JpegCodeMcuRoutine* CodeMcu;
};

// stages.cpp
extern const JpegStageRoutines JpegPortableStages;
// The table encoders use now.
const JpegStageRoutines* JpegCurrentStageRoutines(VOID);
// Makes `routines` the table of every later encoder (the selection, and tests forcing a level).
VOID JpegUseStageRoutines(const JpegStageRoutines* routines);
// The table of each level this build holds, from the portable one (index 0) up; NULL past the
// end. A table may be one the processor cannot run: see JpegProcessorRunsLevel.
const JpegStageRoutines* JpegStageRoutinesAt(ULONG level);
// The level whose table carries `name` ("portable", "sse2", "ssse3", "sse41", "avx", "avx2");
// FALSE for any other name.
BOOLEAN JpegStageLevelNamed(const char* name, ULONG* level);
// Caps the levels later selections may pick (a host program forcing one, for tests and
// benchmarks). The selection still never picks a level the processor cannot run.
VOID JpegLimitStageLevel(ULONG level);

// processor_level.cpp
// What decides the level: CPUID leaves 1, 7.0 and 0x80000001 where the processor has them, and
// XCR0 (read only when leaf 1 reports OSXSAVE, else 0).
struct JpegProcessorFeatures {
  BOOLEAN HasLeaf1;
  ULONG Leaf1Ecx;
  ULONG Leaf1Edx;
  BOOLEAN HasLeaf7;
  ULONG Leaf7Ebx;
  BOOLEAN HasLeaf80000001;
  ULONG Leaf80000001Ecx;
  ULONG Xcr0;
};
// The highest level those features run; portable for a processor without SSE2.
ULONG JpegLevelForFeatures(const JpegProcessorFeatures* features);
// Whether this processor and its operating system can run the kernels of `level`.
BOOLEAN JpegProcessorRunsLevel(ULONG level);
// The highest level this processor allows.
ULONG JpegProcessorStageLevel(VOID);

// color.cpp
JpegConvertRowRoutine JpegConvertRowPortable;
JpegReduceRowH2V1Routine JpegReduceRowH2V1Portable;
JpegReduceRowH2V2Routine JpegReduceRowH2V2Portable;
// color_sse2.cpp, color_ssse3.cpp, color_avx.cpp, color_avx2.cpp
JpegConvertRowRoutine JpegConvertRowSse2;
JpegReduceRowH2V1Routine JpegReduceRowH2V1Sse2;
JpegReduceRowH2V2Routine JpegReduceRowH2V2Sse2;
JpegReduceRowH2V1Routine JpegReduceRowH2V1Ssse3;
JpegReduceRowH2V2Routine JpegReduceRowH2V2Ssse3;
JpegConvertRowRoutine JpegConvertRowAvx;
JpegReduceRowH2V1Routine JpegReduceRowH2V1Avx;
JpegReduceRowH2V2Routine JpegReduceRowH2V2Avx;
JpegConvertRowRoutine JpegConvertRowAvx2;
JpegReduceRowH2V1Routine JpegReduceRowH2V1Avx2;
JpegReduceRowH2V2Routine JpegReduceRowH2V2Avx2;

// dct.cpp
JpegTransformBlockRoutine JpegTransformBlockPortable;
JpegTransformBlockPairRoutine JpegTransformBlockPairPortable;
// dct_sse2.cpp, dct_ssse3.cpp, dct_sse41.cpp, dct_avx.cpp: one block per 128-bit vector.
JpegTransformBlockRoutine JpegTransformBlockSse2;
JpegTransformBlockPairRoutine JpegTransformBlockPairSse2;
JpegTransformBlockRoutine JpegTransformBlockSsse3;
JpegTransformBlockPairRoutine JpegTransformBlockPairSsse3;
JpegTransformBlockRoutine JpegTransformBlockSse41;
JpegTransformBlockPairRoutine JpegTransformBlockPairSse41;
JpegTransformBlockRoutine JpegTransformBlockAvx;
JpegTransformBlockPairRoutine JpegTransformBlockPairAvx;
// dct_avx2.cpp: two blocks per 256-bit vector; a single block goes through the AVX kernel.
JpegTransformBlockPairRoutine JpegTransformBlockPairAvx2;

// huffman.cpp
JpegCodeBlockRoutine JpegCodeBlockPortable;
JpegCodeMcuRoutine JpegCodeMcuPortable;
// huffman_sse2.cpp, huffman_ssse3.cpp, huffman_avx.cpp, huffman_avx2.cpp
JpegCodeBlockRoutine JpegCodeBlockSse2;
JpegCodeMcuRoutine JpegCodeMcuSse2;
JpegCodeBlockRoutine JpegCodeBlockSsse3;
JpegCodeMcuRoutine JpegCodeMcuSsse3;
JpegCodeBlockRoutine JpegCodeBlockAvx;
JpegCodeMcuRoutine JpegCodeMcuAvx;
JpegCodeBlockRoutine JpegCodeBlockAvx2;
JpegCodeMcuRoutine JpegCodeMcuAvx2;
