// The reader of the kernel link's map, through which the image preset's tests reach the driver's
// internal routines in the shipped image.
#include <gtest/gtest.h>

#include "shipped/image_map.h"

namespace kxtest {
namespace {

const char kMap[] =
    "Linker script and memory map\n"
    "\n"
    "                0x00010000                        __image_base__ = 0x10000\n"
    " .text          0x00011000      0x2a0 CMakeFiles/KxBusIdd.dir/usb/data_channels.cpp.obj\n"
    "                0x00011000                ReadChannel2(BusDeviceContext*, void*, unsigned long)\n"
    "                0x00011080                DriverEntry@8\n"
    "                0x00011100                QueueRect(DisplayChannel*, UpdateRect)\n"
    " .text          0x00012000       0x40 CMakeFiles/KxBusIdd.dir/pipeline/other.cpp.obj\n"
    "                0x00012000                QueueRect(DisplayChannel*, UpdateRect)\n"
    "                0x00012010                Twice(int)\n"
    "                0x00012020                Twice(long)\n"
    " .bss           0x00043000        0x8 CMakeFiles/KxBusIdd.dir/driver/entry.cpp.obj\n"
    "                0x00043000                Globals\n";

TEST(ImageMap, FindsRoutinesAndVariablesByTheirPlainNames) {
  ImageMap map;
  std::string error;
  ASSERT_TRUE(map.Parse(kMap, &error)) << error;
  EXPECT_EQ(0x10000u, map.PreferredBase());
  uint32_t offset = 0;
  ASSERT_TRUE(map.Offset("ReadChannel2", &offset, &error)) << error;
  EXPECT_EQ(0x1000u, offset);
  ASSERT_TRUE(map.Offset("DriverEntry", &offset, &error)) << error;
  EXPECT_EQ(0x1080u, offset);
  ASSERT_TRUE(map.Offset("Globals", &offset, &error)) << error;
  EXPECT_EQ(0x33000u, offset);

  // Two places for one name (overloads, or one name in two files) are never guessed between.
  EXPECT_FALSE(map.Offset("Twice", &offset, &error));
  EXPECT_NE(std::string::npos, error.find("more than once")) << error;
  EXPECT_FALSE(map.Offset("QueueRect", &offset, &error));
  EXPECT_FALSE(map.Offset("ReadChannel3", &offset, &error));
  EXPECT_NE(std::string::npos, error.find("ReadChannel3")) << error;

  ImageMap noBase;
  EXPECT_FALSE(noBase.Parse("                0x00011000                Routine()\n", &error));
}

}  // namespace
}  // namespace kxtest
