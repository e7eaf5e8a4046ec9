// The stream layout: segments, their order and bytes, restart markers, and the identities that
// hold between streams.
#include <gtest/gtest.h>

#include <cstring>

#include "jpeg_test_support.h"

namespace jpegtest {
namespace {

using Codes = std::vector<uint8_t>;

const Codes kHeaderCodes = {0xD8, 0xE0, 0xFE, 0xDB, 0xDB, 0xC0, 0xC4, 0xC4, 0xC4, 0xC4, 0xDD, 0xDA};

Codes WithScan(Codes restarts) {
  Codes codes = kHeaderCodes;
  codes.insert(codes.end(), restarts.begin(), restarts.end());
  codes.push_back(0xD9);
  return codes;
}

std::vector<uint8_t> Payload(const std::vector<uint8_t>& stream, const Marker& marker) {
  return std::vector<uint8_t>(stream.begin() + marker.offset + 4,
                              stream.begin() + marker.offset + 2 + marker.length);
}

std::vector<std::vector<uint8_t>> Payloads(const std::vector<uint8_t>& stream, uint8_t code) {
  std::vector<std::vector<uint8_t>> payloads;
  for (const Marker& marker : ParseMarkers(stream)) {
    if (marker.code == code) payloads.push_back(Payload(stream, marker));
  }
  return payloads;
}

TEST(JpegStreamLayout, OneMcuHasEverySegmentInOrderAndNoRestart) {
  Encoded encoded = Encode(SyntheticImage(16, 16, 3), 75, 3);
  ASSERT_EQ(JpegResultOk, encoded.result);
  std::vector<Marker> markers = ParseMarkers(encoded.bytes);
  EXPECT_EQ(WithScan({}), MarkerCodes(markers));
  const int lengths[] = {0, 16, 55, 67, 67, 17, 31, 181, 31, 181, 4, 12};
  for (size_t i = 0; i < markers.size() && i < std::size(lengths); i++) {
    EXPECT_EQ(lengths[i], markers[i].length) << "segment " << i;
  }
  EXPECT_EQ(encoded.bytes.size() - 2, markers.back().offset) << "EOI ends the stream";
}

TEST(JpegStreamLayout, SegmentBytesAreTheFixedOnes) {
  Encoded encoded = Encode(SyntheticImage(300, 200, 4), 75, 3);
  ASSERT_EQ(JpegResultOk, encoded.result);
  const std::vector<uint8_t>& s = encoded.bytes;
  EXPECT_EQ(Codes({'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 0, 0}), Payloads(s, 0xE0)[0]);
  const char text[] = "Kestrelix KX JPEG encoder [3.2.40817] - Mar 02 2026;";
  EXPECT_EQ(Codes(text, text + sizeof(text)), Payloads(s, 0xFE)[0]) << "text, ';' and a 0 byte";
  std::vector<std::vector<uint8_t>> dqt = Payloads(s, 0xDB);
  ASSERT_EQ(2u, dqt.size());
  EXPECT_EQ(0, dqt[0][0]);
  EXPECT_EQ(1, dqt[1][0]);
  EXPECT_EQ(Codes({8, 0, 200, 1, 44, 3, 0, 0x22, 0, 1, 0x11, 1, 2, 0x11, 1}), Payloads(s, 0xC0)[0])
      << "precision, height 200, width 300, identifiers 0, 1, 2";
  std::vector<std::vector<uint8_t>> dht = Payloads(s, 0xC4);
  ASSERT_EQ(4u, dht.size());
  EXPECT_EQ(0x00, dht[0][0]);
  EXPECT_EQ(0x10, dht[1][0]);
  EXPECT_EQ(0x01, dht[2][0]);
  EXPECT_EQ(0x11, dht[3][0]);
  EXPECT_EQ(Codes({0, 1}), Payloads(s, 0xDD)[0]);
  EXPECT_EQ(Codes({3, 0, 0x00, 1, 0x11, 2, 0x11, 0, 63, 0}), Payloads(s, 0xDA)[0]);
}

TEST(JpegStreamLayout, SamplingCodeSetsTheLuminanceFactors) {
  const uint8_t factors[] = {0x11, 0x21, 0x21, 0x22};
  for (int sampling = 0; sampling < 4; sampling++) {
    Encoded encoded = Encode(SyntheticImage(40, 24, 5), 50, sampling);
    ASSERT_EQ(JpegResultOk, encoded.result);
    EXPECT_EQ(factors[sampling], Payloads(encoded.bytes, 0xC0)[0][7]) << sampling;
    EXPECT_EQ(55, ParseMarkers(encoded.bytes)[2].length) << "COM in every stream";
  }
}

// libjpeg-turbo writes the Annex K tables, scaled the usual way, when asked for quality 75.
TEST(JpegStreamLayout, TablesAreTheStandardOnes) {
  Image image = SyntheticImage(32, 32, 6);
  Encoded ours = Encode(image, 75, 3);
  std::vector<uint8_t> theirs = EncodeWithLibjpeg(image, 75, 3);
  ASSERT_EQ(JpegResultOk, ours.result);
  ASSERT_FALSE(theirs.empty());
  EXPECT_EQ(Payloads(theirs, 0xDB), Payloads(ours.bytes, 0xDB));
  EXPECT_EQ(Payloads(theirs, 0xC4), Payloads(ours.bytes, 0xC4));
}

TEST(JpegStreamLayout, RestartMarkerSeparatesEveryTwoMcus) {
  struct Case {
    int width, height, sampling;
    Codes restarts;
  };
  const Case cases[] = {
      {24, 8, 1, {0xD0}},                  // two MCUs, 8 padding columns
      {48, 16, 3, {0xD0, 0xD1}},           // three MCUs
      {8, 8, 0, {}},
      {160, 16, 3, {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD0}},  // wraps after RST7
      {24, 24, 0, {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7}},  // across MCU rows
  };
  for (const Case& c : cases) {
    Encoded encoded = Encode(SyntheticImage(c.width, c.height, 7), 75, c.sampling);
    ASSERT_EQ(JpegResultOk, encoded.result);
    EXPECT_EQ(WithScan(c.restarts), MarkerCodes(ParseMarkers(encoded.bytes)))
        << c.width << "x" << c.height << " sampling " << c.sampling;
    EXPECT_EQ(0, Decode(encoded.bytes).warnings);
  }
}

TEST(JpegStreamLayout, IdenticalStreamsFromEquivalentInputs) {
  Image image = SyntheticImage(37, 21, 8);
  Encoded code1 = Encode(image, 80, 1);
  Encoded code2 = Encode(image, 80, 2);
  ASSERT_EQ(JpegResultOk, code1.result);
  EXPECT_EQ(code1.bytes, code2.bytes) << "sampling codes 1 and 2";

  Encoded three = EncodeThreeChannel(image, 80, 3);
  ASSERT_EQ(JpegResultOk, three.result);
  EXPECT_EQ(Encode(image, 80, 3).bytes, three.bytes) << "3-byte pixels, and the 4th byte unread";

  EXPECT_EQ(Encode(image, 50, 0).bytes, Encode(image, 0, 0).bytes) << "quality 0 and 50";
}

// The rows may run bottom-up: a negative pitch from the last row encodes the flipped image.
TEST(JpegStreamLayout, NegativePitchWalksRowsUpwards) {
  Image image = SyntheticImage(40, 30, 9);
  Image flipped = image;
  size_t row = size_t(image.width) * 4;
  for (int y = 0; y < image.height; y++) {
    std::memcpy(&flipped.bgrx[y * row], &image.bgrx[(image.height - 1 - y) * row], row);
  }
  std::vector<uint8_t> output(65536);
  JpegEncodeParams params{};
  params.Width = image.width;
  params.Height = image.height;
  params.Channels = 4;
  params.Source = flipped.bgrx.data() + (image.height - 1) * row;
  params.SourcePitch = -LONG(row);
  params.Quality = 75;
  params.Sampling = 3;
  params.Output = output.data();
  params.OutputCapacity = LONG(output.size());
  ASSERT_EQ(JpegResultOk, JpegEncodeFrame(&params));
  output.resize(params.OutputLength);
  EXPECT_EQ(Encode(image, 75, 3).bytes, output);
}

}  // namespace
}  // namespace jpegtest
