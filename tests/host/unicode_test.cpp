// Counted wide strings and RtlCompareMemory, with the edge cases drivers trip over: truncation,
// terminators that do not fit, appends that do not fit, and case-insensitive order.
#include <gtest/gtest.h>

#include <string>

#include "host/hostk.h"
#include "host/ntddk.h"

namespace {

constexpr WCHAR kSentinel = 0xCCCC;

// A counted string over a buffer of `capacity` bytes, with sentinels beyond it.
struct Buffer {
  explicit Buffer(USHORT capacity) {
    for (WCHAR& c : storage) c = kSentinel;
    string.Buffer = storage;
    string.Length = 0;
    string.MaximumLength = capacity;
  }
  std::u16string text() const { return std::u16string(string.Buffer, string.Length / 2); }
  WCHAR storage[32];
  UNICODE_STRING string;
};

UNICODE_STRING Counted(const char16_t* text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

TEST(UnicodeString, InitCountsBytesWithoutTheTerminator) {
  UNICODE_STRING s = Counted(u"Kx\u00e9");
  EXPECT_EQ(6, s.Length);
  EXPECT_EQ(8, s.MaximumLength);
  UNICODE_STRING empty = Counted(u"");
  EXPECT_EQ(0, empty.Length);
  EXPECT_EQ(2, empty.MaximumLength);
  UNICODE_STRING none = Counted(nullptr);
  EXPECT_EQ(0, none.Length);
  EXPECT_EQ(0, none.MaximumLength);
  EXPECT_EQ(nullptr, none.Buffer);
}

TEST(UnicodeString, CompareOrdersByCharactersThenLength) {
  UNICODE_STRING abc = Counted(u"abc"), abd = Counted(u"abd"), ab = Counted(u"ab");
  UNICODE_STRING upper = Counted(u"ABC");
  EXPECT_LT(RtlCompareUnicodeString(&abc, &abd, FALSE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&abd, &abc, FALSE), 0);
  EXPECT_LT(RtlCompareUnicodeString(&ab, &abc, FALSE), 0);  // a prefix sorts first
  EXPECT_GT(RtlCompareUnicodeString(&abc, &ab, TRUE), 0);
  // Case-sensitive: 'A' (0x41) sorts before 'a' (0x61).
  EXPECT_GT(RtlCompareUnicodeString(&abc, &upper, FALSE), 0);
  EXPECT_EQ(0, RtlCompareUnicodeString(&abc, &upper, TRUE));

  // The counted length rules, not a terminator: "abd" cut to two characters equals "ab".
  UNICODE_STRING cut = abd;
  cut.Length = 4;
  EXPECT_EQ(0, RtlCompareUnicodeString(&cut, &ab, FALSE));
}

TEST(UnicodeString, EqualIgnoresCaseOnlyWhenAsked) {
  UNICODE_STRING lower = Counted(u"caf\u00e9"), upper = Counted(u"CAF\u00c9");
  UNICODE_STRING longer = Counted(u"caf\u00e9s");
  EXPECT_TRUE(RtlEqualUnicodeString(&lower, &upper, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&lower, &upper, FALSE));
  EXPECT_FALSE(RtlEqualUnicodeString(&lower, &longer, TRUE));
}

TEST(UnicodeString, UpcaseCoversAsciiAndLatin1) {
  EXPECT_EQ(u'A', RtlUpcaseUnicodeChar(u'a'));
  EXPECT_EQ(u'Z', RtlUpcaseUnicodeChar(u'z'));
  EXPECT_EQ(u'1', RtlUpcaseUnicodeChar(u'1'));
  EXPECT_EQ(u'\u00c0', RtlUpcaseUnicodeChar(u'\u00e0'));
  EXPECT_EQ(u'\u00f7', RtlUpcaseUnicodeChar(u'\u00f7'));  // the division sign has no case
  EXPECT_EQ(u'\u00df', RtlUpcaseUnicodeChar(u'\u00df'));  // nor a single-character capital
  EXPECT_EQ(u'\u0178', RtlUpcaseUnicodeChar(u'\u00ff'));
}

// Letters beyond Latin-1 fold as well: the platform's table covers the whole plane. Each pair is a
// small letter and its capital from the Unicode character database; capitals, marks and letters
// without a single-character capital stay as they are.
TEST(UnicodeString, UpcaseCoversTheBasicMultilingualPlane) {
  const std::pair<char16_t, char16_t> pairs[] = {
      {u'\u0101', u'\u0100'},  // Latin Extended-A, alternating pairs
      {u'\u017e', u'\u017d'},
      {u'\u0180', u'\u0243'},  // Latin Extended-B
      {u'\u01c6', u'\u01c4'},  // the dz digraph with caron
      {u'\u03b1', u'\u0391'},  // Greek
      {u'\u03c9', u'\u03a9'},
      {u'\u0430', u'\u0410'},  // Cyrillic
      {u'\u0451', u'\u0401'},
      {u'\u0561', u'\u0531'},  // Armenian
      {u'\u1e01', u'\u1e00'},  // Latin Extended Additional
      {u'\u1f00', u'\u1f08'},  // Greek Extended
      {u'\u2170', u'\u2160'},  // Roman numerals
      {u'\u24d0', u'\u24b6'},  // circled letters
      {u'\u2c30', u'\u2c00'},  // Glagolitic
      {u'\ua641', u'\ua640'},  // Cyrillic Extended-B
      {u'\uff41', u'\uff21'},  // fullwidth forms
  };
  for (const auto& [small, capital] : pairs) {
    EXPECT_EQ(capital, RtlUpcaseUnicodeChar(small)) << std::hex << (int)small;
    EXPECT_EQ(capital, RtlUpcaseUnicodeChar(capital)) << std::hex << (int)capital;
  }
  for (char16_t unchanged : {u'\u0100', u'\u0149', u'\u0300', u'\u4e2d', u'\ufb00', u'\uffff'}) {
    EXPECT_EQ(unchanged, RtlUpcaseUnicodeChar(unchanged)) << std::hex << (int)unchanged;
  }
  // Case-insensitive comparison follows the same table.
  UNICODE_STRING small = Counted(u"\u043a\u0445"), capital = Counted(u"\u041a\u0425");
  EXPECT_EQ(0, RtlCompareUnicodeString(&small, &capital, TRUE));
}

TEST(UnicodeString, CopyTruncatesAndTerminatesOnlyWhenThereIsRoom) {
  UNICODE_STRING source = Counted(u"abcdef");
  Buffer roomy(20);
  RtlCopyUnicodeString(&roomy.string, &source);
  EXPECT_EQ(u"abcdef", roomy.text());
  EXPECT_EQ(0, roomy.storage[6]);

  Buffer exact(12);
  RtlCopyUnicodeString(&exact.string, &source);
  EXPECT_EQ(u"abcdef", exact.text());
  EXPECT_EQ(kSentinel, exact.storage[6]);

  Buffer small(7);  // an odd capacity keeps whole characters
  RtlCopyUnicodeString(&small.string, &source);
  EXPECT_EQ(u"abc", small.text());
  EXPECT_EQ(kSentinel, small.storage[3]);

  RtlCopyUnicodeString(&roomy.string, nullptr);
  EXPECT_EQ(0, roomy.string.Length);
}

TEST(UnicodeString, AppendFailsWithoutChangingAnythingWhenItDoesNotFit) {
  Buffer target(10);
  UNICODE_STRING ab = Counted(u"ab");
  UNICODE_STRING abcd = Counted(u"abcd");
  ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeStringToString(&target.string, &ab));
  EXPECT_EQ(0, target.storage[2]);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeStringToString(&target.string, &abcd));
  EXPECT_EQ(u"ab", target.text());
  EXPECT_EQ(kSentinel, target.storage[3]);

