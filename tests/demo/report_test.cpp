// What the demo writes: report.html with previews that link their full pictures and crops of the
// worst block, small enough to open at once; its verdict; and the difference picture that shows
// where the far side went wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/kxsim/demo_pictures.h"
#include "tools/kxsim/demo_previews.h"
#include "tools/kxsim/demo_report.h"
#include "tools/kxsim/png_file.h"

namespace kxtest {
namespace {

std::string Folder(const std::string& name) {
  std::string dir = testing::TempDir() + name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A picture with something in every block: a gradient crossed by lines.
kxsim::BgrxImage Picture(int width, int height) {
  kxsim::BgrxImage image;
  image.width = width;
  image.height = height;
  image.pixels.resize(size_t(width) * height * 4);
  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      uint8_t* p = &image.pixels[(size_t(y) * width + x) * 4];
      p[0] = uint8_t(x * 255 / width);
      p[1] = uint8_t(y * 255 / height);
      p[2] = (x % 37 == 0 || y % 23 == 0) ? 255 : 40;
    }
  }
  return image;
}

kxsim::DemoResult OneDisplay(int width = 64, int height = 48) {
  kxsim::DemoResult result;
  kxsim::DisplayResult display;
  display.id = 1;
  display.width = width;
  display.height = height;
  display.presented = Picture(width, height);
  display.farRgb = kxsim::RgbOf(display.presented);
  result.displays.push_back(display);
  kxsim::SceneResult scene;
  scene.name = "typing";
  scene.frames = 60;
  scene.endTime = 10000000;
  result.scenes.push_back(scene);
  return result;
}

// Each name a link of the page points at (href="..."), data: addresses left out.
std::vector<std::string> Links(const std::string& html) {
  std::vector<std::string> links;
  for (size_t at = html.find("href=\""); at != std::string::npos; at = html.find("href=\"", at)) {
    at += 6;
    links.push_back(html.substr(at, html.find('"', at) - at));
  }
  return links;
}

void WritePictures(const std::string& dir, kxsim::ReportFiles* files, int displays) {
  for (int d = 1; d <= displays; d++) {
    std::string stem = "d" + std::to_string(d);
    kxsim::DisplayPictures names{stem + "p.png", stem + "f.png", stem + "d.png", stem + "c.png"};
    for (const std::string& name : {names.presented, names.farSide, names.difference}) {
      Write(dir + "/" + name, "png");
    }
    files->displays.push_back(names);
  }
  files->registry = "registry.reg";
  Write(dir + "/registry.reg", "REGEDIT4");
}

// The previews link their full pictures, the difference preview keeps a single wrong pixel, and
// the worst block is named and shown.
TEST(DemoReport, PreviewsLinkTheirPicturesAndTheWorstBlockIsShown) {
  std::string dir = Folder("demo-report-previews");
  kxsim::ReportFiles files;
  WritePictures(dir, &files, 1);
  kxsim::DemoResult result = OneDisplay(1280, 720);
  // One far-side pixel off by 50 in green, inside the block from (208, 96).
  size_t wrong = (size_t(101) * 1280 + 211) * 3 + 1;
  result.displays[0].farRgb[wrong] = uint8_t(result.displays[0].farRgb[wrong] + 50);
  std::string error;
  ASSERT_TRUE(kxsim::WriteReport(dir, kxsim::DemoOptions(), result, files, &error)) << error;
  std::string html = Read(dir + "/report.html");
  for (const std::string& link : Links(html)) {
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + link)) << link;
  }
  for (const char* name : {"d1p.png", "d1f.png", "d1d.png", "registry.reg"}) {
    EXPECT_NE(std::string::npos, html.find(std::string("<a href=\"") + name + "\"")) << name;
  }
  EXPECT_NE(std::string::npos, html.find("width=\"640\" height=\"360\" src=\"data:image/jpeg"));
  EXPECT_NE(std::string::npos, html.find("(208, 96) to (224, 112), largest difference 50 in a"));
  EXPECT_NE(std::string::npos, html.find("class=\"ok\""));

  std::vector<uint8_t> difference = kxsim::DifferenceRgb(result.displays[0].presented,
                                                         result.displays[0].farRgb);
  kxsim::InlinePicture preview;
  ASSERT_TRUE(kxsim::DifferencePreview(1280, 720, difference, 640, &preview, &error)) << error;
  Write(dir + "/preview.png", preview.bytes);
  kxsim::BgrxImage decoded;
  ASSERT_TRUE(kxsim::LoadPng(dir + "/preview.png", &decoded, &error)) << error;
  ASSERT_EQ(640, decoded.width);
  ASSERT_EQ(360, decoded.height);
  int lit = 0;
  for (size_t i = 0; i < decoded.pixels.size(); i += 4) lit += decoded.pixels[i + 1] != 0;
  EXPECT_EQ(1, lit) << "the wrong pixel shows in the preview, and nothing else";
  EXPECT_EQ(255, decoded.pixels[(size_t(50) * 640 + 105) * 4 + 1]) << "50 x 8, clamped";
}

