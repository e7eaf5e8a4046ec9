// Data channel 1 out: command blocks and JPEG payloads decoded into the far-side frame buffers,
// and every break of the transmission format counted.
#include <cstdlib>

#include "adapter_test_util.h"
#include "sim/adapter/command_block.h"

namespace kxtest {
namespace {

using kxsim::FrameFields;
using kxsim::ModeFields;
using kxsim::Violation;

constexpr ULONG kRed = 0xFF0000;
constexpr ULONG kBlue = 0x0000FF;

TEST(CommandBlock, FrameOffsetOfTheWorkedExample) {
  FrameFields frame = kxsim::FrameFor(16, 32, 48, 16, 37, 1920, 32);
  EXPECT_EQ(245824u, frame.frameOffset);
  std::vector<uint8_t> block = kxsim::BuildFrameBlock(7, frame);
  ASSERT_EQ(1024u, block.size());
  kxsim::CommandBlock parsed = kxsim::ParseCommandBlock(block.data());
  EXPECT_TRUE(parsed.magicOk);
  EXPECT_TRUE(parsed.fillClean);
  EXPECT_EQ(3, parsed.command);
  EXPECT_EQ(7, parsed.displayId);
  EXPECT_EQ(0x80, block[10]);
  EXPECT_EQ(37, block[28]);
  EXPECT_EQ(37, block[32]);
  EXPECT_EQ(frame.frameOffset, parsed.frame.frameOffset);
  EXPECT_EQ(1024u, kxsim::PadPayload(std::vector<uint8_t>(37)).size());
  EXPECT_EQ(2048u, kxsim::PadPayload(std::vector<uint8_t>(2048)).size());
}

TEST(CommandBlock, StopBlockIsMagicCommandAndIdentifierOnly) {
  std::vector<uint8_t> block = kxsim::BuildStopBlock(-2);
  EXPECT_EQ((std::vector<uint8_t>{'K', 'X', 'g', 't', 2, 0, 0xFE, 0xFF, 0xFF, 0xFF}),
            std::vector<uint8_t>(block.begin(), block.begin() + 10));
  for (size_t i = 10; i < block.size(); i++) ASSERT_EQ(0, block[i]) << i;
}

class Channel1 : public AdapterTest {
 protected:
  void SetUp() override { Plug(); }

