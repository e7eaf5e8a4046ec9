// The output side: the caller's memory stream and the flushes of the internal byte buffer into it.
//
// Rules:
// - A write copies min(requested, capacity - position) bytes, advances by that much and fails
//   whenever it copied less than requested; what fits stays in the caller's buffer.
// - The internal buffer is flushed to the stream before each block (and before the final bit
//   flush) when no more than JpegBlockReserve bytes are free in it, and after the header and EOI.
//   A flush the stream cannot take whole fails, and the failure ends the call.
#include "jpeg/encoder.h"

BOOLEAN MemoryOutputStreamWrite(MemoryOutputStream* stream, const UCHAR* bytes, ULONG count,
                                ULONG* copied) {
  ULONG room = stream->Capacity - stream->Position;
  ULONG taken = count < room ? count : room;
  if (taken != 0) RtlCopyMemory(stream->Buffer + stream->Position, bytes, taken);
  stream->Position += taken;
  *copied = taken;
  return taken == count;
}

BOOLEAN JpegFlushOutput(JpegEncoder* encoder) {
  JpegBitWriter* writer = &encoder->Writer;
  ULONG copied;
  BOOLEAN ok = MemoryOutputStreamWrite(&encoder->Output, writer->Buffer, writer->Fill, &copied);
  writer->Fill = 0;
  return ok;
}
