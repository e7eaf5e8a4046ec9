// The update descriptor a display driver hands over with each present: 32 bytes, little-endian.
// It is read from the kernel's own copy, once.
#include "driver/kxbus.h"

namespace {

ULONG GetU32(const UCHAR* at) {
  return (ULONG)at[0] | (ULONG)at[1] << 8 | (ULONG)at[2] << 16 | (ULONG)at[3] << 24;
}

}  // namespace

void ReadUpdateDescriptor(const UCHAR* bytes, UpdateDescriptor* descriptor) {
  descriptor->Left = (LONG)GetU32(bytes);
  descriptor->Top = (LONG)GetU32(bytes + 4);
  descriptor->Right = (LONG)GetU32(bytes + 8);
  descriptor->Bottom = (LONG)GetU32(bytes + 12);
  descriptor->SourceOffset = GetU32(bytes + 16);
  descriptor->SourcePitch = (LONG)GetU32(bytes + 20);
  descriptor->TotalSize = GetU32(bytes + 24);
  descriptor->BitsPerPixel = bytes[28];
}
