// Command blocks: parsing and building, byte by byte.
#include "sim/adapter/command_block.h"

namespace kxsim {
namespace {

constexpr uint8_t kMagic[4] = {'K', 'X', 'g', 't'};

USHORT Get16(const uint8_t* at) { return (USHORT)(at[0] | at[1] << 8); }
ULONG Get32(const uint8_t* at) {
  return (ULONG)at[0] | (ULONG)at[1] << 8 | (ULONG)at[2] << 16 | (ULONG)at[3] << 24;
}
void Put16(uint8_t* at, USHORT value) {
  at[0] = (uint8_t)value;
  at[1] = (uint8_t)(value >> 8);
}
void Put32(uint8_t* at, ULONG value) {
  for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

bool ZeroFrom(const uint8_t* block, size_t from, size_t to) {
  for (size_t i = from; i < to; i++) {
    if (block[i] != 0) return false;
  }
  return true;
}

std::vector<uint8_t> Head(USHORT command, ULONG displayId) {
  std::vector<uint8_t> block(kCommandBlockSize, 0);
  for (int i = 0; i < 4; i++) block[i] = kMagic[i];
  Put16(&block[4], command);
  Put32(&block[6], displayId);
  return block;
}

}  // namespace

bool HasBlockMagic(const uint8_t* bytes, size_t size) {
  if (size < 4) return false;
  for (int i = 0; i < 4; i++) {
    if (bytes[i] != kMagic[i]) return false;
  }
  return true;
}

CommandBlock ParseCommandBlock(const uint8_t* block) {
  CommandBlock parsed;
  parsed.magicOk = HasBlockMagic(block, kCommandBlockSize);
  parsed.command = Get16(block + 4);
  parsed.displayId = (LONG)Get32(block + 6);
  switch (parsed.command) {
    case kCommandMode:
      parsed.mode = {Get16(block + 10), Get16(block + 12), Get16(block + 14), Get16(block + 16)};
      parsed.fillClean = ZeroFrom(block, 18, kCommandBlockSize);
      break;
    case kCommandStop: parsed.fillClean = ZeroFrom(block, 10, kCommandBlockSize); break;
    case kCommandFrame: {
      FrameFields& frame = parsed.frame;
      frame.encoding = block[10];
      frame.x = Get16(block + 14);
      frame.y = Get16(block + 16);
      frame.rectWidth = Get16(block + 18);
      frame.rectHeight = Get16(block + 20);
      frame.imageWidth = Get16(block + 24);
      frame.imageHeight = Get16(block + 26);
      frame.payloadLength = Get32(block + 28);
      frame.payloadLength2 = Get32(block + 32);
      frame.frameOffset = Get32(block + 36);
      parsed.fillClean = ZeroFrom(block, 11, 14) && ZeroFrom(block, 22, 24) &&
                         ZeroFrom(block, 40, kCommandBlockSize);
      break;
    }
    case kCommandAttach:
    case kCommandDetach: parsed.fillClean = ZeroFrom(block, 10, kCommandBlockSize); break;
    default: break;
  }
  return parsed;
}

std::vector<uint8_t> BuildModeBlock(LONG displayId, const ModeFields& mode) {
  std::vector<uint8_t> block = Head(kCommandMode, (ULONG)displayId);
  Put16(&block[10], mode.width);
  Put16(&block[12], mode.height);
  Put16(&block[14], mode.bitsPerPixel);
  Put16(&block[16], mode.modeExtra);
  return block;
}

std::vector<uint8_t> BuildStopBlock(LONG displayId) {
  return Head(kCommandStop, (ULONG)displayId);
}

std::vector<uint8_t> BuildFrameBlock(LONG displayId, const FrameFields& frame) {
  std::vector<uint8_t> block = Head(kCommandFrame, (ULONG)displayId);
  block[10] = frame.encoding;
  Put16(&block[14], frame.x);
  Put16(&block[16], frame.y);
  Put16(&block[18], frame.rectWidth);
  Put16(&block[20], frame.rectHeight);
  Put16(&block[24], frame.imageWidth);
  Put16(&block[26], frame.imageHeight);
  Put32(&block[28], frame.payloadLength);
  Put32(&block[32], frame.payloadLength2);
  Put32(&block[36], frame.frameOffset);
  return block;
}

std::vector<uint8_t> BuildAttachBlock(ULONG reportSize) { return Head(kCommandAttach, reportSize); }

std::vector<uint8_t> BuildDetachBlock(ULONG displayId) { return Head(kCommandDetach, displayId); }

FrameFields FrameFor(USHORT x, USHORT y, USHORT width, USHORT height, ULONG payloadLength,
                     USHORT outputWidth, USHORT bitsPerPixel) {
  FrameFields frame;
  frame.encoding = kEncodingJpeg;
  frame.x = x;
  frame.y = y;
  frame.rectWidth = frame.imageWidth = width;
  frame.rectHeight = frame.imageHeight = height;
  frame.payloadLength = frame.payloadLength2 = payloadLength;
  frame.frameOffset = (ULONG)(bitsPerPixel / 8) * (x + (ULONG)outputWidth * y);
  return frame;
}

std::vector<uint8_t> PadPayload(std::vector<uint8_t> stream) {
  size_t padded = (stream.size() + kCommandBlockSize - 1) / kCommandBlockSize * kCommandBlockSize;
  stream.resize(padded, 0);
  return stream;
}

}  // namespace kxsim
