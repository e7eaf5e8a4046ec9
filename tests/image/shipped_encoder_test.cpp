// The encoder of the shipped KxBusIdd.sys, called in the image, against the same sources built
// for the host: byte-identical streams at every stage level this processor runs, on corpus
// content at the settings the benchmarks measure. The image's stages are the cross compiler's
// code for eight vector registers; the host build's are the ones the encoder's own tests check
// against the portable level.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/hostk/driver_image.h"
#include "jpeg/jpeg.h"
#include "jpeg/stages.h"
#include "shipped/image_map.h"
#include "tools/kxsim/png_file.h"

namespace kxtest {
namespace {

struct ImageEncoder {
  decltype(&JpegEncodeFrame) encode;
  decltype(&JpegLimitStageLevel) limit;
  decltype(&JpegSelectStageRoutines) select;
};

std::vector<uint8_t> Encode(decltype(&JpegEncodeFrame) encode, const kxsim::BgrxImage& image,
                            int quality, int sampling) {
  std::vector<uint8_t> out(size_t(16) * image.width * image.height + 65536);
  JpegEncodeParams params = {image.width, image.height, 4, image.pixels.data(), image.width * 4,
                             quality, sampling, out.data(), LONG(out.size()), 0};
  EXPECT_EQ(JpegResultOk, encode(&params));
  out.resize(size_t(params.OutputLength));
  return out;
}

// A `size` x `size` piece of `image` from (left, top), its rows copied.
kxsim::BgrxImage Crop(const kxsim::BgrxImage& image, int left, int top, int size) {
  kxsim::BgrxImage piece;
  piece.width = piece.height = size;
  piece.pixels.resize(size_t(4) * size * size);
  for (int y = 0; y < size; y++) {
    const uint8_t* row = &image.pixels[(size_t(top + y) * image.width + left) * 4];
    std::copy(row, row + 4 * size, &piece.pixels[size_t(4) * size * y]);
  }
  return piece;
}

class ShippedEncoder : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(KX_KERNEL_IMAGE)) {
      GTEST_SKIP() << "no kernel image at " << KX_KERNEL_IMAGE;
    }
    std::string error;
    image_ = hostk::LoadDriverImage(KX_KERNEL_IMAGE, &error);
    ASSERT_NE(nullptr, image_) << error;
    std::ifstream file(std::filesystem::path(KX_KERNEL_IMAGE).replace_extension(".map"));
    std::stringstream text;
    text << file.rdbuf();
    ImageMap map;
    ASSERT_TRUE(map.Parse(text.str(), &error)) << error;
    encoder_.encode = Routine<decltype(&JpegEncodeFrame)>(map, "JpegEncodeFrame");
    encoder_.limit = Routine<decltype(&JpegLimitStageLevel)>(map, "JpegLimitStageLevel");
    encoder_.select = Routine<decltype(&JpegSelectStageRoutines)>(map, "JpegSelectStageRoutines");
  }
  void TearDown() override {
    JpegLimitStageLevel(JpegLevelCount - 1);
    JpegSelectStageRoutines();
    if (image_ != nullptr) hostk::UnloadDriverImage(image_);
  }
  template <class R>
  R Routine(const ImageMap& map, const char* name) {
    uint32_t offset = 0;
    std::string error;
    EXPECT_TRUE(map.Offset(name, &offset, &error)) << error;
    return reinterpret_cast<R>(hostk::DriverImageBase(image_) + offset);
  }
  // Both builds at `level` (or the highest below it this processor runs).
  void SelectLevel(ULONG level) {
    encoder_.limit(level);
    encoder_.select();
    JpegLimitStageLevel(level);
    JpegSelectStageRoutines();
  }

  hostk::DriverImage* image_ = nullptr;
  ImageEncoder encoder_ = {};
};

TEST_F(ShippedEncoder, GivesTheHostBuildsStreamAtEveryLevel) {
  const char* names[] = {"doc-text-1.png", "mixed-1.png", "photo-1.png"};
  struct Setting {
    int quality, sampling;
  } settings[] = {{75, JpegSampling420}, {90, JpegSampling444}, {50, JpegSampling422}};
  for (const char* name : names) {
    kxsim::BgrxImage whole;
    std::string error;
    ASSERT_TRUE(kxsim::LoadPng(std::string(KX_CORPUS_DIR) + "/" + name, &whole, &error)) << error;
    // A piece whose width ends inside a vector group and whose height leaves bottom padding.
    kxsim::BgrxImage piece = Crop(whole, 301, 117, 203);
    for (ULONG level = 0; level < JpegLevelCount; level++) {
      if (!JpegProcessorRunsLevel(level)) continue;
      SelectLevel(level);
      for (const Setting& s : settings) {
        SCOPED_TRACE(std::string(name) + " at level " + std::to_string(level) + ", q" +
                     std::to_string(s.quality) + " sampling " + std::to_string(s.sampling));
        std::vector<uint8_t> shipped = Encode(encoder_.encode, piece, s.quality, s.sampling);
        std::vector<uint8_t> host = Encode(JpegEncodeFrame, piece, s.quality, s.sampling);
        ASSERT_FALSE(shipped.empty());
        EXPECT_TRUE(shipped == host) << shipped.size() << " bytes against " << host.size();
      }
    }
  }
  // One whole frame at the highest level, as the driver sends it.
  SelectLevel(JpegLevelCount - 1);
  kxsim::BgrxImage photo;
  std::string error;
  ASSERT_TRUE(kxsim::LoadPng(std::string(KX_CORPUS_DIR) + "/photo-1.png", &photo, &error));
  EXPECT_TRUE(Encode(encoder_.encode, photo, 75, JpegSampling420) ==
              Encode(JpegEncodeFrame, photo, 75, JpegSampling420));
}

}  // namespace
}  // namespace kxtest
