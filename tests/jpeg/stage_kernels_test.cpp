// Each stage's kernel at every vector level against the portable kernel on random inputs: every
// width from the shortest up past several vectors, canaries after the last byte a kernel may
// write, reciprocal tables of every quality, and coded blocks from any writer state.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "jpeg/encoder.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

constexpr uint8_t kCanary = 0xC5;
constexpr size_t kCanaryBytes = 64;

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t count) {
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = uint8_t(random());
  return bytes;
}

// Rows a kernel writes, with canaries behind them.
struct Row {
  explicit Row(size_t width) : bytes(width + kCanaryBytes, kCanary), width(width) {}
  uint8_t* data() { return bytes.data(); }
  bool operator==(const Row& other) const { return bytes == other.bytes; }
  std::vector<uint8_t> bytes;
  size_t width;
};

TEST(JpegStageKernels, ConversionMatchesThePortableKernelAtEveryWidth) {
  std::mt19937 random(11);
  for (const JpegStageRoutines* stages : VectorStageLevels()) {
    for (ULONG bytesPerPixel : {3u, 4u}) {
      for (ULONG width = 1; width <= 300; width += width < 80 ? 1 : 37) {
        SCOPED_TRACE(std::string(stages->Name) + ", " + std::to_string(bytesPerPixel) +
                     "-byte pixels, width " + std::to_string(width));
        std::vector<uint8_t> source = RandomBytes(random, width * bytesPerPixel);
        Row y(width), cb(width), cr(width), y0(width), cb0(width), cr0(width);
        JpegConvertRowPortable(source.data(), bytesPerPixel, width, y0.data(), cb0.data(),
                               cr0.data());
        stages->ConvertRow(source.data(), bytesPerPixel, width, y.data(), cb.data(), cr.data());
        ASSERT_TRUE(y == y0);
        ASSERT_TRUE(cb == cb0);
        ASSERT_TRUE(cr == cr0);
      }
    }
  }
}

// Every combination of a pixel's blue, green and red in steps that include 0 and 255, so each
// fixed-point split of the coefficients meets its extremes.
TEST(JpegStageKernels, ConversionMatchesOnTheWholeColourCube) {
  std::vector<uint8_t> source;
  for (int b = 0; b < 256; b += 15) {
    for (int g = 0; g < 256; g += 15) {
      for (int r = 0; r < 256; r += 15)
        source.insert(source.end(), {uint8_t(b), uint8_t(g), uint8_t(r), uint8_t(b ^ r)});
    }
  }
  ULONG width = ULONG(source.size() / 4);
  std::vector<uint8_t> y0(width), cb0(width), cr0(width);
  JpegConvertRowPortable(source.data(), 4, width, y0.data(), cb0.data(), cr0.data());
  for (const JpegStageRoutines* stages : VectorStageLevels()) {
    std::vector<uint8_t> y(width), cb(width), cr(width);
    stages->ConvertRow(source.data(), 4, width, y.data(), cb.data(), cr.data());
    EXPECT_EQ(y0, y) << stages->Name;
    EXPECT_EQ(cb0, cb) << stages->Name;
    EXPECT_EQ(cr0, cr) << stages->Name;
  }
}

