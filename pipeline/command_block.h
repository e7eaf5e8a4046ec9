// The adapter's 1024-byte command block: "KXgt", a command word, the display identifier and the
// command's fields, little-endian, every other byte zero. Blocks go to the adapter on data
// channel 1; a frame-data block (command 3) is followed by its JPEG stream, padded with zeros to a
// multiple of 1024 bytes.
#pragma once

#include "nt.h"

constexpr ULONG kCommandBlockSize = 1024;
constexpr USHORT kCommandMode = 1;
constexpr USHORT kCommandStop = 2;
constexpr USHORT kCommandFrameData = 3;
constexpr UCHAR kEncodingJpeg = 0x80;

struct ModeFields {
  USHORT Width;
  USHORT Height;
  USHORT BitsPerPixel;
  USHORT ModeExtra;
};

struct FrameDataFields {
  USHORT X;
  USHORT Y;
  USHORT Width;   // of the rectangle, and of the JPEG image
  USHORT Height;
  ULONG PayloadLength;  // the stream's exact length
  ULONG FrameOffset;
};

// Each fills all 1024 bytes of `block`.
void BuildModeBlock(UCHAR* block, LONG displayId, const ModeFields* mode);
void BuildStopBlock(UCHAR* block, LONG displayId);
void BuildFrameDataBlock(UCHAR* block, LONG displayId, const FrameDataFields* fields);

// The payload transfer's length: the stream's, rounded up to a multiple of 1024.
ULONG PaddedPayloadLength(ULONG streamLength);
// The byte offset of pixel (x, y) in a frame laid out row after row at `bitsPerPixel`.
ULONG FrameOffsetOf(ULONG bitsPerPixel, ULONG outputWidth, ULONG x, ULONG y);
