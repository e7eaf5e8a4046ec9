// Debug output: the platform's printf conventions, the sink and its captures, and the driver's
// levelled trace compiled in and out.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// Traces are compiled in here whatever the build type; the end of the file compiles them out.
#define KX_TRACE_ENABLED 1
#include "trace.h"

#include "host/hostk.h"

namespace {

using hostk::FormatWindows;
using hostk::TraceCapture;

TEST(WindowsFormat, SizePrefixesReadTheirWidths) {
  EXPECT_EQ(FormatWindows("%lu %I64u %u", (ULONG)4000000000u, (ULONGLONG)1 << 40, 7),
            "4000000000 1099511627776 7");
  EXPECT_EQ(FormatWindows("%ld %lld %I64d %d", (LONG)-5, (LONGLONG)-3, -((LONGLONG)1 << 40), 9),
            "-5 -3 -1099511627776 9");
  EXPECT_EQ(FormatWindows("%lx %I32X %x", (ULONG)0xFFFFFFFF, (ULONG)0xABCDEF01, 0x10),
            "ffffffff ABCDEF01 10");
  EXPECT_EQ(FormatWindows("%Iu %Ix %u", (SIZE_T)SIZE_MAX, (ULONG_PTR)0x1F, 3),
            std::to_string(SIZE_MAX) + " 1f 3");
  // Promoted to int by the caller, cut back to their size by the formatter.
  EXPECT_EQ(FormatWindows("%hd %hu %hhx %hhd", 0x18000, 0x12345, 0x1FF, 0x80),
            "-32768 9029 ff -128");
}

TEST(WindowsFormat, WideStringsPrintAsUtf8) {
  const WCHAR* greeting = u"Gr\u00FC\u00DFe \U0001F600";
  const std::string utf8 = "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80";
  EXPECT_EQ(FormatWindows("%ws|%S|%ls", greeting, greeting, greeting),
            utf8 + "|" + utf8 + "|" + utf8);
  EXPECT_EQ(FormatWindows("%s|%hs|%hS", "narrow", "n2", "n3"), "narrow|n2|n3");
  EXPECT_EQ(FormatWindows("%c%C%wc%lc", 'A', u'\u00E9', u'B', u'C'), "A\xC3\xA9" "BC");
  // An unpaired surrogate cannot be encoded.
  const WCHAR lone[] = {0xD800, u'x', 0};
  EXPECT_EQ(FormatWindows("%ws", lone), "\xEF\xBF\xBD" "x");
}

TEST(WindowsFormat, CountedStringsPrintLengthCharacters) {
  WCHAR buffer[] = u"abcdef";
  UNICODE_STRING three = {6, sizeof buffer, buffer};
  UNICODE_STRING no_buffer = {0, 0, nullptr};
  EXPECT_EQ(FormatWindows("[%wZ] [%wZ] [%wZ]", &three, &no_buffer, (PUNICODE_STRING) nullptr),
            "[abc] [(null)] [(null)]");
  struct {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
  } ansi = {2, 4, const_cast<PCHAR>("xyzw")};
  EXPECT_EQ(FormatWindows("[%Z] [%-4wZ] [%.1wZ]", &ansi, &three, &three), "[xy] [abc ] [a]");
}

TEST(WindowsFormat, NullStringsPrintNull) {
  EXPECT_EQ(FormatWindows("%s %ws %S", (const char*)nullptr, (PCWSTR) nullptr, (PCWSTR) nullptr),
            "(null) (null) (null)");
}

// Flags, width and precision on standard conversions mean what they mean in C.
TEST(WindowsFormat, WidthPrecisionAndFlagsMatchC) {
  const char* formats[] = {"%5d", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%8.3d", "%08.3d",
                           "%-8.3x|", "%#x", "%#X", "%#o", "%#.3o", "%.0d", "%.0x", "%+05d",
                           "%-+6d|", "%o", "%X", "%u", "%i"};
  for (int value : {0, 7, -42, 255, 65535, -2147483647 - 1}) {
    for (const char* format : formats) {
      char expected[64];
      snprintf(expected, sizeof expected, format, value);
      EXPECT_EQ(FormatWindows(format, value), expected) << format << " with " << value;
    }
  }
}

TEST(WindowsFormat, StarWidthAndTextPadding) {
  EXPECT_EQ(FormatWindows("[%*d] [%-*d] [%.*d]", 4, 1, 3, 2, 3, 5), "[   1] [2  ] [005]");
  EXPECT_EQ(FormatWindows("[%*d]", -4, 1), "[1   ]");
  EXPECT_EQ(FormatWindows("[%5s] [%-5s] [%.2s] [%.*s]", "ab", "ab", "abc", 1, "xyz"),
            "[   ab] [ab   ] [ab] [x]");
  // Width counts characters, not UTF-8 bytes; precision counts WCHARs.
  EXPECT_EQ(FormatWindows("[%4ws] [%.2ws]", u"\u00E9", u"\u00E9\u00E9\u00E9"),
            "[   \xC3\xA9] [\xC3\xA9\xC3\xA9]");
  EXPECT_EQ(FormatWindows("[%3c] [%-3c]", 'x', 'y'), "[  x] [y  ]");
}

TEST(WindowsFormat, PointersAreZeroFilledUpperCaseHex) {
  const size_t digits = 2 * sizeof(void*);
  EXPECT_EQ(FormatWindows("%p", (void*)0xABC123), std::string(digits - 6, '0') + "ABC123");
  EXPECT_EQ(FormatWindows("%p", nullptr), std::string(digits, '0'));
  EXPECT_EQ(FormatWindows("[%*p]", (int)digits + 2, (void*)1),
            "[  " + std::string(digits - 1, '0') + "1]");
}

TEST(WindowsFormat, UnsupportedConversionsPrintAsWritten) {
  int written = 123;
  EXPECT_EQ(FormatWindows("%f|%n|%d|%%|%q", &written, 5), "%f||5|%|%q");
  EXPECT_EQ(written, 123);
  EXPECT_EQ(FormatWindows("100%"), "100%");
  EXPECT_EQ(FormatWindows("ends %-5"), "ends %-5");
}

TEST(WindowsFormat, FindsWideTextConversions) {
  for (const char* wide : {"%ws", "%S", "%ls", "x %wZ", "%C", "%wc", "%lc", "%-3.2lS"}) {
    EXPECT_TRUE(hostk::FormatHasWideConversion(wide)) << wide;
  }
  for (const char* narrow : {"%s", "%hS", "%hC", "%Z", "%lu %ld", "%%ws", "%w"}) {
    EXPECT_FALSE(hostk::FormatHasWideConversion(narrow)) << narrow;
  }
}

TEST(TraceCapture, SeesDbgPrintAndDbgPrintExWithTheirLevels) {
  TraceCapture capture;
  EXPECT_EQ(DbgPrint("plain %lu\n", (ULONG)1), (ULONG)STATUS_SUCCESS);
  EXPECT_EQ(DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_WARNING_LEVEL, "warn %ws\n", u"w"),
            (ULONG)STATUS_SUCCESS);
  std::vector<hostk::TraceLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].component, (ULONG)DPFLTR_DEFAULT_ID);
  EXPECT_EQ(lines[0].level, (ULONG)DPFLTR_INFO_LEVEL);
  EXPECT_EQ(lines[0].text, "plain 1\n");
  EXPECT_EQ(lines[1].component, (ULONG)DPFLTR_IHVDRIVER_ID);
  EXPECT_EQ(lines[1].level, (ULONG)DPFLTR_WARNING_LEVEL);
  EXPECT_EQ(lines[1].text, "warn w\n");
  EXPECT_TRUE(capture.Contains("warn w"));
  capture.Clear();
  EXPECT_TRUE(capture.Lines().empty());
}

