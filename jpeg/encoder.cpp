// The encoder object: creation, the set-up calls in their order, working memory and tear-down.
#include "jpeg/encoder.h"

namespace {

constexpr ULONG WorkAlignment = 64;

ULONG AlignUp(ULONG value) { return (value + WorkAlignment - 1) & ~(WorkAlignment - 1); }

PVOID AllocateWorking(SIZE_T size) { return ExAllocatePoolWithTag(PagedPool, size, JPEG_POOL_TAG); }

VOID SetGeometry(JpegEncoder* encoder) {
  ULONG width = encoder->Source.Width;
  ULONG height = encoder->Source.Height;
  encoder->McuWidth = encoder->Sampling == JpegSampling444 ? 8 : 16;
  encoder->McuHeight = encoder->Sampling == JpegSampling420 ? 16 : 8;
  encoder->McusPerRow = (width + encoder->McuWidth - 1) / encoder->McuWidth;
  encoder->McuRows = (height + encoder->McuHeight - 1) / encoder->McuHeight;
  encoder->PaddedWidth = encoder->McusPerRow * encoder->McuWidth;
  encoder->PaddingColumns = encoder->PaddedWidth - width;
  encoder->PaddingRows = encoder->McuRows * encoder->McuHeight - height;
}

VOID SetComponents(JpegEncoder* encoder) {
  UCHAR lumaH = encoder->McuWidth / 8;
  UCHAR lumaV = encoder->McuHeight / 8;
  for (ULONG c = 0; c < JpegComponentCount; c++) {
    JpegComponent& component = encoder->Components[c];
    BOOLEAN luma = c == 0;
    component.Identifier = (UCHAR)c;
    component.H = luma ? lumaH : 1;
    component.V = luma ? lumaV : 1;
    component.ReduceH = luma ? 1 : lumaH;
    component.ReduceV = luma ? 1 : lumaV;
    component.QuantTable = luma ? 0 : 1;
    component.DcTable = luma ? 0 : 1;
    component.AcTable = luma ? 0 : 1;
    component.LastDc = 0;
  }
  encoder->BlocksPerMcu = lumaH * lumaV + 2;
}

// The standard tables, built once for the encoder's life.
BOOLEAN BuildHuffmanTables(JpegEncoder* encoder) {
  if (encoder->Huffman != NULL) return TRUE;
  JpegHuffmanTables* tables =
      static_cast<JpegHuffmanTables*>(AllocateWorking(sizeof(JpegHuffmanTables)));
  if (tables == NULL) return FALSE;
  JpegBuildHuffmanCodes(&JpegDcLuminanceSpec, &tables->Dc[0]);
  JpegBuildHuffmanCodes(&JpegDcChrominanceSpec, &tables->Dc[1]);
  JpegBuildHuffmanCodes(&JpegAcLuminanceSpec, &tables->Ac[0]);
  JpegBuildHuffmanCodes(&JpegAcChrominanceSpec, &tables->Ac[1]);
  encoder->Huffman = tables;
  return TRUE;
}

}  // namespace

JpegEncoder* JpegCreateEncoder(const JpegStageRoutines* stages) {
  JpegEncoder* encoder = static_cast<JpegEncoder*>(AllocateWorking(sizeof(JpegEncoder)));
  if (encoder == NULL) return NULL;
  RtlZeroMemory(encoder, sizeof(*encoder));
  encoder->Stages = stages;
  encoder->QuantQuality = -1;
  return encoder;
}

VOID JpegDestroyEncoder(JpegEncoder* encoder) {
  if (encoder->WorkMemory != NULL) ExFreePoolWithTag(encoder->WorkMemory, JPEG_POOL_TAG);
  if (encoder->Huffman != NULL) ExFreePoolWithTag(encoder->Huffman, JPEG_POOL_TAG);
  ExFreePoolWithTag(encoder, JPEG_POOL_TAG);
}

VOID JpegAttachOutput(JpegEncoder* encoder, PUCHAR buffer, ULONG capacity) {
  encoder->Output.Buffer = buffer;
  encoder->Output.Capacity = capacity;
  encoder->Output.Position = 0;
}

VOID JpegSetComment(JpegEncoder* encoder, const UCHAR* text, ULONG length) {
  encoder->Comment = text;
  encoder->CommentLength = length;
}

