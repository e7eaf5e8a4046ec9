// The demo's account of a run: report.html, one self-contained page (previews of the pictures
// and crops of the worst block inline, each preview linking to its full PNG beside the page),
// and the summary table printed at the end.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "demo_options.h"
#include "demo_result.h"

namespace kxsim {

// The PNG files of one display, as written into the output folder.
struct DisplayPictures {
  std::string presented;
  std::string farSide;
  std::string difference;
  std::string composite;
};

// Files the report names, relative to the output folder.
struct ReportFiles {
  std::vector<DisplayPictures> displays;  // in the order of the result's displays
  std::string registry;
  std::string capture;  // "" when none was made
};

// False with a message when the page cannot be written or a picture it links is missing.
bool WriteReport(const std::string& outDir, const DemoOptions& options, const DemoResult& result,
                 const ReportFiles& files, std::string* error);

void PrintSummary(FILE* to, const DemoOptions& options, const DemoResult& result);

// "1.25 MB", "512 B": bytes for people.
std::string ByteText(double bytes);

}  // namespace kxsim
