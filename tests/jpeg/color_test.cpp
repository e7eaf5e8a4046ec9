// Colour conversion and chroma reduction at every stage level, on the values the formulas pin.
#include <gtest/gtest.h>

#include "stage_levels.h"

namespace jpegtest {
namespace {

struct Ycc {
  int y, cb, cr;
  bool operator==(const Ycc& o) const { return y == o.y && cb == o.cb && cr == o.cr; }
};

std::ostream& operator<<(std::ostream& out, const Ycc& c) {
  return out << "(" << c.y << ", " << c.cb << ", " << c.cr << ")";
}

Ycc Convert(const JpegStageRoutines* stages, uint8_t blue, uint8_t green, uint8_t red,
            ULONG bytesPerPixel) {
  // The pixel of interest last in a row, so a vector implementation runs its tail path too.
  const ULONG width = 19;
  std::vector<uint8_t> source(width * bytesPerPixel, 0x77);
  uint8_t* p = &source[(width - 1) * bytesPerPixel];
  p[0] = blue;
  p[1] = green;
  p[2] = red;
  uint8_t y[width], cb[width], cr[width];
  stages->ConvertRow(source.data(), bytesPerPixel, width, y, cb, cr);
  return {y[width - 1], cb[width - 1], cr[width - 1]};
}

TEST(JpegColor, PrimariesConvertToTheirPinnedValues) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    for (ULONG bytes : {3u, 4u}) {
      SCOPED_TRACE(std::string(stages->Name) + ", " + std::to_string(bytes) + "-byte pixels");
      EXPECT_EQ((Ycc{255, 128, 128}), Convert(stages, 255, 255, 255, bytes)) << "white";
      EXPECT_EQ((Ycc{0, 128, 128}), Convert(stages, 0, 0, 0, bytes)) << "black";
      EXPECT_EQ((Ycc{76, 85, 255}), Convert(stages, 0, 0, 255, bytes)) << "red";
      EXPECT_EQ((Ycc{29, 255, 107}), Convert(stages, 255, 0, 0, bytes)) << "blue";
    }
  }
}

TEST(JpegColor, ReductionAlternatesItsRounding) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    SCOPED_TRACE(stages->Name);
    const ULONG width = 24;  // output samples; a pattern repeated across vector widths
    std::vector<uint8_t> pairs(2 * width), flat(2 * width, 10), out(width);
    for (ULONG i = 0; i < 2 * width; i++) pairs[i] = i % 2 == 0 ? 10 : 11;

    stages->ReduceRowH2V1(pairs.data(), width, out.data());
    for (ULONG i = 0; i < width; i++) EXPECT_EQ(i % 2 == 0 ? 10 : 11, out[i]) << "h2v1 " << i;

    stages->ReduceRowH2V2(flat.data(), flat.data(), width, out.data());
    for (ULONG i = 0; i < width; i++) EXPECT_EQ(10, out[i]) << "h2v2 flat " << i;

    stages->ReduceRowH2V2(pairs.data(), pairs.data(), width, out.data());
    for (ULONG i = 0; i < width; i++) EXPECT_EQ(i % 2 == 0 ? 10 : 11, out[i]) << "h2v2 " << i;
  }
}

}  // namespace
}  // namespace jpegtest
