// The driver's runtime helpers: bounded wide formatting.
#include <gtest/gtest.h>

#include <string>

#include "platform/kx_runtime.h"

namespace {

TEST(KxFormatWide, FormatsTheDriversPatternsAndStaysBounded) {
  WCHAR buffer[48];
  EXPECT_EQ(STATUS_SUCCESS, KxFormatWide(buffer, 32, "%ws\\%ws", u"Svc", u"Parameters"));
  EXPECT_EQ(std::u16string(u"Svc\\Parameters"), buffer);
  EXPECT_EQ(STATUS_SUCCESS, KxFormatWide(buffer, 32, "Parameters\\%04lX", (ULONG)0));
  EXPECT_EQ(std::u16string(u"Parameters\\0000"), buffer);
  EXPECT_EQ(STATUS_SUCCESS, KxFormatWide(buffer, 48, "DisplayIDD%02u|%u|%d|%x", (ULONG)7,
                                         (ULONG)4000000000u, (LONG)-12, (ULONG)0xBEEF));
  EXPECT_EQ(std::u16string(u"DisplayIDD07|4000000000|-12|beef"), buffer);
  // Cut to fit, always terminated, and said so.
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, KxFormatWide(buffer, 6, "%s", "overflowing"));
  EXPECT_EQ(std::u16string(u"overf"), buffer);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, KxFormatWide(buffer, 32, "%q", 1));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, KxFormatWide(buffer, 0, "x"));
}

}  // namespace