  // Filling the buffer exactly leaves no room for a terminator, and none is written.
  ASSERT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&target.string, u"xyz"));
  EXPECT_EQ(u"abxyz", target.text());
  EXPECT_EQ(kSentinel, target.storage[5]);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAppendUnicodeToString(&target.string, u"!"));
  EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&target.string, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, RtlAppendUnicodeToString(&target.string, u""));
  EXPECT_EQ(10, target.string.Length);
}

TEST(UnicodeString, FreeReleasesThePoolBufferAndClearsTheRecord) {
  UNICODE_STRING s;
  s.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, 8, hostk::PoolTag("Ustr"));
  ASSERT_NE(nullptr, s.Buffer);
  s.Length = 4;
  s.MaximumLength = 8;
  RtlFreeUnicodeString(&s);
  EXPECT_EQ(0u, hostk::PoolLiveCount(hostk::PoolTag("Ustr")));
  EXPECT_EQ(nullptr, s.Buffer);
  EXPECT_EQ(0, s.Length);
  EXPECT_EQ(0, s.MaximumLength);
  RtlFreeUnicodeString(&s);  // an empty record is fine
}

TEST(UnicodeMemory, CompareMemoryCountsTheLeadingMatch) {
  const uint8_t a[] = {1, 2, 3, 4, 5};
  const uint8_t b[] = {1, 2, 3, 9, 5};
  EXPECT_EQ(3u, RtlCompareMemory(a, b, sizeof a));
  EXPECT_EQ(2u, RtlCompareMemory(a, b, 2));
  EXPECT_EQ(0u, RtlCompareMemory(a, b, 0));
  EXPECT_EQ(sizeof a, RtlCompareMemory(a, a, sizeof a));
}

}  // namespace
