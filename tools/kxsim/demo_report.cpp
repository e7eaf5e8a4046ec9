#include "demo_report.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "demo_pictures.h"
#include "demo_plot.h"
#include "demo_previews.h"
#include "sim/display/scene.h"

namespace kxsim {
namespace {

const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:2em auto;max-width:1400px;color:#202124}"
    "table{border-collapse:collapse;margin:1em 0}td,th{border:1px solid #ccc;padding:4px 10px;"
    "text-align:right}th{background:#f1f3f4}td:first-child,th:first-child{text-align:left}"
    ".row{display:flex;gap:12px}.row figure{margin:0;flex:1}.row img{width:100%;height:auto;"
    "border:1px solid #ccc}figcaption{font-size:90%;color:#555}"
    ".crops figure{flex:0 0 auto}.crops img{image-rendering:pixelated}"
    ".ok{color:#137333;font-weight:bold}.bad{color:#c5221f;font-weight:bold}"
    ".plot{width:100%;max-width:900px}.plot text{font-size:12px;fill:#444}"
    ".grid{stroke:#ddd}.bar{fill:#4285f4}.scene{stroke:#999;stroke-dasharray:4 3}"
    "pre{background:#f8f9fa;padding:8px;overflow-x:auto}";

const char kDisplayNotes[] =
    "<p>Presents are the frames that changed; each changed rectangle went as one present "
    "request on the display's child. The worker merges rectangles that queue up and sends them "
    "aligned to the 16-pixel grid, in bands when one is larger than its staging buffer. Bits per "
    "pixel are the JPEG bits of the rectangles sent per pixel sent. The encode time is the frame "
    "worker's processor time (copying out, encoding and handing over to USB) per rectangle, "
    "shared among the displays by pixels sent. Wire time and the frame rate the link could carry "
    "follow from the bytes on the wire at the run's USB speed.</p>\n";

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    size_t taken = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; k++) {
      group = group << 8 | (k < taken ? uint8_t(bytes[i + k]) : 0);
    }
    // n bytes give n + 1 digits; '=' pads the group to four.
    for (size_t k = 0; k < 4; k++) {
      out += k <= taken ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return out;
}

std::string Cell(double value, const char* format) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return "<td>" + std::string(text) + "</td>";
}

std::string Cell(const std::string& text) { return "<td>" + Escaped(text) + "</td>"; }

}  // namespace

