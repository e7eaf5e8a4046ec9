// The adapter's 1024-byte command block on data channel 1, in both directions: magic "KXgt",
// command word, display identifier, the command's fields, zero fill. Little-endian, read and
// written byte by byte. The builders serve the far side's announcements and the tests that play
// the host.
#pragma once

#include <cstdint>
#include <vector>

#include "host/ntdef.h"

namespace kxsim {

constexpr size_t kCommandBlockSize = 1024;

enum BlockCommand : USHORT {
  kCommandMode = 1,
  kCommandStop = 2,
  kCommandFrame = 3,
  kCommandAttach = 16,  // from the adapter: a display report of the given size follows
  kCommandDetach = 17,  // from the adapter: the display with the given identifier is gone
};

constexpr UCHAR kEncodingJpeg = 0x80;

struct ModeFields {
  USHORT width = 0;
  USHORT height = 0;
  USHORT bitsPerPixel = 0;
  USHORT modeExtra = 0;
};

struct FrameFields {
  UCHAR encoding = 0;
  USHORT x = 0;
  USHORT y = 0;
  USHORT rectWidth = 0;
  USHORT rectHeight = 0;
  USHORT imageWidth = 0;
  USHORT imageHeight = 0;
  ULONG payloadLength = 0;
  ULONG payloadLength2 = 0;
  ULONG frameOffset = 0;
};

struct CommandBlock {
  bool magicOk = false;
  USHORT command = 0;
  LONG displayId = 0;  // for command 16 the report size, for 17 the display identifier
  ModeFields mode;     // command 1
  FrameFields frame;   // command 3
  // A byte that no field of the command covers is not 0 (unknown commands: not checked).
  bool fillClean = true;
};

bool HasBlockMagic(const uint8_t* bytes, size_t size);
CommandBlock ParseCommandBlock(const uint8_t* block);

std::vector<uint8_t> BuildModeBlock(LONG displayId, const ModeFields& mode);
std::vector<uint8_t> BuildStopBlock(LONG displayId);
std::vector<uint8_t> BuildFrameBlock(LONG displayId, const FrameFields& frame);
std::vector<uint8_t> BuildAttachBlock(ULONG reportSize);
std::vector<uint8_t> BuildDetachBlock(ULONG displayId);
// The frame fields of a rectangle as the host fills them for a JPEG stream of `payloadLength`
// bytes on an output `outputWidth` pixels wide at `bitsPerPixel`.
FrameFields FrameFor(USHORT x, USHORT y, USHORT width, USHORT height, ULONG payloadLength,
                     USHORT outputWidth, USHORT bitsPerPixel);
// A payload padded to the next multiple of 1024 bytes.
std::vector<uint8_t> PadPayload(std::vector<uint8_t> stream);

}  // namespace kxsim
