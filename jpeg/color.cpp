// Colour conversion, edge padding and chroma reduction of one MCU row.
//
// Rules:
// - BT.601 with the full 0..255 range (JFIF), 16-bit fixed point:
//     Y  = (19595 R + 38470 G + 7471 B + 16384) >> 16
//     Cb = (32768 B - 21709 G - 11059 R + 8404992) >> 16
//     Cr = (32768 R - 27439 G - 5329 B + 8404992) >> 16
//   8404992 is 128 * 65536 plus the quarter that Y also gets. Every result lies in 0..255, so
//   nothing is clamped. The fourth byte of a 4-byte pixel is never read.
// - Conversion covers the rectangle's real width and the MCU row's real lines. Then, before any
//   reduction, each component row repeats its last real sample up to the padded width, and in
//   the last MCU row the last real line is repeated down to the MCU height.
// - Reduction alternates its rounding bias so that it averages out along a row: a horizontal pair
//   adds 0 at even and 1 at odd output positions (then >> 1); a 2 x 2 group adds 1 and 2 (>> 2).
#include "jpeg/encoder.h"

VOID JpegConvertRowPortable(const UCHAR* source, ULONG bytesPerPixel, ULONG width, PUCHAR y,
                            PUCHAR cb, PUCHAR cr) {
  for (ULONG i = 0; i < width; i++, source += bytesPerPixel) {
    LONG blue = source[0];
    LONG green = source[1];
    LONG red = source[2];
    y[i] = (UCHAR)((19595 * red + 38470 * green + 7471 * blue + 16384) >> 16);
    cb[i] = (UCHAR)((32768 * blue - 21709 * green - 11059 * red + 8404992) >> 16);
    cr[i] = (UCHAR)((32768 * red - 27439 * green - 5329 * blue + 8404992) >> 16);
  }
}

VOID JpegReduceRowH2V1Portable(const UCHAR* row, ULONG outputWidth, PUCHAR output) {
  for (ULONG i = 0; i < outputWidth; i++) {
    output[i] = (UCHAR)((row[2 * i] + row[2 * i + 1] + (i & 1)) >> 1);
  }
}

VOID JpegReduceRowH2V2Portable(const UCHAR* top, const UCHAR* bottom, ULONG outputWidth,
                               PUCHAR output) {
  for (ULONG i = 0; i < outputWidth; i++) {
    ULONG sum = top[2 * i] + top[2 * i + 1] + bottom[2 * i] + bottom[2 * i + 1];
    output[i] = (UCHAR)((sum + 1 + (i & 1)) >> 2);
  }
}

namespace {

VOID ConvertLines(JpegEncoder* encoder, ULONG mcuRow, ULONG lines) {
  const JpegSourceImage& source = encoder->Source;
  LONG_PTR firstLine = (LONG_PTR)(mcuRow * encoder->McuHeight);
  const UCHAR* pixels = source.Pixels + (LONG_PTR)source.Pitch * firstLine;
  ULONG pitch = encoder->PaddedWidth;
  for (ULONG line = 0; line < lines; line++, pixels += source.Pitch) {
    PUCHAR y = encoder->Components[0].Row + line * pitch;
    PUCHAR cb = encoder->Components[1].Row + line * pitch;
    PUCHAR cr = encoder->Components[2].Row + line * pitch;
    encoder->Stages->ConvertRow(pixels, source.BytesPerPixel, source.Width, y, cb, cr);
  }
}

VOID PadEdges(JpegEncoder* encoder, ULONG lines) {
  ULONG width = encoder->Source.Width;
  ULONG pitch = encoder->PaddedWidth;
  for (ULONG c = 0; c < JpegComponentCount; c++) {
    PUCHAR row = encoder->Components[c].Row;
    if (pitch > width) {
      for (ULONG line = 0; line < lines; line++) {
        PUCHAR samples = row + line * pitch;
        RtlFillMemory(samples + width, pitch - width, samples[width - 1]);
      }
    }
    for (ULONG line = lines; line < encoder->McuHeight; line++) {
      RtlCopyMemory(row + line * pitch, row + (lines - 1) * pitch, pitch);
    }
  }
}

VOID ReduceChroma(JpegEncoder* encoder) {
  ULONG pitch = encoder->PaddedWidth;
  for (ULONG c = 1; c < JpegComponentCount; c++) {
    JpegComponent& component = encoder->Components[c];
    if (component.ReduceH == 1) continue;  // full resolution: blocks come from Row itself
    ULONG outputWidth = component.ReducedPitch;
    for (ULONG line = 0; line < 8; line++) {
      PUCHAR output = component.Reduced + line * outputWidth;
      if (component.ReduceV == 2) {
        const UCHAR* top = component.Row + (2 * line) * pitch;
        encoder->Stages->ReduceRowH2V2(top, top + pitch, outputWidth, output);
      } else {
        encoder->Stages->ReduceRowH2V1(component.Row + line * pitch, outputWidth, output);
      }
    }
  }
}

}  // namespace

VOID JpegPrepareMcuRow(JpegEncoder* encoder, ULONG mcuRow) {
  ULONG firstLine = mcuRow * encoder->McuHeight;
  ULONG lines = encoder->Source.Height - firstLine;
  if (lines > encoder->McuHeight) lines = encoder->McuHeight;
  ConvertLines(encoder, mcuRow, lines);
  PadEdges(encoder, lines);
  ReduceChroma(encoder);
}