  void Send(std::vector<uint8_t> bytes) { ASSERT_EQ(STATUS_SUCCESS, WriteOut(0x01, bytes)); }
  void Mode(LONG id, USHORT width, USHORT height) {
    Send(kxsim::BuildModeBlock(id, ModeFields{width, height, 32, 0}));
  }
  // A rectangle of one colour, sent as the host sends it.
  void Rect(LONG id, USHORT x, USHORT y, USHORT width, USHORT height, ULONG color,
            USHORT outputWidth) {
    std::vector<uint8_t> jpeg = EncodeTestJpeg(width, height, [color](unsigned, unsigned) {
      return color;
    });
    Send(kxsim::BuildFrameBlock(
        id, kxsim::FrameFor(x, y, width, height, (ULONG)jpeg.size(), outputWidth, 32)));
    Send(kxsim::PadPayload(jpeg));
  }
  kxsim::FarDisplayState Display(LONG id) {
    std::optional<kxsim::FarDisplayState> display = adapter_->Display(id);
    EXPECT_TRUE(display.has_value());
    return display.value_or(kxsim::FarDisplayState());
  }
  std::string Details() {
    std::string text;
    for (const std::string& line : adapter_->ViolationDetails()) text += line + "\n";
    return text;
  }
  static bool Near(ULONG a, ULONG b) {
    for (int shift = 0; shift < 24; shift += 8) {
      if (std::abs((int)((a >> shift) & 0xFF) - (int)((b >> shift) & 0xFF)) > 8) return false;
    }
    return true;
  }
};

TEST_F(Channel1, RectanglesAreDecodedIntoTheDisplaysFrameBuffer) {
  Mode(3, 64, 48);
  Rect(3, 16, 32, 48, 16, kRed, 64);
  Rect(3, 0, 0, 16, 16, kBlue, 64);
  EXPECT_EQ(0u, adapter_->ViolationTotal()) << Details();
  kxsim::FarDisplayState display = Display(3);
  EXPECT_TRUE(display.active);
  EXPECT_EQ(64, display.mode.width);
  EXPECT_EQ(2u, display.rectangles);
  EXPECT_TRUE(Near(kRed, display.Pixel(16, 32)));
  EXPECT_TRUE(Near(kRed, display.Pixel(63, 47)));
  EXPECT_TRUE(Near(kBlue, display.Pixel(15, 15)));
  EXPECT_EQ(0u, display.Pixel(16, 16));  // untouched: black
  EXPECT_EQ(0u, display.Pixel(15, 32));
  EXPECT_EQ(2u, adapter_->Rectangles());
  EXPECT_EQ(3u, adapter_->CommandBlocks());  // payloads are not blocks
}

TEST_F(Channel1, EdgeRectanglesNeedNotBeMultiplesOf16) {
  Mode(1, 40, 20);
  Rect(1, 32, 16, 8, 4, kRed, 40);
  EXPECT_EQ(0u, adapter_->ViolationTotal()) << Details();
  EXPECT_TRUE(Near(kRed, Display(1).Pixel(39, 19)));
}

TEST_F(Channel1, PayloadMayComeInPieces) {
  Mode(1, 64, 64);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(64, 64, [](unsigned x, unsigned y) {
    return (ULONG)((x * 4) << 16 | (y * 4) << 8 | 0x40);
  }, 100);
  ASSERT_GT(jpeg.size(), 1024u);
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 64, 64, (ULONG)jpeg.size(), 64, 32)));
  std::vector<uint8_t> padded = kxsim::PadPayload(jpeg);
  Send(std::vector<uint8_t>(padded.begin(), padded.begin() + 1024));
  Send(std::vector<uint8_t>(padded.begin() + 1024, padded.end()));
  EXPECT_EQ(0u, adapter_->ViolationTotal()) << Details();
  EXPECT_TRUE(Near((60 * 4) << 16 | (20 * 4) << 8 | 0x40, Display(1).Pixel(60, 20)));
}

// Each display's share of the channel: its blocks and its payloads as padded on the wire, and the
// area it drew; the other display's traffic is not in it.
TEST_F(Channel1, EachDisplaysTrafficAndAreaAreItsOwn) {
  Mode(1, 64, 64);
  Mode(2, 32, 32);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(64, 48, [](unsigned x, unsigned y) {
    return (ULONG)((x * 4) << 16 | (y * 5) << 8 | 0x40);
  }, 100);
  ASSERT_GT(jpeg.size(), 1024u) << "a payload of more than one block";
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 16, 64, 48, (ULONG)jpeg.size(), 64, 32)));
  Send(kxsim::PadPayload(jpeg));
  Rect(2, 0, 0, 16, 16, kBlue, 32);
  Rect(1, 0, 0, 16, 16, kRed, 64);
  Send(kxsim::BuildStopBlock(1));
  EXPECT_EQ(0u, adapter_->ViolationTotal()) << Details();
  kxsim::FarDisplayState one = Display(1);
  EXPECT_EQ(64u * 48 + 16 * 16, one.pixels);
  // Mode, two frame-data blocks, the stop; the two payloads padded.
  size_t smallPayload = 1024;
  EXPECT_EQ(4 * 1024 + kxsim::PadPayload(jpeg).size() + smallPayload, one.wireBytes);
  kxsim::FarDisplayState two = Display(2);
  EXPECT_EQ(16u * 16, two.pixels);
  EXPECT_EQ(2u * 1024 + smallPayload, two.wireBytes);
}