// Runs of one colour, as desktops are made of, which the vector kernels convert as one pixel: runs
// of every length at every offset, the ignored byte varying within a run, and runs spoilt by a
// single pixel that differs in one channel only.
TEST(JpegStageKernels, ConversionMatchesOnRunsOfOneColour) {
  std::mt19937 random(15);
  const ULONG width = 1000;
  for (const JpegStageRoutines* stages : VectorStageLevels()) {
    SCOPED_TRACE(stages->Name);
    for (int trial = 0; trial < 200; trial++) {
      std::vector<uint8_t> source(4 * width);
      uint8_t colour[3] = {uint8_t(random()), uint8_t(random()), uint8_t(random())};
      for (ULONG x = 0; x < width; x++) {
        if (random() % (trial % 2 ? 7 : 90) == 0) {
          for (uint8_t& channel : colour) channel = uint8_t(random());
        }
        std::copy(colour, colour + 3, &source[4 * x]);
        source[4 * x + 3] = uint8_t(random());
      }
      ULONG spoilt = ULONG(random() % width);
      source[4 * spoilt + random() % 3] ^= uint8_t(1 << (random() % 8));
      Row y(width), cb(width), cr(width), y0(width), cb0(width), cr0(width);
      JpegConvertRowPortable(source.data(), 4, width, y0.data(), cb0.data(), cr0.data());
      stages->ConvertRow(source.data(), 4, width, y.data(), cb.data(), cr.data());
      ASSERT_TRUE(y == y0) << "trial " << trial;
      ASSERT_TRUE(cb == cb0) << "trial " << trial;
      ASSERT_TRUE(cr == cr0) << "trial " << trial;
    }
  }
}

TEST(JpegStageKernels, ReductionMatchesThePortableKernelAtEveryWidth) {
  std::mt19937 random(12);
  for (const JpegStageRoutines* stages : VectorStageLevels()) {
    for (ULONG width = 1; width <= 200; width += width < 100 ? 1 : 13) {
      SCOPED_TRACE(std::string(stages->Name) + ", output width " + std::to_string(width));
      std::vector<uint8_t> top = RandomBytes(random, 2 * width);
      std::vector<uint8_t> bottom = RandomBytes(random, 2 * width);
      Row h2v1(width), h2v1Portable(width), h2v2(width), h2v2Portable(width);
      JpegReduceRowH2V1Portable(top.data(), width, h2v1Portable.data());
      stages->ReduceRowH2V1(top.data(), width, h2v1.data());
      ASSERT_TRUE(h2v1 == h2v1Portable);
      JpegReduceRowH2V2Portable(top.data(), bottom.data(), width, h2v2Portable.data());
      stages->ReduceRowH2V2(top.data(), bottom.data(), width, h2v2.data());
      ASSERT_TRUE(h2v2 == h2v2Portable);
    }
  }
}

// Blocks of every character, extremes included: the largest coefficients come from checkerboards
// and bars of 0 and 255; flat blocks (one sample value) take a shorter way through the vector
// kernels, and blocks flat but for one sample must not.
std::vector<uint8_t> RandomBlockRows(std::mt19937& random, int kind, ULONG pitch) {
  std::vector<uint8_t> rows(8 * pitch, uint8_t(random()));
  int low = int(random() % 256), high = int(random() % 256);
  for (int y = 0; y < 8; y++) {
    for (int x = 0; x < 8; x++) {
      int value;
      switch (kind % 7) {
        case 5:
          value = low;
          break;
        case 6:
          value = (x == int(random() % 8) && y == 7) ? high : low;
          break;
        case 0:
          value = int(random() % 256);
          break;
        case 1:
          value = (x + y) % 2 ? 255 : 0;
          break;
        case 2:
          value = ((x >> (kind % 3)) + (y >> (kind % 2))) % 2 ? low : high;
          break;
        case 3:
          value = std::clamp(low + (x - 4) * (kind % 9) + (y - 4) * 3, 0, 255);
          break;
        default:
          value = random() % 7 == 0 ? 255 : 0;
          break;
      }
      rows[y * pitch + x] = uint8_t(value);
    }
  }
  return rows;
}

