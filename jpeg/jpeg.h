// The image compression subsystem's entry: one rectangle of blue-green-red pixels in, one complete
// baseline JPEG stream (ITU-T T.81, sequential DCT, Huffman coding, 8-bit samples) out, written
// into the caller's buffer. Every call builds its own encoder and tears it down again, so every
// stream carries its own tables and decodes alone.
#pragma once

#include "nt.h"

// Filled by the caller. All fields are 32 bits wide on the 32-bit kernel.
struct JpegEncodeParams {
  LONG Width;             // pixels, 8..65535
  LONG Height;            // pixels, 8..65535
  LONG Channels;          // bytes per source pixel: 3 (blue, green, red) or 4 (the fourth ignored)
  const UCHAR* Source;    // first pixel of the top row
  LONG SourcePitch;       // bytes from one source row to the next
  LONG Quality;           // 0..100; 0 leaves the tables unscaled
  LONG Sampling;          // chroma sampling code 0..3
  UCHAR* Output;          // receives the stream
  LONG OutputCapacity;    // its size in bytes
  LONG OutputLength;      // out: bytes of stream written; set only on success
};

// Chroma sampling codes: the luminance sampling factors (H, V); chroma is always 1, 1.
enum JpegSampling : LONG {
  JpegSampling444 = 0,       // 1, 1: MCU 8 x 8
  JpegSampling422 = 1,       // 2, 1: MCU 16 x 8
  JpegSampling422Alias = 2,  // 2, 1: the same stream as code 1
  JpegSampling420 = 3,       // 2, 2: MCU 16 x 16
};

// Results of JpegEncodeFrame; any non-zero result means there is no stream.
enum JpegResult : LONG {
  JpegResultOk = 0,
  JpegResultHeaderFailed = -3,  // working memory, or the output could not take the header
  JpegResultScanFailed = -4,    // the output filled up, or a primitive reported an error
  JpegResultNoEncoder = -5,     // the encoder object could not be allocated
  JpegResultBadSize = -6,       // channel count or a size outside what the stream can carry
  JpegResultBadArgument = -10,  // null pointer, sampling code, or no Huffman table memory
};

// Encodes one rectangle. Runs at PASSIVE_LEVEL (working memory is paged pool, tag "KMOD").
LONG JpegEncodeFrame(JpegEncodeParams* params);

// JpegEncodeFrame for kernel threads: the vector registers the selected stages use are saved
// before and restored after (KeSaveExtendedProcessorState). The frame worker's entry.
LONG JpegEncodeFrameSaved(JpegEncodeParams* params);

// Chooses once, from the processor's features (CPUID, and the operating system's support for the
// AVX state), which implementation of each stage the encoder uses: the highest level the
// processor allows (portable without SSE2). Called at adapter start, before any encoder runs;
// an encoder that runs before it uses the portable stages.
VOID JpegSelectStageRoutines(VOID);