TEST(TraceCapture, SeesLinesOnlyWhileAlive) {
  DbgPrint("before\n");
  TraceCapture outer;
  {
    TraceCapture inner;
    DbgPrint("both\n");
    EXPECT_TRUE(inner.Contains("both"));
  }
  DbgPrint("outer only\n");
  EXPECT_FALSE(outer.Contains("before"));
  EXPECT_EQ(outer.Lines().size(), 2u);
  hostk::TraceResetForNextTest();
  EXPECT_TRUE(outer.Lines().empty());
}

TEST(TraceCapture, CollectsLinesFromOtherThreads) {
  TraceCapture capture;
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLinesEach; ++i) {
        DbgPrintEx(DPFLTR_IHVVIDEO_ID, DPFLTR_TRACE_LEVEL, "thread %d line %d\n", t, i);
      }
    });
  }
  // Captures come and go while the threads print.
  for (int i = 0; i < 20; ++i) {
    TraceCapture passing;
    passing.Lines();
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<hostk::TraceLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), (size_t)(kThreads * kLinesEach));
  EXPECT_EQ(lines[0].component, (ULONG)DPFLTR_IHVVIDEO_ID);
  EXPECT_EQ(lines[0].level, (ULONG)DPFLTR_TRACE_LEVEL);
  EXPECT_TRUE(capture.Contains("thread 3 line 99\n"));
}

