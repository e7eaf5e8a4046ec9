// One stream coded in slices of whole MCU rows, so that several processors can share a large
// rectangle. Every MCU is followed by a restart marker, so the coded data of a run of MCU rows
// depends on nothing before it but the index of its first marker.
//
// Rules:
// - Each slice is coded by an encoder of its own (its own working memory) into memory of its own.
//   The slices' bytes laid end to end in row order are exactly the stream JpegEncodeFrame writes:
//   the slice of the first row carries the header segments and the scan header, every later slice
//   begins with the restart marker before its first MCU, and the slice of the last row ends with
//   EOI. Each slice ends on a byte boundary, its last bits padded with 1 bits as before a marker.
// - One slice encoder codes any number of slices, one after the other, at any stage level: every
//   level gives the same bytes.
// - The result codes are JpegEncodeFrame's: the parameters are checked as it checks them, the
//   encoder and its memory fail as its would, and a slice whose output filled up fails with
//   JpegResultHeaderFailed (the header part of the first slice) or JpegResultScanFailed.
#pragma once

#include "jpeg/jpeg.h"
#include "jpeg/stages.h"

struct JpegEncoder;

// The MCU rows of the stream `params` describe; 0 when JpegEncodeFrame would refuse them.
ULONG JpegMcuRowCount(const JpegEncodeParams* params);

// Checks `params` as JpegEncodeFrame does and builds an encoder for slices of its stream: tables,
// working memory. Its output fields are not written. On success *encoder is set, to be destroyed.
LONG JpegCreateSliceEncoder(const JpegEncodeParams* params, const JpegStageRoutines* stages,
                            JpegEncoder** encoder);
// Sets up an encoder made before for the stream of `params` (checked as JpegEncodeFrame checks
// them) and `stages`. Its tables are kept, and its working memory when large enough, so a thread
// that codes rectangle after rectangle allocates only for one wider than any before. After a
// failure the encoder can still be set up again or destroyed.
LONG JpegReuseSliceEncoder(JpegEncoder* encoder, const JpegEncodeParams* params,
                           const JpegStageRoutines* stages);
VOID JpegDestroySliceEncoder(JpegEncoder* encoder);

// Codes the MCU rows first .. first + count - 1 into `output`; *length is set on success.
// JpegResultBadArgument for rows outside the stream.
LONG JpegEncodeSlice(JpegEncoder* encoder, ULONG first, ULONG count, PUCHAR output,
                     ULONG capacity, ULONG* length);

// The whole stream of `params` (the one the encoder was set up for) into its output, as
// JpegEncodeFrame writes it; OutputLength is set on success.
LONG JpegEncodeWholeStream(JpegEncoder* encoder, JpegEncodeParams* params);

// For kernel threads: saves the vector state the selected stages use and gives the stages to code
// with until the matching restore: the portable ones when the state could not be saved.
struct JpegVectorState {
  XSTATE_SAVE Save;
  BOOLEAN Saved;
};
const JpegStageRoutines* JpegSaveVectorState(JpegVectorState* state);
VOID JpegRestoreVectorState(JpegVectorState* state);