VOID JpegAttachSource(JpegEncoder* encoder, const UCHAR* pixels, LONG pitch, ULONG width,
                      ULONG height, ULONG bytesPerPixel) {
  encoder->Source.Pixels = pixels;
  encoder->Source.Pitch = pitch;
  encoder->Source.Width = width;
  encoder->Source.Height = height;
  encoder->Source.BytesPerPixel = bytesPerPixel;
}

// Baseline sequential, YCbCr with three components, standard Huffman tables, one MCU per restart
// interval; then the JFIF density. FALSE when the Huffman tables could not be allocated.
BOOLEAN JpegSetParameters(JpegEncoder* encoder, ULONG sampling, LONG quality) {
  encoder->Sampling = sampling;
  encoder->Quality = quality;
  encoder->RestartInterval = JpegRestartInterval;
  SetGeometry(encoder);
  // A kept encoder codes rectangle after rectangle at one quality: its tables are built once
  // (128 divisions, a tenth of a 32 x 32 rectangle's coding).
  if (encoder->QuantQuality != quality) {
    JpegBuildQuantTable(JpegLuminanceQuantBase, quality, &encoder->Quant[0]);
    JpegBuildQuantTable(JpegChrominanceQuantBase, quality, &encoder->Quant[1]);
    encoder->QuantQuality = quality;
  }
  if (!BuildHuffmanTables(encoder)) return FALSE;
  SetComponents(encoder);
  encoder->DensityUnits = 0;
  encoder->XDensity = 1;
  encoder->YDensity = 1;
  return TRUE;
}

// One block, every part 64-byte aligned: the three full-resolution row buffers, the two reduced
// chroma rows (when chroma is reduced), the coefficient row and the internal byte buffer.
BOOLEAN JpegAllocateWorkMemory(JpegEncoder* encoder) {
  ULONG rowBytes = AlignUp(encoder->PaddedWidth * encoder->McuHeight);
  BOOLEAN reduced = encoder->Components[1].ReduceH != 1;
  ULONG reducedPitch = encoder->McusPerRow * 8;
  ULONG reducedBytes = reduced ? AlignUp(reducedPitch * 8) : 0;
  ULONG coefficientBytes =
      AlignUp(encoder->McusPerRow * encoder->BlocksPerMcu * 64 * (ULONG)sizeof(SHORT));
  ULONG total = 3 * rowBytes + 2 * reducedBytes + coefficientBytes + JpegInternalBufferSize;

  // An encoder that coded a rectangle at least as wide before keeps its memory.
  if (encoder->WorkMemory == NULL || encoder->WorkBytes < total) {
    if (encoder->WorkMemory != NULL) ExFreePoolWithTag(encoder->WorkMemory, JPEG_POOL_TAG);
    encoder->WorkMemory = AllocateWorking(total + WorkAlignment - 1);
    encoder->WorkBytes = encoder->WorkMemory != NULL ? total : 0;
    if (encoder->WorkMemory == NULL) return FALSE;
  }
  PUCHAR memory = static_cast<PUCHAR>(encoder->WorkMemory);
  PUCHAR next = memory + ((WorkAlignment - ((ULONG_PTR)memory & (WorkAlignment - 1))) &
                          (WorkAlignment - 1));
  for (ULONG c = 0; c < JpegComponentCount; c++) {
    JpegComponent& component = encoder->Components[c];
    component.Row = next;
    component.Reduced = next;
    component.ReducedPitch = encoder->PaddedWidth;
    next += rowBytes;
  }
  for (ULONG c = 1; reduced && c < JpegComponentCount; c++) {
    encoder->Components[c].Reduced = next;
    encoder->Components[c].ReducedPitch = reducedPitch;
    next += reducedBytes;
  }
  encoder->Coefficients = reinterpret_cast<SHORT*>(next);
  next += coefficientBytes;
  encoder->Writer.Buffer = next;
  JpegResetWriter(encoder);
  return TRUE;
}

VOID JpegResetWriter(JpegEncoder* encoder) {
  encoder->Writer.Fill = 0;
  encoder->Writer.Bits = 0;
  encoder->Writer.BitCount = 0;
}