TEST(JpegStageKernels, TransformMatchesThePortableKernelForEveryTable) {
  std::mt19937 random(13);
  std::vector<JpegQuantTable> tables;
  for (int quality = 0; quality <= 100; quality += 3) {
    tables.emplace_back();
    JpegBuildQuantTable(quality % 2 ? JpegLuminanceQuantBase : JpegChrominanceQuantBase,
                        quality == 99 ? 100 : quality, &tables.back());
  }
  for (const JpegStageRoutines* stages : VectorStageLevels()) {
    SCOPED_TRACE(stages->Name);
    for (int n = 0; n < 3000; n++) {
      ULONG pitch = 8 + 8 * (n % 4);
      std::vector<uint8_t> first = RandomBlockRows(random, n, pitch);
      std::vector<uint8_t> second = RandomBlockRows(random, n % 3 ? n / 3 : n + 1, pitch);
      const USHORT* reciprocals = tables[n % tables.size()].Reciprocal;
      SHORT expected[2][64], single[64], pair[2][64];
      JpegTransformBlockPortable(first.data(), pitch, reciprocals, expected[0]);
      JpegTransformBlockPortable(second.data(), pitch, reciprocals, expected[1]);
      stages->TransformBlock(first.data(), pitch, reciprocals, single);
      stages->TransformBlockPair(first.data(), second.data(), pitch, reciprocals, pair[0], pair[1]);
      ASSERT_TRUE(std::equal(single, single + 64, expected[0])) << "block " << n;
      ASSERT_TRUE(std::equal(pair[0], pair[0] + 64, expected[0])) << "pair " << n << ", first";
      ASSERT_TRUE(std::equal(pair[1], pair[1] + 64, expected[1])) << "pair " << n << ", second";
    }
  }
}

// Coefficient blocks from empty to full, with values up to the 15-bit sizes the DCT never gives,
// long zero runs, DC differences of every size, and blocks of hundreds of bytes, most of them
// stuffed.
std::vector<SHORT> RandomCoefficients(std::mt19937& random, int n) {
  std::vector<SHORT> block(64, 0);
  if (n % 13 == 0) {  // the longest block: every coefficient of size 10, nearly all bits 1
    for (SHORT& value : block) value = 1023;
    block[0] = SHORT(random() % 2048);
    return block;
  }
  int density = n % 8;  // 0: DC only ... 7: every coefficient
  int largest = (n % 5 == 0) ? 32767 : (n % 3 == 0 ? 2047 : 63);
  if (density == 1) {  // one or two AC coefficients anywhere, the DC's vector lanes included
    block[0] = SHORT(int(random() % (2 * largest + 1)) - largest);
    for (int i = 0; i <= n / 8 % 2; i++) {
      int value = 1 + int(random() % largest);
      block[1 + random() % 63] = SHORT(random() % 2 ? value : -value);
    }
    return block;
  }
  for (int k = 0; k < 64; k++) {
    bool set = k == 0 || density == 7 || int(random() % 8) < density;
    if (set) block[k] = SHORT(int(random() % (2 * largest + 1)) - largest);
  }
  return block;
}

struct CodedBlock {
  BOOLEAN ok = FALSE;
  SHORT lastDc = 0;
  JpegBitWriter writer{};
  std::vector<uint8_t> buffer;
};

CodedBlock CodeWith(const JpegStageRoutines* stages, const std::vector<SHORT>& block, SHORT lastDc,
                    const JpegBitWriter& start, const JpegHuffmanCodes& dc,
                    const JpegHuffmanCodes& ac) {
  CodedBlock coded;
  coded.buffer.assign(JpegInternalBufferSize, 0xA7);
  coded.writer = start;
  coded.writer.Buffer = coded.buffer.data();
  coded.lastDc = lastDc;
  coded.ok = stages->CodeBlock(&coded.writer, block.data(), &coded.lastDc, &dc, &ac);
  return coded;
}

