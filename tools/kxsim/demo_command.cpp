#include "demo_command.h"

#include <filesystem>

#include "bench_support.h"
#include "demo_pictures.h"
#include "demo_report.h"
#include "demo_run.h"
#include "host/hostk/clock.h"
#include "png_file.h"

namespace kxsim {
namespace {

constexpr int kCompositePanelWidth = 560;

// The corpus, for the slide show and the pictures in windows and pages. False with a message
// when the slide show was asked for and there are no pictures.
bool LoadPictures(const DemoOptions& options, ScenePictures* pictures, std::string* error) {
  for (const std::string& path : CorpusImages()) {
    BgrxImage image;
    std::string ignored;
    if (LoadPng(path, &image, &ignored)) pictures->push_back(std::move(image));
  }
  std::vector<std::string> scenes = DemoScenes(options);
  bool slideShow = std::find(scenes.begin(), scenes.end(), "corpus") != scenes.end();
  if (slideShow && pictures->empty()) {
    *error = "no corpus pictures found (corpus/ here or beside the sources)";
    return false;
  }
  return true;
}

// Quick to write: four large pictures a display would otherwise take longer than the run.
bool SavePicture(const std::string& dir, const std::string& file, int width, int height,
                 const std::vector<uint8_t>& rgb, std::string* error) {
  return SaveRgbPng(dir + "/" + file, width, height, rgb, error, true);
}

// The four pictures of each display; their names in `files`.
bool SavePictures(const std::string& dir, const DemoResult& result, ReportFiles* files,
                  std::string* error) {
  for (const DisplayResult& display : result.displays) {
    std::string stem = "display-" + std::to_string(display.id);
    DisplayPictures names{stem + "-presented.png", stem + "-far-side.png",
                          stem + "-difference.png", stem + "-composite.png"};
    BgrxImage composite = Composite(display, kCompositePanelWidth);
    bool ok =
        SavePicture(dir, names.presented, display.width, display.height,
                    RgbOf(display.presented), error) &&
        SavePicture(dir, names.farSide, display.width, display.height, display.farRgb, error) &&
        SavePicture(dir, names.difference, display.width, display.height,
                    DifferenceRgb(display.presented, display.farRgb), error) &&
        SavePicture(dir, names.composite, composite.width, composite.height, RgbOf(composite),
                    error);
    if (!ok) return false;
    files->displays.push_back(names);
  }
  return true;
}

bool WriteText(const std::string& path, const std::string& text, std::string* error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  if (!ok) *error = "cannot write " + path;
  return ok;
}

// A capture named without a folder goes into the output folder with the rest.
std::string CapturePath(const DemoOptions& options) {
  if (options.capturePath.empty()) return "";
  std::filesystem::path path(options.capturePath);
  if (path.is_absolute() || path.has_parent_path()) return options.capturePath;
  return options.outDir + "/" + options.capturePath;
}

bool WriteOutputs(const DemoOptions& options, const DemoResult& result, std::string* error) {
  ReportFiles files;
  files.registry = "registry.reg";
  std::string capture = CapturePath(options);
  bool inside = capture.rfind(options.outDir + "/", 0) == 0;
  files.capture = inside ? capture.substr(options.outDir.size() + 1) : capture;
  return SavePictures(options.outDir, result, &files, error) &&
         WriteText(options.outDir + "/" + files.registry, result.registry, error) &&
         WriteReport(options.outDir, options, result, files, error);
}

}  // namespace

int RunDemoCommand(int argc, char** argv) {
  DemoOptions options;
  std::string error;
  bool help = false;
  if (!ParseDemoOptions(argc, argv, &options, &error, &help)) {
    std::fprintf(stderr, "kxsim demo: %s\n", error.c_str());
    PrintDemoUsage(stderr);
    return 2;
  }
  if (help) {
    PrintDemoUsage(stdout);
    return 0;
  }
  ScenePictures pictures;
  std::error_code made;
  std::filesystem::create_directories(options.outDir, made);
  if (made || !LoadPictures(options, &pictures, &error)) {
    std::fprintf(stderr, "kxsim demo: %s\n", made ? ("cannot make " + options.outDir).c_str()
                                                   : error.c_str());
    return 1;
  }
  options.capturePath = CapturePath(options);
  DemoResult result;
  bool ran;
  {
    hostk::ManagedThreadScope thread("kxsim demo");
    ran = RunDemo(options, pictures, true, &result);
  }
  if (ran && !WriteOutputs(options, result, &error)) {
    result.failures.push_back(error);
  }
  PrintSummary(stdout, options, result);
  if (ran) std::printf("report: %s/report.html\n", options.outDir.c_str());
  return ran && result.Clean() ? 0 : 1;
}

}  // namespace kxsim
