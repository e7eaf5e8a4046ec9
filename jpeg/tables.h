// The fixed tables of the baseline process: zig-zag order, the Annex K quantisation and Huffman
// tables of ITU-T T.81.
#pragma once

#include "nt.h"

// Natural (row-major) index of each zig-zag position, T.81 Figure A.6.
inline constexpr UCHAR JpegZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// For the vector block coders: the zig-zag positions, as bits of a 64-bit mask, of the
// coefficients of natural row `row` whose bits are set in `flags` (bit x for column x).
struct JpegZigzagMaskTable {
  ULONGLONG OfRow[8][256];  // [row][flags]
};
extern const JpegZigzagMaskTable JpegZigzagMasks;

// Annex K base quantisation tables in zig-zag order, as DQT carries them: K.1 and K.2.
extern const UCHAR JpegLuminanceQuantBase[64];
extern const UCHAR JpegChrominanceQuantBase[64];

// A Huffman table as DHT carries it: the count of codes of each length 1..16, then the symbol
// values in order of increasing code length.
struct JpegHuffmanSpec {
  UCHAR Counts[16];
  const UCHAR* Values;
  ULONG ValueCount;
};

// Annex K.3: Table K.3 (DC luminance), K.4 (DC chrominance), K.5 (AC luminance), K.6 (AC
// chrominance).
extern const JpegHuffmanSpec JpegDcLuminanceSpec;
extern const JpegHuffmanSpec JpegDcChrominanceSpec;
extern const JpegHuffmanSpec JpegAcLuminanceSpec;
extern const JpegHuffmanSpec JpegAcChrominanceSpec;