TEST(JpegStageKernels, BlockCodingMatchesThePortableKernelFromAnyWriterState) {
  std::mt19937 random(14);
  JpegHuffmanCodes dc[2], ac[2];
  JpegBuildHuffmanCodes(&JpegDcLuminanceSpec, &dc[0]);
  JpegBuildHuffmanCodes(&JpegDcChrominanceSpec, &dc[1]);
  JpegBuildHuffmanCodes(&JpegAcLuminanceSpec, &ac[0]);
  JpegBuildHuffmanCodes(&JpegAcChrominanceSpec, &ac[1]);
  long stuffed = 0, failed = 0;
  for (const JpegStageRoutines* stages : CoderStageLevels()) {
    SCOPED_TRACE(stages->Name);
    for (int n = 0; n < 20000; n++) {
      std::vector<SHORT> block = RandomCoefficients(random, n);
      SHORT lastDc = SHORT(int(random() % 4095) - 2047);
      JpegBitWriter start{};
      start.BitCount = random() % 8;
      start.Bits = ULONG(random()) & ((1u << start.BitCount) - 1);
      // Mostly room to spare; now and then a buffer all but full, where bytes may not fit.
      start.Fill = n % 4 ? ULONG(random() % 2048) : JpegInternalBufferSize - ULONG(random() % 600);
      int table = n % 2;
      CodedBlock expected =
          CodeWith(&JpegPortableStages, block, lastDc, start, dc[table], ac[table]);
      CodedBlock coded = CodeWith(stages, block, lastDc, start, dc[table], ac[table]);
      ASSERT_EQ(expected.ok, coded.ok) << "block " << n;
      failed += !expected.ok;
      ASSERT_EQ(expected.lastDc, coded.lastDc) << "block " << n;
      if (!expected.ok) continue;  // the call ends; what the buffer holds no longer counts
      ASSERT_EQ(expected.writer.Fill, coded.writer.Fill) << "block " << n;
      ASSERT_EQ(expected.writer.BitCount, coded.writer.BitCount) << "block " << n;
      ASSERT_EQ(expected.writer.Bits, coded.writer.Bits) << "block " << n;
      ASSERT_TRUE(std::equal(expected.buffer.begin() + start.Fill,
                             expected.buffer.begin() + expected.writer.Fill,
                             coded.buffer.begin() + start.Fill))
          << "block " << n;
      for (ULONG i = start.Fill; i + 1 < expected.writer.Fill; i++) {
        stuffed += expected.buffer[i] == 0xFF && expected.buffer[i + 1] == 0x00;
      }
    }
  }
  if (!VectorStageLevels().empty()) {
    EXPECT_GT(stuffed, 100) << "the blocks must make the coder stuff 0xFF bytes";
    EXPECT_GT(failed, 10) << "the blocks must make the coder run out of room";
  }
}

// The output side of an MCU coder: every flush takes the internal buffer's bytes, as the stream
// layout's would, and the stream may refuse a flush.
struct FlushLog {
  JpegBitWriter* writer = nullptr;
  std::vector<uint8_t> flushed;
  std::vector<ULONG> flushSizes;
  int failAfter = -1;  // flushes accepted before one fails; -1: never fails
  bool refused = false;

  static BOOLEAN Flush(PVOID context) {
    auto* log = static_cast<FlushLog*>(context);
    if (log->failAfter == int(log->flushSizes.size())) {
      log->refused = true;
      return FALSE;
    }
    log->flushSizes.push_back(log->writer->Fill);
    log->flushed.insert(log->flushed.end(), log->writer->Buffer,
                        log->writer->Buffer + log->writer->Fill);
    log->writer->Fill = 0;
    return TRUE;
  }
};

struct CodedMcu {
  BOOLEAN ok = FALSE;
  std::vector<SHORT> lastDc;
  JpegBitWriter writer{};
  std::vector<uint8_t> buffer;
  FlushLog log;
};

CodedMcu CodeMcuWith(const JpegStageRoutines* stages, const std::vector<SHORT>& blocks,
                     const std::vector<SHORT>& lastDc, const JpegBitWriter& start, int failAfter,
                     const JpegHuffmanCodes* dc, const JpegHuffmanCodes* ac) {
  CodedMcu coded;
  coded.buffer.assign(JpegInternalBufferSize, 0x5B);
  coded.writer = start;
  coded.writer.Buffer = coded.buffer.data();
  coded.lastDc = lastDc;
  coded.log.writer = &coded.writer;
  coded.log.failAfter = failAfter;
  ULONG count = ULONG(blocks.size() / 64);
  std::vector<JpegBlockCoding> plan(count);
  for (ULONG b = 0; b < count; b++) {
    int table = b + 2 < count ? 0 : 1;  // luminance blocks, then Cb and Cr
    plan[b] =
        JpegBlockCoding{&coded.lastDc[b + 2 < count ? 0 : b + 3 - count], &dc[table], &ac[table]};
  }
  coded.ok = stages->CodeMcu(&coded.writer, blocks.data(), count, plan.data(), FlushLog::Flush,
                             &coded.log);
  return coded;
}

