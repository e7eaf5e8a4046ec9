// JpegEncodeFrameSaved and the slices' threads: the processor's vector state saved around coding.
//
// Rules:
// - Kernel code on 32-bit Windows may touch the x87, SSE or AVX registers only between
//   KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState on the same thread. The mask
//   is the legacy state (x87 and SSE) for every vector level, with the AVX state added for the AVX
//   levels; the mask may name only features the system has enabled, which the selection checked
//   (XCR0) before it chose an AVX level.
// - The stage table is read once and used for the whole call, so the state saved is the state its
//   kernels use even if another adapter selects meanwhile.
// - The portable stages use no vector register: nothing is saved for them. When the state cannot
//   be saved (the kernel found no memory for it), the rectangle is encoded with them: slower,
//   never wrong, and the same stream.
#include "jpeg/encoder.h"
#include "jpeg/slices.h"

namespace {

// The XSTATE_MASK_ values of the DDK headers are spelled with an MSVC literal suffix GCC does not
// take; the same masks from the feature numbers. The AVX state is the one the headers call GSSE.
constexpr ULONG64 LegacyStateMask =
    (1ull << XSTATE_LEGACY_FLOATING_POINT) | (1ull << XSTATE_LEGACY_SSE);
constexpr ULONG64 AvxStateMask = 1ull << XSTATE_GSSE;

}  // namespace

const JpegStageRoutines* JpegSaveVectorState(JpegVectorState* state) {
  const JpegStageRoutines* stages = JpegCurrentStageRoutines();
  state->Saved = FALSE;
  if (stages->Level == JpegLevelPortable) return stages;
  ULONG64 mask = LegacyStateMask;
  if (stages->Level >= JpegLevelAvx) mask |= AvxStateMask;
  if (!NT_SUCCESS(KeSaveExtendedProcessorState(mask, &state->Save))) return &JpegPortableStages;
  state->Saved = TRUE;
  return stages;
}

VOID JpegRestoreVectorState(JpegVectorState* state) {
  if (state->Saved) KeRestoreExtendedProcessorState(&state->Save);
  state->Saved = FALSE;
}

LONG JpegEncodeFrameSaved(JpegEncodeParams* params) {
  JpegVectorState state;
  const JpegStageRoutines* stages = JpegSaveVectorState(&state);
  LONG result = JpegEncodeFrameWithStages(params, stages);
  JpegRestoreVectorState(&state);
  return result;
}
