// What the demo writes: pictures inlined whole into report.html, its verdict, and the difference
// picture that shows where the far side went wrong.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/kxsim/demo_pictures.h"
#include "tools/kxsim/demo_report.h"

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

kxsim::DemoResult OneDisplay() {
  kxsim::DemoResult result;
  kxsim::DisplayResult display;
  display.id = 1;
  display.width = 16;
  display.height = 16;
  result.displays.push_back(display);
  kxsim::SceneResult scene;
  scene.name = "typing";
  scene.frames = 60;
  scene.endTime = 10000000;
  result.scenes.push_back(scene);
  return result;
}

// Each picture's bytes go into the page whole: one, two and three bytes of a last group.
TEST(DemoReport, PicturesAreInlinedWithEveryByte) {
  std::string dir = Folder("demo-report-inline");
  Write(dir + "/p.png", "M");
  Write(dir + "/f.png", "Ma");
  Write(dir + "/d.png", std::string("Man\xFF\xFE", 5));
  kxsim::ReportFiles files;
  files.displays.push_back({"p.png", "f.png", "d.png", "c.png"});
  files.registry = "registry.reg";
  std::string error;
  ASSERT_TRUE(kxsim::WriteReport(dir, kxsim::DemoOptions(), OneDisplay(), files, &error))
      << error;
  std::string html = Read(dir + "/report.html");
  EXPECT_NE(std::string::npos, html.find("base64,TQ==\""));
  EXPECT_NE(std::string::npos, html.find("base64,TWE=\""));
  EXPECT_NE(std::string::npos, html.find("base64,TWFu//4=\""));
  EXPECT_NE(std::string::npos, html.find("class=\"ok\""));
  EXPECT_NE(std::string::npos, html.find("href=\"registry.reg\""));
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