namespace {

// The pictures on the page: three previews in a row, and crops of the worst block shown four
// times larger, every pixel a square.
constexpr int kPreviewWidth = 640;
constexpr int kCropSize = 48;
constexpr int kCropMagnification = 4;

std::string DataAddress(const InlinePicture& picture) {
  return "data:" + picture.mime + ";base64," + Base64(picture.bytes);
}

// A preview linking to its full picture, which must be in the folder.
bool Figure(const std::string& outDir, const std::string& file, const InlinePicture& preview,
            const std::string& caption, std::string* html, std::string* error) {
  if (!std::filesystem::exists(outDir + "/" + file)) {
    *error = "no picture " + outDir + "/" + file + " to link";
    return false;
  }
  *html += "<figure><a href=\"" + Escaped(file) + "\"><img alt=\"" + Escaped(caption) +
           "\" width=\"" + std::to_string(preview.width) + "\" height=\"" +
           std::to_string(preview.height) + "\" src=\"" + DataAddress(preview) +
           "\"></a><figcaption>" + Escaped(caption) + " (<a href=\"" + Escaped(file) + "\">" +
           Escaped(file) + "</a>, full size)</figcaption></figure>\n";
  return true;
}

std::string CropFigure(const InlinePicture& crop, const std::string& caption) {
  std::string width = std::to_string(crop.width * kCropMagnification);
  std::string height = std::to_string(crop.height * kCropMagnification);
  return "<figure><img alt=\"" + Escaped(caption) + "\" style=\"width:" + width +
         "px;height:" + height + "px\" src=\"" + DataAddress(crop) + "\"><figcaption>" +
         Escaped(caption) + "</figcaption></figure>\n";
}

bool Previews(const std::string& outDir, const DisplayResult& display,
              const DisplayPictures& pictures, const std::vector<uint8_t>& difference,
              std::string* html, std::string* error) {
  InlinePicture presented, far, diff;
  bool farMatches = display.farRgb.size() == size_t(display.width) * display.height * 3;
  BgrxImage farImage = farMatches ? BgrxOf(display.width, display.height, display.farRgb)
                                  : BgrxImage();
  if (!PicturePreview(display.presented, kPreviewWidth, &presented, error) ||
      !DifferencePreview(display.width, display.height, difference, kPreviewWidth, &diff, error)) {
    return false;
  }
  bool ok = Figure(outDir, pictures.presented, presented, "last presented frame", html, error);
  if (ok && farMatches) {
    ok = PicturePreview(farImage, kPreviewWidth, &far, error) &&
         Figure(outDir, pictures.farSide, far, "last far-side frame", html, error);
  } else if (ok) {
    *html += "<figure><figcaption>The far side shows a picture of another size (<a href=\"" +
             Escaped(pictures.farSide) + "\">" + Escaped(pictures.farSide) +
             "</a>).</figcaption></figure>\n";
  }
  return ok && Figure(outDir, pictures.difference, diff,
                      "difference, " + std::to_string(kDifferenceGain) +
                          " times magnified (each preview pixel the largest it covers)",
                      html, error);
}

// The block where the far side differs most, at full scale: presented, far side, difference.
bool WorstBlockCrops(const DisplayResult& display, const std::vector<uint8_t>& difference,
                     std::string* html, std::string* error) {
  WorstBlock worst = FindWorstBlock(display.presented, display.farRgb);
  if (worst.difference < 0) return true;
  PixelRect crop = CropAround(worst.block, display.width, display.height, kCropSize);
  InlinePicture presented, far, diff;
  if (!CropPicture(display.width, display.height, RgbOf(display.presented), crop, &presented,
                   error) ||
      !CropPicture(display.width, display.height, display.farRgb, crop, &far, error) ||
      !CropPicture(display.width, display.height, difference, crop, &diff, error)) {
    return false;
  }
  char where[320];
  std::snprintf(where, sizeof where,
                "The block where the far side differs most from the presented frame, the "
                "encoder's own loss included: (%d, %d) to (%d, %d), largest difference %d in a "
                "channel; around it at full scale, shown %d times larger:",
                int(worst.block.left), int(worst.block.top), int(worst.block.right),
                int(worst.block.bottom), worst.difference, kCropMagnification);
  *html += "<p>" + Escaped(where) + "</p>\n<div class=\"row crops\">\n" +
           CropFigure(presented, "presented") + CropFigure(far, "far side") +
           CropFigure(diff, "difference, " + std::to_string(kDifferenceGain) + " times") +
           "</div>\n";
  return true;
}

// A rate, or why there is none.
std::string RateCell(double value, bool holds, const std::string& otherwise) {
  return holds ? Cell(value, "%.1f /s") : Cell(otherwise);
}

std::string DisplayTable(const DisplayResult& display, const DemoResult& result) {
  DisplayFigures figures = FiguresOf(display, result);
  std::string html =
      "<table><tr><th>presents</th><th>present requests</th><th>rectangles sent after "
      "merging</th><th>bytes on the wire</th><th>bits per pixel sent</th><th>PSNR, far side "
      "against source</th><th>encode time per rectangle</th><th>wire time at " +
      std::string(UsbSpeedName(result.speed)) +
      " speed</th><th>frame rate the link could carry</th><th>stale blocks</th></tr><tr>";
  std::string saturated =
      "link saturated in " + std::to_string(figures.saturatedScenes) + " scene(s)";
  html += Cell(double(display.presents), "%.0f") + Cell(double(display.presentRequests), "%.0f") +
          Cell(double(display.rectanglesSent), "%.0f") + Cell(ByteText(double(display.wireBytes))) +
          Cell(figures.bitsPerPixel, "%.3f") + Cell(display.psnr, "%.2f dB") +
          Cell(figures.encodeMsPerRect, "%.3f ms") + Cell(figures.wireSeconds, "%.3f s") +
          RateCell(figures.linkFrameRate, figures.saturatedScenes == 0, saturated) +
          Cell(double(display.staleBlocks), "%.0f");
  return html + "</tr></table>\n";
}

bool DisplaySection(const std::string& outDir, const DisplayResult& display,
                    const DisplayPictures& pictures, const DemoResult& result, std::string* html,
                    std::string* error) {
  *html += "<h3>Display " + std::to_string(display.id) + ": " + std::to_string(display.width) +
           " &times; " + std::to_string(display.height) + " <small>(" +
           Escaped(display.instancePath) + ")</small></h3>\n<div class=\"row\">\n";
  std::vector<uint8_t> difference = DifferenceRgb(display.presented, display.farRgb);
  bool ok = Previews(outDir, display, pictures, difference, html, error);
  *html += "</div>\n";
  ok = ok && WorstBlockCrops(display, difference, html, error);
  *html += DisplayTable(display, result);
  return ok;
}

std::string SceneTable(const DemoResult& result) {
  std::string html =
      "<p>The frame rates are the presents a second each USB speed could carry if every present "
      "took the bytes this scene's presents took. A scene that kept the link busy " +
      std::to_string(int(kSaturatedBusy * 100)) +
      "% of its time or more saturated it: the worker merged presents that queued up meanwhile, "
      "and the rate shown is what was delivered to the far side.</p>\n"
      "<table><tr><th>scene</th><th>what it shows</th><th>seconds</th><th>presents</th>"
      "<th>rectangles sent</th><th>bytes on the wire</th><th>bytes per presented second</th>"
      "<th>link busy at " + std::string(UsbSpeedName(result.speed)) + " speed</th>"
      "<th>frame rate the link could carry, full speed</th><th>high speed</th>"
      "<th>SuperSpeed</th><th>stale blocks</th></tr>\n";
  for (const SceneResult& scene : result.scenes) {
    SceneFigures figures = FiguresOf(scene, result.speed);
    html += "<tr>" + Cell(scene.name) + Cell(SceneDescription(scene.name)) +
            Cell(figures.seconds, "%.2f") + Cell(double(scene.presents), "%.0f") +
            Cell(double(scene.rectanglesSent), "%.0f") + Cell(ByteText(double(scene.wireBytes))) +
            Cell(ByteText(figures.bytesPerSecond) + "/s") + Cell(100 * figures.linkBusy, "%.0f%%");
    char delivered[64];
    std::snprintf(delivered, sizeof delivered, "saturated: %.1f rectangles/s delivered",
                  figures.deliveredRate);
    const UsbSpeed speeds[3] = {UsbSpeed::Full, UsbSpeed::High, UsbSpeed::Super};
    for (int i = 0; i < 3; i++) {
      bool ran = speeds[i] == result.speed;
      html += RateCell(figures.linkFrameRate[i], !figures.saturated, ran ? delivered : "-");
    }
    html += Cell(double(scene.staleBlocks), "%.0f") + "</tr>\n";
  }
  return html + "</table>\n";
}

std::string Settings(const DemoOptions& options, const DemoResult& result) {
  char text[512];
  std::snprintf(text, sizeof text,
                "%zu display(s); %.2f s of virtual time at 60 frames a second, %.1f s of wall "
                "time; USB %s speed (the driver reports speed code %u); JPEG quality %d, "
                "sampling %d; displays %s; seed %llu. The frame worker used %.3f s of "
                "processor time.",
                result.displays.size(), double(result.virtualTime) / 1e7, result.wallSeconds,
                UsbSpeedName(options.usb), unsigned(result.driverUsbSpeed), options.quality,
                options.sampling,
                options.attach == AttachPath::FarSide ? "announced by the far side in link mode 1"
                                                      : "attached by the display stack's "
                                                        "control code in link mode 1",
                (unsigned long long)options.seed, double(result.workerTime) / 1e7);
  return "<p>" + Escaped(text) + " Adapter interface: <code>" + Escaped(result.interfaceName) +
         "</code>.</p>\n";
}

// How close each far side came to the reference at the last check, so that a reader sees the
// margins of the comparison, not only its verdict.
std::string CheckDetails(const DemoResult& result) {
  std::string html =
      "<p>After each scene, once the frame worker was idle, every far side was compared with its "
      "last presented frame as the driver's encoder codes it and the far side decodes it: inside "
      "every 16 &times; 16 block exactly, on the block's edge pixels (where decoding smooths "
      "colour across blocks) in brightness within " + std::to_string(kRingLumaTolerance) +
      ".</p>\n<table><tr><th>display</th><th>blocks compared</th><th>largest difference "
      "inside blocks</th><th>largest brightness difference on edges</th><th>stale blocks, all "
      "checks</th></tr>\n";
  for (const DisplayResult& display : result.displays) {
    const FarSideComparison& check = display.lastCheck;
    html += "<tr>" + Cell(double(display.id), "%.0f") + Cell(double(check.blocks), "%.0f") +
            Cell(double(check.worstInner), "%.0f") + Cell(double(check.worstRingLuma), "%.0f") +
            Cell(double(display.staleBlocks), "%.0f") + "</tr>\n";
  }
  return html + "</table>\n";
}

std::string Checks(const DemoResult& result) {
  std::string html = "<h2>Checks</h2>\n<p class=\"" + std::string(result.Clean() ? "ok" : "bad") +
                     "\">" +
                     (result.Clean() ? "Every far side shows what was presented: no protocol "
                                       "violation, no stale block, no leak."
                                     : "The run found faults.") +
                     "</p>\n<ul><li>protocol violations: " + std::to_string(result.violations) +
                     "</li><li>stale blocks (lost updates): " +
                     std::to_string(result.StaleBlocks()) + "</li><li>leaks after removal: " +
                     (result.leaks.empty() ? "none" : "see below") + "</li></ul>\n" +
                     CheckDetails(result);
  std::string details;
  for (const std::string& line : result.violationDetails) details += line + "\n";
  for (const std::string& line : result.failures) details += line + "\n";
  details += result.leaks;
  if (!details.empty()) html += "<pre>" + Escaped(details) + "</pre>\n";
  return html;
}

}  // namespace

