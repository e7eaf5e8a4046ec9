#include "demo_plot.h"

#include <algorithm>
#include <cstdio>

namespace kxsim {
namespace {

constexpr double kWidth = 900, kHeight = 300;
constexpr double kLeft = 70, kRight = 20, kTop = 20, kBottom = 50;

std::string Number(double value, const char* format = "%.1f") {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// A round step for about five grid lines up to `top`.
double GridStep(double top) {
  double step = 1;
  while (step * 10 <= top) step *= 10;
  while (step > top / 2 && step > 1e-9) step /= 2;
  return step;
}

}  // namespace

std::vector<RateBucket> WireRates(const std::vector<WireSample>& samples) {
  std::vector<RateBucket> buckets;
  if (samples.size() < 2) return buckets;
  double start = double(samples.front().time) / 1e7;
  double span = double(samples.back().time) / 1e7 - start;
  if (span <= 0) return buckets;
  double width = span <= 20 ? 0.25 : span / 80;
  size_t count = size_t(span / width) + 1;
  std::vector<double> bytes(count, 0);
  for (size_t i = 1; i < samples.size(); i++) {
    double from = double(samples[i - 1].time) / 1e7 - start;
    double to = double(samples[i].time) / 1e7 - start;
    double moved = double(samples[i].bytes - samples[i - 1].bytes);
    if (to <= from) {
      bytes[std::min(count - 1, size_t(from / width))] += moved;
      continue;
    }
    for (size_t b = size_t(from / width); b < count && b * width < to; b++) {
      double overlap = std::min(to, (b + 1) * width) - std::max(from, b * width);
      if (overlap > 0) bytes[b] += moved * overlap / (to - from);
    }
  }
  for (size_t b = 0; b < count; b++) {
    double seconds = std::min(width, span - b * width);
    if (seconds <= 0) break;
    buckets.push_back({b * width, seconds, bytes[b] / seconds});
  }
  return buckets;
}

std::string WirePlotSvg(const DemoResult& result) {
  std::vector<RateBucket> buckets = WireRates(result.samples);
  if (buckets.empty()) return "<p>No traffic was sampled.</p>";
  double span = buckets.back().start + buckets.back().seconds;
  double top = 1;
  for (const RateBucket& bucket : buckets) top = std::max(top, bucket.bytesPerSecond / 1e6);
  double step = GridStep(top);
  top = step * (int(top / step) + 1);
  double plotWidth = kWidth - kLeft - kRight, plotHeight = kHeight - kTop - kBottom;
  auto x = [&](double seconds) { return kLeft + plotWidth * seconds / span; };
  auto y = [&](double megabytes) { return kTop + plotHeight * (1 - megabytes / top); };
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                    Number(kWidth, "%.0f") + " " + Number(kHeight, "%.0f") +
                    "\" class=\"plot\">\n";
  for (double value = 0; value <= top + step / 2; value += step) {
    svg += "<line x1=\"" + Number(kLeft) + "\" x2=\"" + Number(kWidth - kRight) + "\" y1=\"" +
           Number(y(value)) + "\" y2=\"" + Number(y(value)) + "\" class=\"grid\"/>";
    svg += "<text x=\"" + Number(kLeft - 8) + "\" y=\"" + Number(y(value) + 4) +
           "\" text-anchor=\"end\">" + Number(value, "%g") + "</text>\n";
  }
  for (const RateBucket& bucket : buckets) {
    double height = plotHeight * (bucket.bytesPerSecond / 1e6) / top;
    svg += "<rect x=\"" + Number(x(bucket.start)) + "\" width=\"" +
           Number(std::max(1.0, x(bucket.start + bucket.seconds) - x(bucket.start) - 1)) +
           "\" y=\"" + Number(kTop + plotHeight - height) + "\" height=\"" + Number(height) +
           "\" class=\"bar\"/>\n";
  }
  double origin = double(result.samples.front().time);
  for (const SceneResult& scene : result.scenes) {
    double at = x((scene.startTime - origin) / 1e7);
    svg += "<line x1=\"" + Number(at) + "\" x2=\"" + Number(at) + "\" y1=\"" + Number(kTop) +
           "\" y2=\"" + Number(kHeight - kBottom + 18) + "\" class=\"scene\"/>";
    svg += "<text x=\"" + Number(at + 4) + "\" y=\"" + Number(kHeight - kBottom + 16) + "\">" +
           scene.name + "</text>\n";
  }
  svg += "<text x=\"" + Number(kLeft + plotWidth / 2) + "\" y=\"" + Number(kHeight - 6) +
         "\" text-anchor=\"middle\">virtual time, 0 to " + Number(span, "%.2f") +
         " s</text>\n<text x=\"14\" y=\"" + Number(kTop + plotHeight / 2) +
         "\" transform=\"rotate(-90 14 " + Number(kTop + plotHeight / 2) +
         ")\" text-anchor=\"middle\">MB/s on the wire</text>\n</svg>\n";
  return svg;
}

}  // namespace kxsim
