// The fixed tables of the baseline process: zig-zag order, the Annex K quantisation and Huffman
// tables of ITU-T T.81.
#pragma once

#include "nt.h"

// Natural (row-major) index of each zig-zag position, T.81 Figure A.6.
extern const UCHAR JpegZigzagToNatural[64];

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
