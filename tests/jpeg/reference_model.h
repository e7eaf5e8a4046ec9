// An independent model of the encoder's output, written from T.81 and the published formulas
// (conversion, padding, reduction, quality scaling, quantisation) in double precision, never from
// the encoder's code: it predicts every quantised coefficient of a stream.
#pragma once

#include <cstdint>
#include <vector>

#include "jpeg_test_support.h"

namespace jpegtest {

struct ModelPlane {
  int blocksWide = 0;
  int blocksHigh = 0;
  std::vector<int16_t> quantized;  // 64 natural-order coefficients per block, blocks row-major
  // Set where the exact DCT value lies within the model's margin of a rounding boundary (a
  // half-integer), the only place an integer DCT may round the other way.
  std::vector<uint8_t> nearBoundary;
};

struct Model {
  std::vector<ModelPlane> planes;             // Y, Cb, Cr
  std::vector<int> quantTables[2];            // natural order
};

// T.81 Annex K tables K.1 and K.2 scaled by quality, natural order.
std::vector<int> ModelQuantTable(int table, int quality);
// The exact forward DCT of one block of level-shifted samples (T.81 A.3.3), natural order.
void ModelForwardDct(const double samples[64], double coefficients[64]);
// Round to nearest, ties away from zero, robust to the double rounding of exact ties.
int ModelRound(double value);
Model PredictCoefficients(const Image& image, int quality, int sampling, double margin);

// How the coefficients libjpeg-turbo reads back compare with the model.
struct Comparison {
  long total = 0;
  long roundingCases = 0;  // differ by one where the exact value is near a boundary
  long violations = 0;     // any other difference
  std::string firstViolation;
  double RoundingShare() const { return total == 0 ? 0 : double(roundingCases) / double(total); }
};
Comparison CompareWithModel(const Model& model, const Coefficients& read);

}  // namespace jpegtest