// The default demo's displays, 1920 x 1080 and 2560 x 1440, showing photographs with a far side
// wrong by a little everywhere, the hardest content for the previews to keep small: the page
// stays under 3 MB.
TEST(DemoReport, APageOfTwoLargePhotographicDisplaysStaysUnderThreeMegabytes) {
  std::string dir = Folder("demo-report-size");
  kxsim::ReportFiles files;
  WritePictures(dir, &files, 2);
  kxsim::DemoResult result = OneDisplay();
  result.displays.clear();
  const char* photos[] = {"photo-1.png", "large-photo-1.png"};
  uint32_t noise = 12345;
  for (int d = 0; d < 2; d++) {
    kxsim::DisplayResult display;
    display.id = d + 1;
    std::string error;
    ASSERT_TRUE(kxsim::LoadPng(std::string(KX_CORPUS_DIR) + "/" + photos[d], &display.presented,
                               &error))
        << error;
    display.width = display.presented.width;
    display.height = display.presented.height;
    display.farRgb = kxsim::RgbOf(display.presented);
    for (uint8_t& value : display.farRgb) {
      noise = noise * 1103515245u + 12345u;
      value = uint8_t(std::min(255, std::max(0, int(value) + int(noise >> 29) - 3)));
    }
    result.displays.push_back(display);
  }
  std::string error;
  ASSERT_TRUE(kxsim::WriteReport(dir, kxsim::DemoOptions(), result, files, &error)) << error;
  EXPECT_LT(std::filesystem::file_size(dir + "/report.html"), 3u << 20);
  std::vector<std::string> links = Links(Read(dir + "/report.html"));
  for (const kxsim::DisplayPictures& pictures : files.displays) {
    for (const std::string& name : {pictures.presented, pictures.farSide, pictures.difference}) {
      EXPECT_NE(links.end(), std::find(links.begin(), links.end(), name)) << name;
    }
  }
}

TEST(DemoReport, AMissingPictureFailsAndAFaultyRunSaysSo) {
  std::string dir = Folder("demo-report-faulty");
  kxsim::ReportFiles files;
  files.displays.push_back({"p.png", "f.png", "d.png", "c.png"});
  kxsim::DemoResult result = OneDisplay();
  std::string error;
  EXPECT_FALSE(kxsim::WriteReport(dir, kxsim::DemoOptions(), result, files, &error));
  EXPECT_NE(std::string::npos, error.find("p.png"));

  for (const char* name : {"p.png", "f.png", "d.png"}) Write(dir + "/" + name, "x");
  result.displays[0].staleBlocks = 3;
  result.failures.push_back("a <failure>");
  ASSERT_TRUE(kxsim::WriteReport(dir, kxsim::DemoOptions(), result, files, &error)) << error;
  std::string html = Read(dir + "/report.html");
  EXPECT_NE(std::string::npos, html.find("class=\"bad\""));
  EXPECT_NE(std::string::npos, html.find("a &lt;failure&gt;")) << "text is escaped";
}

TEST(DemoPictures, TheDifferenceIsBlackWhereTheFarSideIsRightAndGlaresWhereNot) {
  kxsim::BgrxImage presented;
  presented.width = 3;
  presented.height = 1;
  presented.pixels = {10, 20, 30, 0, 10, 20, 30, 0, 10, 20, 30, 0};  // blue, green, red, x
  std::vector<uint8_t> far = {30, 20, 10, 30, 20, 13, 130, 20, 10};  // red, green, blue
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 24, 255, 0, 0}),
            kxsim::DifferenceRgb(presented, far));
  EXPECT_EQ(std::vector<uint8_t>(9, 255), kxsim::DifferenceRgb(presented, {1, 2, 3}))
      << "a far side of another size matches nowhere";
  EXPECT_EQ(presented.pixels, kxsim::BgrxOf(3, 1, kxsim::RgbOf(presented)).pixels);
}

}  // namespace
}  // namespace kxtest