// Whole MCUs of 3, 4 and 6 blocks from writer states on both sides of the reserve and of a full
// buffer: the MCU coders keep bits from one block to the next, yet must flush before the same
// blocks, hand over the same bytes and fail on the same byte as the portable block coder.
TEST(JpegStageKernels, McuCodingMatchesThePortableKernelAtTheReserve) {
  std::mt19937 random(16);
  JpegHuffmanCodes dc[2], ac[2];
  JpegBuildHuffmanCodes(&JpegDcLuminanceSpec, &dc[0]);
  JpegBuildHuffmanCodes(&JpegDcChrominanceSpec, &dc[1]);
  JpegBuildHuffmanCodes(&JpegAcLuminanceSpec, &ac[0]);
  JpegBuildHuffmanCodes(&JpegAcChrominanceSpec, &ac[1]);
  long flushes = 0, refusals = 0, overflows = 0;
  for (const JpegStageRoutines* stages : CoderStageLevels()) {
    SCOPED_TRACE(stages->Name);
    for (int n = 0; n < 6000; n++) {
      const ULONG kCounts[] = {3, 4, 6};
      ULONG count = kCounts[n % 3];
      std::vector<SHORT> blocks;
      for (ULONG b = 0; b < count; b++) {
        std::vector<SHORT> block = RandomCoefficients(random, n * 7 + int(b));
        blocks.insert(blocks.end(), block.begin(), block.end());
      }
      std::vector<SHORT> lastDc = {SHORT(random() % 200), SHORT(random() % 200),
                                   SHORT(random() % 200)};
      JpegBitWriter start{};
      start.BitCount = random() % 8;
      start.Bits = ULONG(random()) & ((1u << start.BitCount) - 1);
      start.Fill = n % 5 == 0 ? ULONG(random() % 3000)
                              : JpegInternalBufferSize - JpegBlockReserve - 300 +
                                    ULONG(random() % (300 + JpegBlockReserve));
      int failAfter = n % 7 == 0 ? int(random() % 2) : -1;
      CodedMcu expected =
          CodeMcuWith(&JpegPortableStages, blocks, lastDc, start, failAfter, dc, ac);
      CodedMcu coded = CodeMcuWith(stages, blocks, lastDc, start, failAfter, dc, ac);
      ASSERT_EQ(expected.ok, coded.ok) << "MCU " << n;
      ASSERT_EQ(expected.log.flushSizes, coded.log.flushSizes) << "MCU " << n;
      ASSERT_EQ(expected.log.flushed, coded.log.flushed) << "MCU " << n;
      ASSERT_EQ(expected.lastDc, coded.lastDc) << "MCU " << n;
      flushes += long(expected.log.flushSizes.size());
      refusals += expected.log.refused;
      overflows += !expected.ok && !expected.log.refused;
      if (!expected.ok) continue;
      ASSERT_EQ(expected.writer.Fill, coded.writer.Fill) << "MCU " << n;
      ASSERT_EQ(expected.writer.BitCount, coded.writer.BitCount) << "MCU " << n;
      ASSERT_EQ(expected.writer.Bits, coded.writer.Bits) << "MCU " << n;
      ASSERT_TRUE(std::equal(expected.buffer.begin(),
                             expected.buffer.begin() + expected.writer.Fill, coded.buffer.begin()))
          << "MCU " << n;
    }
  }
  if (!VectorStageLevels().empty()) {
    EXPECT_GT(flushes, 1000) << "the MCUs must cross the reserve";
    EXPECT_GT(refusals, 100) << "the stream must refuse flushes now and then";
    EXPECT_GT(overflows, 10) << "blocks must overflow the buffer now and then";
  }
}

}  // namespace
}  // namespace jpegtest