TEST_F(Channel1, BlockInsteadOfPayloadIsAMissingPayload) {
  Mode(1, 64, 64);
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 16, 16, 600, 64, 32)));
  Mode(2, 32, 32);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::PayloadMissing));
  EXPECT_EQ(1u, adapter_->ViolationTotal()) << Details();
  EXPECT_TRUE(Display(2).active);  // the block was taken as a block
  EXPECT_EQ(0u, adapter_->Rectangles());
}

TEST_F(Channel1, PayloadNotRoundedUpIsCountedButDrawn) {
  Mode(1, 16, 16);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(16, 16, [](unsigned, unsigned) { return kRed; });
  ASSERT_NE(0u, jpeg.size() % 1024);
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 16, 16, (ULONG)jpeg.size(), 16, 32)));
  Send(jpeg);
  Mode(1, 16, 16);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::PayloadSizeMismatch)) << Details();
  EXPECT_EQ(1u, adapter_->Rectangles());
}

TEST_F(Channel1, PayloadRunningPastItsLengthIsCounted) {
  Mode(1, 16, 16);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(16, 16, [](unsigned, unsigned) { return kRed; });
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 16, 16, (ULONG)jpeg.size(), 16, 32)));
  std::vector<uint8_t> payload = kxsim::PadPayload(jpeg);
  payload.resize(payload.size() + 1024);
  Send(payload);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::PayloadSizeMismatch)) << Details();
  EXPECT_EQ(1u, adapter_->Rectangles());
  Mode(1, 16, 16);
  EXPECT_EQ(1u, adapter_->ViolationTotal()) << Details();
}

TEST_F(Channel1, FramesBeforeAModeOrAfterAStopAreRefusedAndTheirPayloadSkipped) {
  Rect(5, 0, 0, 16, 16, kRed, 16);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::FrameBeforeMode)) << Details();
  Mode(5, 16, 16);
  Send(kxsim::BuildStopBlock(5));
  Rect(5, 0, 0, 16, 16, kRed, 16);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::FrameAfterStop)) << Details();
  EXPECT_EQ(2u, adapter_->ViolationTotal()) << Details();
  kxsim::FarDisplayState display = Display(5);
  EXPECT_FALSE(display.active);
  EXPECT_TRUE(display.stopped);
  EXPECT_EQ(1u, display.stops);
  EXPECT_EQ(0u, display.rectangles);
  Mode(5, 16, 16);
  Rect(5, 0, 0, 16, 16, kRed, 16);
  EXPECT_EQ(1u, Display(5).rectangles);
}

TEST_F(Channel1, JpegOfTheWrongSizeIsNotDrawn) {
  Mode(1, 64, 64);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(32, 16, [](unsigned, unsigned) { return kRed; });
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 48, 16, (ULONG)jpeg.size(), 64, 32)));
  Send(kxsim::PadPayload(jpeg));
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::JpegSizeMismatch)) << Details();
  EXPECT_EQ(0u, adapter_->Rectangles());
}

TEST_F(Channel1, BrokenStreamsAreCounted) {
  Mode(1, 64, 64);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(16, 16, [](unsigned, unsigned) { return kRed; });
  // Not a JPEG at all.
  std::vector<uint8_t> junk(jpeg.size(), 0x11);
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 16, 16, (ULONG)junk.size(), 64, 32)));
  Send(kxsim::PadPayload(junk));
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::DecodeError)) << Details();
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::StreamFraming));
  // Cut short: PayloadLength ends before EOI; libjpeg warns and pads.
  ULONG cut = (ULONG)jpeg.size() - 3;
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(16, 0, 16, 16, cut, 64, 32)));
  Send(kxsim::PadPayload(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + cut)));
  EXPECT_EQ(2u, adapter_->ViolationCount(Violation::StreamFraming)) << Details();
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::DecodeWarning)) << Details();
}

