// Quantisation tables: the Annex K base tables scaled by quality, and the reciprocals the
// quantiser multiplies by (T.81 Annex K.1, with the usual quality scaling).
//
// Rules:
// - Quality 0 leaves the base table unchanged (as 50 does). Otherwise S = 5000 / Quality below 50
//   and 200 - 2 * Quality from 50 up; each entry becomes (S * entry + 50) / 100, limited to
//   1..255 so that every table stays an 8-bit baseline table.
// - R = 32768 / Q rounded to nearest, ties to even, in natural order; Q = 1 gives 32768.
#include "jpeg/encoder.h"
#include "jpeg/tables.h"

namespace {

LONG QualityScale(LONG quality) {
  if (quality == 0) return 100;
  return quality < 50 ? 5000 / quality : 200 - 2 * quality;
}

UCHAR ScaleEntry(ULONG base, LONG scale) {
  LONG entry = (scale * (LONG)base + 50) / 100;
  if (entry <= 0) return 1;
  if (entry >= 255) return 255;
  return (UCHAR)entry;
}

USHORT Reciprocal(ULONG divisor) {
  ULONG quotient = 32768 / divisor;
  ULONG twiceRemainder = 2 * (32768 % divisor);
  if (twiceRemainder > divisor || (twiceRemainder == divisor && (quotient & 1) != 0)) quotient++;
  return (USHORT)quotient;
}

}  // namespace

VOID JpegBuildQuantTable(const UCHAR* base, LONG quality, JpegQuantTable* table) {
  LONG scale = QualityScale(quality);
  for (ULONG k = 0; k < 64; k++) {
    UCHAR entry = ScaleEntry(base[k], scale);
    table->Zigzag[k] = entry;
    table->Reciprocal[JpegZigzagToNatural[k]] = Reciprocal(entry);
  }
}
