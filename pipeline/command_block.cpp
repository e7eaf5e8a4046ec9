// Command blocks, written byte by byte so that every build puts the same bytes on the wire.
#include "pipeline/command_block.h"

namespace {

void PutU16(UCHAR* at, ULONG value) {
  at[0] = (UCHAR)value;
  at[1] = (UCHAR)(value >> 8);
}

void PutU32(UCHAR* at, ULONG value) {
  PutU16(at, value);
  PutU16(at + 2, value >> 16);
}

void BuildHead(UCHAR* block, USHORT command, LONG displayId) {
  RtlZeroMemory(block, kCommandBlockSize);
  block[0] = 'K';
  block[1] = 'X';
  block[2] = 'g';
  block[3] = 't';
  PutU16(block + 4, command);
  PutU32(block + 6, (ULONG)displayId);
}

}  // namespace

void BuildModeBlock(UCHAR* block, LONG displayId, const ModeFields* mode) {
  BuildHead(block, kCommandMode, displayId);
  PutU16(block + 10, mode->Width);
  PutU16(block + 12, mode->Height);
  PutU16(block + 14, mode->BitsPerPixel);
  PutU16(block + 16, mode->ModeExtra);
}

void BuildStopBlock(UCHAR* block, LONG displayId) { BuildHead(block, kCommandStop, displayId); }

void BuildFrameDataBlock(UCHAR* block, LONG displayId, const FrameDataFields* fields) {
  BuildHead(block, kCommandFrameData, displayId);
  block[10] = kEncodingJpeg;
  PutU16(block + 14, fields->X);
  PutU16(block + 16, fields->Y);
  PutU16(block + 18, fields->Width);
  PutU16(block + 20, fields->Height);
  PutU16(block + 24, fields->Width);
  PutU16(block + 26, fields->Height);
  PutU32(block + 28, fields->PayloadLength);
  PutU32(block + 32, fields->PayloadLength);
  PutU32(block + 36, fields->FrameOffset);
}

ULONG PaddedPayloadLength(ULONG streamLength) {
  return (streamLength + (kCommandBlockSize - 1)) & ~(kCommandBlockSize - 1);
}

ULONG FrameOffsetOf(ULONG bitsPerPixel, ULONG outputWidth, ULONG x, ULONG y) {
  return (bitsPerPixel / 8) * (x + outputWidth * y);
}