TEST(TraceCaptureDeathTest, WideTextAbovePassiveLevelIsABugCheck) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  DbgPrint("narrow text is fine at %s\n", "DISPATCH_LEVEL");
  EXPECT_DEATH(DbgPrint("%ws\n", u"wide"), "IRQL_NOT_LESS_OR_EQUAL");
  KeLowerIrql(old);
}

TEST(TraceMacro, PrefixesAndMapsLevels) {
  TraceCapture capture;
  KX_TRACE(KX_TRACE_ERROR, "error %u\n", 1u);
  KX_TRACE(KX_TRACE_WARNING, "warning\n");
  KX_TRACE(KX_TRACE_INFO, "info %ws\n", u"i");
  KX_TRACE(KX_TRACE_VERBOSE, "verbose %I64u\n", (ULONGLONG)1 << 33);
  std::vector<hostk::TraceLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  const ULONG expected_levels[] = {DPFLTR_ERROR_LEVEL, DPFLTR_WARNING_LEVEL, DPFLTR_TRACE_LEVEL,
                                   DPFLTR_INFO_LEVEL};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].component, (ULONG)DPFLTR_IHVDRIVER_ID);
    EXPECT_EQ(lines[i].level, expected_levels[i]);
  }
  EXPECT_EQ(lines[0].text, "KxBusIdd: error 1\n");
  EXPECT_EQ(lines[2].text, "KxBusIdd: info i\n");
  EXPECT_EQ(lines[3].text, "KxBusIdd: verbose 8589934592\n");
}

int TraceCompiledOut(int& evaluations);

TEST(TraceMacro, CompiledOutTraceEvaluatesNothing) {
  TraceCapture capture;
  int evaluations = 0;
  EXPECT_EQ(TraceCompiledOut(evaluations), 0);
  EXPECT_EQ(evaluations, 0);
  EXPECT_TRUE(capture.Lines().empty());
}

}  // namespace

// From here on traces are compiled out, as in a release build.
#undef KX_TRACE_ENABLED
#define KX_TRACE_ENABLED 0
#include "trace.h"

namespace {

// `kept_for_trace` is named only by a trace: compiled out, it must still count as used.
int TraceCompiledOut(int& evaluations) {
  int kept_for_trace = 5;
  KX_TRACE(KX_TRACE_ERROR, "%d %d\n", ++evaluations, kept_for_trace);
  KX_TRACE(KX_TRACE_VERBOSE, "no arguments\n");
  return evaluations;
}

}  // namespace
