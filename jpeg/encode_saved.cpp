// JpegEncodeFrameSaved: JpegEncodeFrame with the processor's vector state saved around it.
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

namespace {

// The XSTATE_MASK_ values of the DDK headers are spelled with an MSVC literal suffix GCC does not
// take; the same masks from the feature numbers. The AVX state is the one the headers call GSSE.
constexpr ULONG64 LegacyStateMask =
    (1ull << XSTATE_LEGACY_FLOATING_POINT) | (1ull << XSTATE_LEGACY_SSE);
constexpr ULONG64 AvxStateMask = 1ull << XSTATE_GSSE;

}  // namespace

LONG JpegEncodeFrameSaved(JpegEncodeParams* params) {
  const JpegStageRoutines* stages = JpegCurrentStageRoutines();
  if (stages->Level == JpegLevelPortable) return JpegEncodeFrameWithStages(params, stages);
  ULONG64 mask = LegacyStateMask;
  if (stages->Level >= JpegLevelAvx) mask |= AvxStateMask;
  XSTATE_SAVE state;
  if (!NT_SUCCESS(KeSaveExtendedProcessorState(mask, &state))) {
    return JpegEncodeFrameWithStages(params, &JpegPortableStages);
  }
  LONG result = JpegEncodeFrameWithStages(params, stages);
  KeRestoreExtendedProcessorState(&state);
  return result;
}
