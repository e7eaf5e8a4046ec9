#include "reference_model.h"

#include <cmath>
#include <sstream>

namespace jpegtest {
namespace {

// T.81 Annex K, Tables K.1 and K.2, as printed (natural order).
const int AnnexK1[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};
const int AnnexK2[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

struct Plane {
  int width = 0;
  int height = 0;
  std::vector<double> samples;
  double& At(int x, int y) { return samples[size_t(y) * width + x]; }
  double At(int x, int y) const { return samples[size_t(y) * width + x]; }
};

// Full-range BT.601 with the quarter rounding term of the published integer formulas; the
// padded area repeats the last real column and line.
void Convert(const Image& image, int paddedWidth, int paddedHeight, Plane planes[3]) {
  for (int c = 0; c < 3; c++) {
    planes[c].width = paddedWidth;
    planes[c].height = paddedHeight;
    planes[c].samples.assign(size_t(paddedWidth) * paddedHeight, 0);
  }
  for (int y = 0; y < paddedHeight; y++) {
    for (int x = 0; x < paddedWidth; x++) {
      const uint8_t* p = image.Pixel(std::min(x, image.width - 1), std::min(y, image.height - 1));
      double b = p[0], g = p[1], r = p[2];
      planes[0].At(x, y) = std::floor((19595.0 * r + 38470.0 * g + 7471.0 * b + 16384.0) / 65536.0);
      planes[1].At(x, y) =
          std::floor((32768.0 * b - 21709.0 * g - 11059.0 * r + 8404992.0) / 65536.0);
      planes[2].At(x, y) =
          std::floor((32768.0 * r - 27439.0 * g - 5329.0 * b + 8404992.0) / 65536.0);
    }
  }
}

// Box filter with the alternating bias: pairs (+0, +1), groups of four (+1, +2).
Plane Reduce(const Plane& full, int factorH, int factorV) {
  if (factorH == 1 && factorV == 1) return full;
  Plane out;
  out.width = full.width / factorH;
  out.height = full.height / factorV;
  out.samples.resize(size_t(out.width) * out.height);
  for (int y = 0; y < out.height; y++) {
    for (int x = 0; x < out.width; x++) {
      double sum = 0;
      for (int dy = 0; dy < factorV; dy++) {
        for (int dx = 0; dx < factorH; dx++) sum += full.At(x * factorH + dx, y * factorV + dy);
      }
      int count = factorH * factorV;
      double bias = count == 2 ? (x % 2) : 1 + (x % 2);
      out.At(x, y) = std::floor((sum + bias) / count);
    }
  }
  return out;
}

bool NearHalf(double value, double margin) {
  double magnitude = std::fabs(value);
  return std::fabs(magnitude - std::floor(magnitude) - 0.5) < margin;
}

int16_t Quantize(double coefficient, int divisor) {
  double reciprocal = std::nearbyint(32768.0 / divisor);  // ties to even
  double quantized = std::nearbyint(coefficient * reciprocal / 32768.0);
  return int16_t(std::max(-32768.0, std::min(32767.0, quantized)));
}

ModelPlane TransformPlane(const Plane& plane, const std::vector<int>& table, double margin) {
  ModelPlane out;
  out.blocksWide = plane.width / 8;
  out.blocksHigh = plane.height / 8;
  out.quantized.resize(size_t(out.blocksWide) * out.blocksHigh * 64);
  out.nearBoundary.resize(out.quantized.size());
  for (int by = 0; by < out.blocksHigh; by++) {
    for (int bx = 0; bx < out.blocksWide; bx++) {
      double samples[64], exact[64];
      for (int i = 0; i < 64; i++) samples[i] = plane.At(bx * 8 + i % 8, by * 8 + i / 8) - 128.0;
      ModelForwardDct(samples, exact);
      size_t base = (size_t(by) * out.blocksWide + bx) * 64;
      for (int k = 0; k < 64; k++) {
        out.quantized[base + k] = Quantize(ModelRound(exact[k]), table[k]);
        out.nearBoundary[base + k] = NearHalf(exact[k], margin);
      }
    }
  }
  return out;
}

}  // namespace

std::vector<int> ModelQuantTable(int table, int quality) {
  const int* base = table == 0 ? AnnexK1 : AnnexK2;
  int scale = quality == 0 ? 100 : quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::vector<int> scaled(64);
  for (int k = 0; k < 64; k++) scaled[k] = std::min(255, std::max(1, (scale * base[k] + 50) / 100));
  return scaled;
}

void ModelForwardDct(const double samples[64], double coefficients[64]) {
  struct Basis {
    double value[8][8];  // C(u)/2 cos((2x+1) u pi / 16)
    Basis() {
      for (int u = 0; u < 8; u++) {
        for (int x = 0; x < 8; x++) {
          double scale = (u == 0 ? std::sqrt(0.5) : 1.0) / 2.0;
          value[u][x] = scale * std::cos((2 * x + 1) * u * M_PI / 16);
        }
      }
    }
  };
  static const Basis basisTable;
  const auto& basis = basisTable.value;
  double rows[64];
  for (int y = 0; y < 8; y++) {
    for (int u = 0; u < 8; u++) {
      double sum = 0;
      for (int x = 0; x < 8; x++) sum += basis[u][x] * samples[y * 8 + x];
      rows[y * 8 + u] = sum;
    }
  }
  for (int v = 0; v < 8; v++) {
    for (int u = 0; u < 8; u++) {
      double sum = 0;
      for (int y = 0; y < 8; y++) sum += basis[v][y] * rows[y * 8 + u];
      coefficients[v * 8 + u] = sum;
    }
  }
}

int ModelRound(double value) { return int(std::round(value + std::copysign(1e-7, value))); }

Model PredictCoefficients(const Image& image, int quality, int sampling, double margin) {
  int h = sampling == 0 ? 1 : 2;
  int v = sampling == 3 ? 2 : 1;
  int paddedWidth = (image.width + 8 * h - 1) / (8 * h) * 8 * h;
  int paddedHeight = (image.height + 8 * v - 1) / (8 * v) * 8 * v;
  Plane planes[3];
  Convert(image, paddedWidth, paddedHeight, planes);
  Model model;
  model.quantTables[0] = ModelQuantTable(0, quality);
  model.quantTables[1] = ModelQuantTable(1, quality);
  model.planes.push_back(TransformPlane(planes[0], model.quantTables[0], margin));
  for (int c = 1; c < 3; c++) {
    model.planes.push_back(TransformPlane(Reduce(planes[c], h, v), model.quantTables[1], margin));
  }
  return model;
}

Comparison CompareWithModel(const Model& model, const Coefficients& read) {
  Comparison comparison;
  if (read.planes.size() != model.planes.size()) {
    comparison.violations = 1;
    comparison.firstViolation = "component count differs";
    return comparison;
  }
  for (size_t c = 0; c < model.planes.size(); c++) {
    const ModelPlane& expected = model.planes[c];
    const CoefficientPlane& actual = read.planes[c];
    if (expected.blocksWide != actual.blocksWide || expected.blocksHigh != actual.blocksHigh) {
      comparison.violations++;
      comparison.firstViolation = "block grid differs";
      continue;
    }
    for (size_t i = 0; i < expected.quantized.size(); i++) {
      comparison.total++;
      int difference = int(actual.coefficients[i]) - int(expected.quantized[i]);
      if (difference == 0) continue;
      if (std::abs(difference) == 1 && expected.nearBoundary[i]) {
        comparison.roundingCases++;
        continue;
      }
      if (comparison.violations++ == 0) {
        std::ostringstream text;
        size_t block = i / 64;
        text << "component " << c << " block (" << block % expected.blocksWide << ", "
             << block / expected.blocksWide << ") coefficient " << i % 64 << ": read "
             << actual.coefficients[i] << ", model " << expected.quantized[i];
        comparison.firstViolation = text.str();
      }
    }
  }
  return comparison;
}

}  // namespace jpegtest