TEST_F(Channel1, BlockFormatFaults) {
  std::vector<uint8_t> block = kxsim::BuildModeBlock(1, ModeFields{64, 64, 32, 0});
  block[0] = 'k';
  Send(block);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::BadMagic));
  Send(std::vector<uint8_t>(1000, 0));
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::BadBlockLength));
  std::vector<uint8_t> unknown = kxsim::BuildStopBlock(1);
  unknown[4] = 16;  // the far side's command, from the host
  Send(unknown);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::UnknownCommand));
  Send(kxsim::BuildModeBlock(1, ModeFields{0, 64, 32, 0}));
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::BadMode));
  EXPECT_FALSE(adapter_->Display(1).has_value());
  std::vector<uint8_t> dirty = kxsim::BuildModeBlock(1, ModeFields{64, 64, 32, 0});
  dirty[1023] = 1;
  Send(dirty);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::NonZeroFill));
  EXPECT_TRUE(Display(1).active);  // still applied
  EXPECT_EQ(5u, adapter_->ViolationTotal()) << Details();
}

TEST_F(Channel1, FrameFieldFaults) {
  Mode(1, 64, 64);
  std::vector<uint8_t> jpeg = EncodeTestJpeg(16, 16, [](unsigned, unsigned) { return kRed; });
  auto send = [&](FrameFields frame) {
    Send(kxsim::BuildFrameBlock(1, frame));
    Send(kxsim::PadPayload(jpeg));
  };
  ULONG size = (ULONG)jpeg.size();
  FrameFields offset = kxsim::FrameFor(16, 16, 16, 16, size, 64, 32);
  offset.frameOffset += 4;
  send(offset);
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::BadFrameFields)) << Details();
  EXPECT_EQ(1u, adapter_->Rectangles());  // drawn at (X, Y) all the same
  FrameFields lengths = kxsim::FrameFor(0, 0, 16, 16, size, 64, 32);
  lengths.payloadLength2 = size + 1;
  send(lengths);
  EXPECT_EQ(2u, adapter_->ViolationCount(Violation::BadFrameFields)) << Details();
  send(kxsim::FrameFor(8, 0, 16, 16, size, 64, 32));
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::Misaligned)) << Details();
  send(kxsim::FrameFor(56, 0, 16, 16, size, 64, 32));
  EXPECT_EQ(1u, adapter_->ViolationCount(Violation::RectOutsideDisplay)) << Details();
  FrameFields encoding = kxsim::FrameFor(0, 16, 16, 16, size, 64, 32);
  encoding.encoding = 0x81;
  send(encoding);
  EXPECT_EQ(3u, adapter_->ViolationCount(Violation::BadFrameFields)) << Details();
  EXPECT_EQ(3u, adapter_->Rectangles());  // the outside and foreign-encoding ones are not drawn
  EXPECT_EQ(5u, adapter_->ViolationTotal()) << Details();
}

TEST_F(Channel1, OutFifoFlushDropsAPayloadInProgress) {
  Mode(1, 64, 64);
  Send(kxsim::BuildFrameBlock(1, kxsim::FrameFor(0, 0, 16, 16, 600, 64, 32)));
  RW(0x32C, 0x200);
  Mode(1, 64, 64);
  EXPECT_EQ(0u, adapter_->ViolationTotal()) << Details();
  EXPECT_EQ(2u, Display(1).modes);
}

TEST_F(Channel1, ModeOfAnotherSizeClearsTheFrame) {
  Mode(1, 32, 32);
  Rect(1, 0, 0, 16, 16, kRed, 32);
  Mode(1, 32, 32);
  EXPECT_TRUE(Near(kRed, Display(1).Pixel(0, 0)));
  Mode(1, 48, 32);
  EXPECT_EQ(0u, Display(1).Pixel(0, 0));
  EXPECT_EQ(48u * 32 * 3, Display(1).rgb.size());
}

}  // namespace
}  // namespace kxtest
