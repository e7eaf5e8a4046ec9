// Block coding at every stage level against codes read from the tables as T.81 prints them.
#include <gtest/gtest.h>

#include <string>

#include "jpeg/encoder.h"
#include "stage_levels.h"

namespace jpegtest {
namespace {

// The bytes a bit string becomes: padded with 1 bits, every 0xFF followed by 0x00.
std::vector<uint8_t> Bytes(std::string bits) {
  while (bits.size() % 8 != 0) bits += '1';
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t value = uint8_t(std::stoi(bits.substr(i, 8), nullptr, 2));
    bytes.push_back(value);
    if (value == 0xFF) bytes.push_back(0x00);
  }
  return bytes;
}

class JpegHuffman : public testing::Test {
 protected:
  JpegHuffman() {
    JpegBuildHuffmanCodes(&JpegDcLuminanceSpec, &dc_);
    JpegBuildHuffmanCodes(&JpegAcLuminanceSpec, &ac_);
    JpegBuildHuffmanCodes(&JpegAcChrominanceSpec, &acChroma_);
  }

  // Codes one block after a block whose DC was `lastDc`, then pads to a byte boundary.
  std::vector<uint8_t> Code(const JpegStageRoutines* stages, const std::vector<SHORT>& block,
                            SHORT lastDc) {
    JpegBitWriter writer{buffer_, 0, 0, 0};
    EXPECT_TRUE(stages->CodeBlock(&writer, block.data(), &lastDc, &dc_, &ac_));
    EXPECT_EQ(block[0], lastDc) << "the block's DC becomes the prediction";
    EXPECT_TRUE(JpegAlignToByte(&writer));
    return std::vector<uint8_t>(buffer_, buffer_ + writer.Fill);
  }

  static std::string CodeOf(const JpegHuffmanCodes& codes, int symbol) {
    std::string bits;
    for (int i = codes.Length[symbol] - 1; i >= 0; i--) {
      bits += (codes.Code[symbol] >> i) & 1 ? '1' : '0';
    }
    return bits;
  }

  JpegHuffmanCodes dc_, ac_, acChroma_;
  UCHAR buffer_[JpegInternalBufferSize];
};

// Codes of Tables K.3, K.5 and K.6 as printed.
TEST_F(JpegHuffman, CodeTablesFollowAnnexC) {
  EXPECT_EQ("00", CodeOf(dc_, 0));
  EXPECT_EQ("010", CodeOf(dc_, 1));
  EXPECT_EQ("111111110", CodeOf(dc_, 11));
  EXPECT_EQ("1010", CodeOf(ac_, 0x00));
  EXPECT_EQ("00", CodeOf(ac_, 0x01));
  EXPECT_EQ("100", CodeOf(ac_, 0x03));
  EXPECT_EQ("111011", CodeOf(ac_, 0x41));
  EXPECT_EQ("11111111001", CodeOf(ac_, 0xF0));
  EXPECT_EQ("1111110110", CodeOf(ac_, 0x08));
  EXPECT_EQ("1111111110000010", CodeOf(ac_, 0x09));
  EXPECT_EQ("00", CodeOf(acChroma_, 0x00));
  EXPECT_EQ("1111111010", CodeOf(acChroma_, 0xF0));
}

TEST_F(JpegHuffman, BlocksCodeAsT81Prescribes) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    SCOPED_TRACE(stages->Name);
    std::vector<SHORT> block(64, 0);
    block[0] = 5;
    EXPECT_EQ(Bytes("00" "1010"), Code(stages, block, 5)) << "same DC, no AC";
    EXPECT_EQ(Bytes("010" "0" "1010"), Code(stages, block, 6)) << "DIFF -1";
    EXPECT_EQ(Bytes("010" "1" "1010"), Code(stages, block, 4)) << "DIFF +1, on a byte: no padding";

    block[JpegZigzagToNatural[21]] = 1;  // 20 zeros before it
    EXPECT_EQ(Bytes("00" "11111111001" "111011" "1" "1010"), Code(stages, block, 5));

    block[JpegZigzagToNatural[21]] = 0;
    block[0] = 5 + 1023;  // category 10: 11111110 then ten 1 bits, a 0xFF to stuff
    std::vector<uint8_t> stuffed = Code(stages, block, 5);
    EXPECT_EQ(Bytes("11111110" "1111111111" "1010"), stuffed);
    EXPECT_EQ(0x00, stuffed[2]);

    std::vector<SHORT> full(64);
    full[0] = 5;
    std::string bits = "00";
    for (int k = 1; k < 64; k++) {
      full[JpegZigzagToNatural[k]] = k % 2 ? 1 : -1;
      bits += k % 2 ? "001" : "000";
    }
    EXPECT_EQ(Bytes(bits), Code(stages, full, 5)) << "non-zero coefficient 63: no EOB";
  }
}

TEST_F(JpegHuffman, AByteThatDoesNotFitFailsTheBlock) {
  for (const JpegStageRoutines* stages : AllStageLevels()) {
    SCOPED_TRACE(stages->Name);
    std::vector<SHORT> block(64, 0);
    block[1] = 3;
    SHORT lastDc = 0;
    JpegBitWriter writer{buffer_, JpegInternalBufferSize, 0, 0};
    EXPECT_FALSE(stages->CodeBlock(&writer, block.data(), &lastDc, &dc_, &ac_));
  }
}

}  // namespace
}  // namespace jpegtest