bool WriteReport(const std::string& outDir, const DemoOptions& options, const DemoResult& result,
                 const ReportFiles& files, std::string* error) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<title>KxBusIdd demo</title><style>" + std::string(kStyle) +
                     "</style></head><body>\n<h1>KxBusIdd on a virtual desk</h1>\n" +
                     Settings(options, result) + Checks(result) + "<h2>Displays</h2>\n" +
                     kDisplayNotes;
  for (size_t d = 0; d < result.displays.size() && d < files.displays.size(); d++) {
    if (!DisplaySection(outDir, result.displays[d], files.displays[d], result, &html, error)) {
      return false;
    }
  }
  html += "<h2>Scenes</h2>\n" + SceneTable(result) + "<h2>Bytes on the wire</h2>\n" +
          WirePlotSvg(result) + "<h2>Files</h2>\n<ul><li><a href=\"" + Escaped(files.registry) +
          "\">" + Escaped(files.registry) + "</a>: the registry of the run</li>";
  if (!files.capture.empty()) {
    html += "<li><a href=\"" + Escaped(files.capture) + "\">" + Escaped(files.capture) +
            "</a>: every USB request, for Wireshark (USBPcap)</li>";
  }
  html += "</ul>\n</body></html>\n";
  std::ofstream out(outDir + "/report.html", std::ios::binary);
  out << html;
  if (!out) *error = "cannot write " + outDir + "/report.html";
  return bool(out);
}

}  // namespace kxsim
