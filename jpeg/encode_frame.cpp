// JpegEncodeFrame and the slice encoders: check the parameters, then drive an encoder through its
// calling order. A whole stream is one slice of every MCU row.
//
// Rules:
// - Checks come in a fixed order: null pointers (-10), channel count and sizes (-6), sampling code
//   (-10). Sizes the stream or 32-bit arithmetic cannot carry are refused before anything is
//   allocated: a width or height above 65535 (the frame header's fields), a negative output
//   capacity, or a source that would span 2 GiB or more.
// - Quality is limited to 0..100 before the tables are scaled: a larger value would overflow the
//   scaling, and none means anything beyond those ends.
// - Every failure frees everything the call allocated; OutputLength is set only on success.
#include "jpeg/encoder.h"
#include "jpeg/slices.h"

namespace {

constexpr ULONGLONG MaxSourceSpan = 0x7FFFFFFF;

BOOLEAN SizesFit(const JpegEncodeParams* params) {
  ULONG width = (ULONG)params->Width;
  ULONG height = (ULONG)params->Height;
  if (width < 8 || height < 8 || width > JpegMaxDimension || height > JpegMaxDimension) {
    return FALSE;
  }
  if (params->OutputCapacity < 0) return FALSE;
  LONGLONG pitch = params->SourcePitch;
  ULONGLONG rowSpan = (ULONGLONG)(pitch < 0 ? -pitch : pitch);
  ULONGLONG span = rowSpan * (height - 1) + (ULONGLONG)width * (ULONG)params->Channels;
  return span <= MaxSourceSpan;
}

LONG CheckParams(const JpegEncodeParams* params) {
  if (params == NULL || params->Output == NULL || params->Source == NULL) {
    return JpegResultBadArgument;
  }
  if (params->Channels != 3 && params->Channels != 4) return JpegResultBadSize;
  if (!SizesFit(params)) return JpegResultBadSize;
  if ((ULONG)params->Sampling > JpegSampling420) return JpegResultBadArgument;
  return JpegResultOk;
}

LONG ClampedQuality(LONG quality) {
  if (quality < 0) return 0;
  return quality > 100 ? 100 : quality;
}

// The encoder's set-up before any output: source, comment, tables, working memory.
LONG SetUp(JpegEncoder* encoder, const JpegEncodeParams* params) {
  static const UCHAR EmptyComment[1] = {0};
  JpegSetComment(encoder, EmptyComment, 0);
  JpegAttachSource(encoder, params->Source, params->SourcePitch, (ULONG)params->Width,
                   (ULONG)params->Height, (ULONG)params->Channels);
  if (!JpegSetParameters(encoder, (ULONG)params->Sampling, ClampedQuality(params->Quality))) {
    return JpegResultBadArgument;
  }
  if (!JpegAllocateWorkMemory(encoder)) return JpegResultHeaderFailed;
  return JpegResultOk;
}

}  // namespace

ULONG JpegMcuRowCount(const JpegEncodeParams* params) {
  if (CheckParams(params) != JpegResultOk) return 0;
  ULONG mcuHeight = params->Sampling == JpegSampling420 ? 16 : 8;
  return ((ULONG)params->Height + mcuHeight - 1) / mcuHeight;
}

LONG JpegCreateSliceEncoder(const JpegEncodeParams* params, const JpegStageRoutines* stages,
                            JpegEncoder** encoder) {
  LONG result = CheckParams(params);
  if (result != JpegResultOk) return result;
  JpegEncoder* created = JpegCreateEncoder(stages);
  if (created == NULL) return JpegResultNoEncoder;
  result = SetUp(created, params);
  if (result != JpegResultOk) {
    JpegDestroyEncoder(created);
    return result;
  }
  *encoder = created;
  return JpegResultOk;
}

LONG JpegReuseSliceEncoder(JpegEncoder* encoder, const JpegEncodeParams* params,
                           const JpegStageRoutines* stages) {
  LONG result = CheckParams(params);
  if (result != JpegResultOk) return result;
  encoder->Stages = stages;
  return SetUp(encoder, params);
}

VOID JpegDestroySliceEncoder(JpegEncoder* encoder) { JpegDestroyEncoder(encoder); }

LONG JpegEncodeSlice(JpegEncoder* encoder, ULONG first, ULONG count, PUCHAR output,
                     ULONG capacity, ULONG* length) {
  if (count == 0 || first >= encoder->McuRows || count > encoder->McuRows - first) {
    return JpegResultBadArgument;
  }
  JpegAttachOutput(encoder, output, capacity);
  JpegResetWriter(encoder);
  if (first == 0 && !JpegWriteHeader(encoder)) return JpegResultHeaderFailed;
  if (!JpegWriteRows(encoder, first, count)) return JpegResultScanFailed;
  *length = encoder->Output.Position;
  return JpegResultOk;
}

LONG JpegEncodeWholeStream(JpegEncoder* encoder, JpegEncodeParams* params) {
  ULONG length;
  LONG result = JpegEncodeSlice(encoder, 0, encoder->McuRows, params->Output,
                                (ULONG)params->OutputCapacity, &length);
  if (result == JpegResultOk) params->OutputLength = (LONG)length;
  return result;
}

LONG JpegEncodeFrame(JpegEncodeParams* params) {
  return JpegEncodeFrameWithStages(params, JpegCurrentStageRoutines());
}

LONG JpegEncodeFrameWithStages(JpegEncodeParams* params, const JpegStageRoutines* stages) {
  JpegEncoder* encoder;
  LONG result = JpegCreateSliceEncoder(params, stages, &encoder);
  if (result != JpegResultOk) return result;
  result = JpegEncodeWholeStream(encoder, params);
  JpegDestroyEncoder(encoder);
  return result;
}
