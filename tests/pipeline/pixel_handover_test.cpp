// A child's control codes as its display driver sends them: sizes before anything else, the
// description, and the pixel hand-over from user memory that distrusts every field it is given.
#include "pipeline_fixture.h"

namespace kxtest {
namespace {

using Bytes = std::vector<uint8_t>;

class PixelHandover : public PipelineTest {
 protected:
  void SetUp() override {
    Plug();
    child_ = AddChild(3, 7);
    ASSERT_EQ(STATUS_SUCCESS, SetMode(child_, 64, 48));
  }
  // A present of the given descriptor over a 64 x 48 buffer of 0x5A bytes.
  NTSTATUS PresentWith(const Bytes& descriptorBytes, ULONG pixelBytes = 64 * 48 * 4) {
    hostk::UserBuffer descriptor(descriptorBytes.size());
    std::copy(descriptorBytes.begin(), descriptorBytes.end(), descriptor.Data());
    hostk::UserBuffer pixels(pixelBytes);
    memset(pixels.Data(), 0x5A, pixelBytes);
    return Ioctl(child_, IOCTL_DISPLAY_PRESENT, descriptor.Data(), (ULONG)descriptor.Length(),
                 pixels.Data(), pixelBytes);
  }
  // Nothing reached the store or the queue, and no MDL was left behind.
  void ExpectNothingHandedOver() {
    DisplayChannel& channel = bus_->Channels[3];
    EXPECT_EQ(channel.Queue.ReadIndex, channel.Queue.WriteIndex);
    for (ULONG i = 0; i < 64 * 48 * 4; i++) ASSERT_NE(0x5A, channel.FrameStore[i]) << i;
    EXPECT_EQ(0u, hostk::MdlLiveCount());
  }
  PDEVICE_OBJECT child_ = nullptr;
};

TEST_F(PixelHandover, SizesAreTestedFirst) {
  Bytes small(32);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            Ioctl(child_, IOCTL_DISPLAY_PRESENT, small.data(), 32, small.data(), 9));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            Ioctl(child_, IOCTL_DISPLAY_PRESENT, small.data(), 31, small.data(), 10));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Ioctl(child_, IOCTL_DISPLAY_SET_MODE, small.data(), 31,
                                           nullptr, 0));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Ioctl(child_, IOCTL_DISPLAY_STOP, small.data(), 3, nullptr, 0));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Ioctl(child_, IOCTL_DISPLAY_SET_INFO, small.data(), 31,
                                           nullptr, 0));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Ioctl(child_, IOCTL_DISPLAY_GET_DESCRIPTION_SIZE, nullptr, 0,
                                           small.data(), 3));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            Ioctl(child_, 0x222B18, small.data(), 32, small.data(), 32));
}

TEST_F(PixelHandover, TheDescriptionAndTheInformationWords) {
  ChildDeviceContext* record = (ChildDeviceContext*)child_->DeviceExtension;
  Bytes out(64, 0xEE);
  ULONG_PTR information = 0;
  // No description yet: a failure, not the status the request arrived with.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            Ioctl(child_, IOCTL_DISPLAY_GET_DESCRIPTION, nullptr, 0, out.data(), 64));
  Bytes description(40);
  for (size_t i = 0; i < description.size(); i++) description[i] = (uint8_t)i;
  record->Description = description.data();
  record->DescriptionSize = 40;
  ASSERT_EQ(STATUS_SUCCESS, Ioctl(child_, IOCTL_DISPLAY_GET_DESCRIPTION_SIZE, nullptr, 0,
                                  out.data(), 4, &information));
  EXPECT_EQ(4u, information);
  EXPECT_EQ(Bytes({40, 0, 0, 0}), Bytes(out.begin(), out.begin() + 4));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            Ioctl(child_, IOCTL_DISPLAY_GET_DESCRIPTION, nullptr, 0, out.data(), 39));
  ASSERT_EQ(STATUS_SUCCESS, Ioctl(child_, IOCTL_DISPLAY_GET_DESCRIPTION, nullptr, 0, out.data(),
                                  64, &information));
  EXPECT_EQ(40u, information);
  EXPECT_EQ(description, Bytes(out.begin(), out.begin() + 40));
  record->Description = nullptr;
  record->DescriptionSize = 0;

  Bytes words = DescriptorBytes(0x11111111, 0x22222222, 0x33333333, 0, 0, 0, 0);
  ASSERT_EQ(STATUS_SUCCESS, Ioctl(child_, IOCTL_DISPLAY_SET_INFO, words.data(), 32, nullptr, 0));
  EXPECT_EQ(0x22222222u, bus_->Channels[3].OutputInfo[1]);
}

// Modes the pipeline cannot carry (more than 8192 pixels on a side would ask for more than
// 256 MiB of store) are refused before anything changes.
TEST_F(PixelHandover, ModesOutsideWhatThePipelineCarriesAreRefused) {
  struct Mode {
    USHORT width, height, bpp;
  } refused[] = {{0, 48, 32},  {7, 48, 32},     {64, 7, 32},        {64, 48, 0},
                 {64, 48, 12}, {64, 48, 40},    {65535, 65535, 32}, {32768, 32768, 8},
                 {8193, 8, 32}, {8, 8193, 8}};
  PUCHAR store = bus_->Channels[3].FrameStore;
  for (const Mode& mode : refused) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, SetMode(child_, mode.width, mode.height, mode.bpp))
        << mode.width << "x" << mode.height << "x" << mode.bpp;
  }
  EXPECT_EQ(store, bus_->Channels[3].FrameStore) << "a refused mode replaced the store";
  EXPECT_EQ(64u, bus_->Channels[3].Width);
  EXPECT_EQ(1u, adapter_->Display(7)->modes);
  EXPECT_EQ(STATUS_SUCCESS, SetMode(child_, 8, 8, 8));
  EXPECT_EQ(STATUS_SUCCESS, SetMode(child_, 8192, 8, 8));  // the widest mode carried
}

// Each field of the descriptor is checked against the current mode (64 x 48 at 32 bits) and the
// pixel buffer before a byte is copied.
TEST_F(PixelHandover, DescriptorsThatDoNotFitAreRefusedWhole) {
  const ULONG total = 64 * 48 * 4;
  // Beyond the mode: refused once the mode is read, which a mode change may still alter until then.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, PresentWith(DescriptorBytes(0, 0, 65, 8, 0, 256, total)));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, PresentWith(DescriptorBytes(0, 40, 8, 49, 0, 256, total)));
  // No update of any mode: refused before any page is locked, so that not one of them takes the
  // MDL that is set to fail.
  const Bytes refused[] = {
      DescriptorBytes(-1, 0, 8, 8, 0, 256, total),       // left below 0
      DescriptorBytes(8, 0, 8, 8, 0, 256, total),        // empty
      DescriptorBytes(0, 0, 8, 8, 0, 256, total, 12),    // no such depth
      DescriptorBytes(0, 0, 64, 48, 4, 256, total),      // last row runs past the buffer
      DescriptorBytes(0, 0, 8, 8, 0, -256, total),       // upward rows start before it
      DescriptorBytes(0, 0, 8, 8, 0, 0x40000000, total), // pitch far outside
      DescriptorBytes(0, 0, 8, 8, total, 256, total),    // offset at its end
      DescriptorBytes(0, 0, 0x40000000, 1, 0, 256, total),  // a row of 2^32 bytes
      DescriptorBytes(-2147483647 - 1, -2147483647 - 1, 2147483647, 2147483647, 0xFFFFFFFF,
                      2147483647, total, 8),             // every field at its limit
  };
  for (const Bytes& descriptor : refused) {
    hostk::MdlFailNext(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, PresentWith(descriptor));
  }
  ExpectNothingHandedOver();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PresentWith(DescriptorBytes(0, 0, 8, 8, 0, 256, total)));
  // Upward rows that stay inside are fine: the last row first.
  EXPECT_EQ(STATUS_SUCCESS, PresentWith(DescriptorBytes(0, 0, 8, 8, 7 * 256, -256, total)));
}

// Only the bytes from the first to the last row are locked and mapped: the rows must still be read
// from where the descriptor puts them, downward and upward, wherever they lie in the buffer.
TEST_F(PixelHandover, RowsAreReadFromTheirPlacesWhicheverWayThePitchRuns) {
  const ULONG pitch = 300 * 4, total = pitch * 100;
  for (LONG sign : {1, -1}) {
    hostk::UserBuffer pixels(total);
    for (ULONG i = 0; i < total; i++) pixels.Data()[i] = uint8_t(i * 7 + i / 4096);
    // Rows 10..29 of the output, 12 pixels from x = 5, taken from source rows starting at 61.
    ULONG offset = 61 * pitch + 33 * 4;
    Bytes bytes = DescriptorBytes(5, 10, 17, 30, offset, sign * LONG(pitch), total);
    hostk::UserBuffer descriptor(bytes.size());
    std::copy(bytes.begin(), bytes.end(), descriptor.Data());
    ASSERT_EQ(STATUS_SUCCESS, Ioctl(child_, IOCTL_DISPLAY_PRESENT, descriptor.Data(), 32,
                                    pixels.Data(), total));
    const DisplayChannel& channel = bus_->Channels[3];
    for (LONG row = 0; row < 20; row++) {
      const UCHAR* stored = channel.FrameStore + (10 + row) * 64 * 4 + 5 * 4;
      const UCHAR* source = pixels.Data() + offset + sign * row * LONG(pitch);
      ASSERT_TRUE(std::equal(source, source + 12 * 4, stored)) << "row " << row << ", " << sign;
    }
  }
  Settle();  // the worker locks its own payload while it sends
  EXPECT_EQ(0u, hostk::MdlLiveCount());
}

TEST_F(PixelHandover, ADepthAboveTheModesIsRefused) {
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child_, 64, 48, 16));
  Settle();
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            PresentWith(DescriptorBytes(0, 0, 8, 8, 0, 128, 64 * 48 * 4, 32)));
  EXPECT_EQ(STATUS_SUCCESS, PresentWith(DescriptorBytes(0, 0, 8, 8, 0, 128, 64 * 48 * 4, 16)));
}

TEST_F(PixelHandover, ATotalSizeOtherThanTheBufferIsRefused) {
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            PresentWith(DescriptorBytes(0, 0, 8, 8, 0, 256, 64 * 48 * 4 - 1)));
  ExpectNothingHandedOver();
}

TEST_F(PixelHandover, BadUserAddressesLeaveNothingLocked) {
  hostk::UserBuffer descriptor(32);
  Bytes bytes = DescriptorBytes(0, 0, 8, 8, 0, 256, 64 * 48 * 4);
  std::copy(bytes.begin(), bytes.end(), descriptor.Data());
  hostk::UserBuffer pixels(64 * 48 * 4);
  pixels.Protect(false, false);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, Ioctl(child_, IOCTL_DISPLAY_PRESENT, descriptor.Data(), 32,
                                           pixels.Data(), 64 * 48 * 4));
  EXPECT_EQ(0u, hostk::MdlLiveCount());
  pixels.Protect(true, true);
  descriptor.Protect(false, false);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, Ioctl(child_, IOCTL_DISPLAY_PRESENT, descriptor.Data(), 32,
                                           pixels.Data(), 64 * 48 * 4));
  // An address that is no user memory at all.
  Bytes kernel(64 * 48 * 4);
  descriptor.Protect(true, true);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, Ioctl(child_, IOCTL_DISPLAY_PRESENT, descriptor.Data(), 32,
                                           kernel.data(), 64 * 48 * 4));
  ExpectNothingHandedOver();
}

TEST_F(PixelHandover, NoMdlOrNoMappingIsAFailure) {
  const Bytes descriptor = DescriptorBytes(0, 0, 8, 8, 0, 256, 64 * 48 * 4);
  hostk::MdlFailNext(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PresentWith(descriptor));
  hostk::MmFailNextMapping();
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, PresentWith(descriptor));
  ExpectNothingHandedOver();
  EXPECT_EQ(STATUS_SUCCESS, PresentWith(descriptor));
}

// A child detached from its adapter, or bound to no channel, has no output to serve.
TEST_F(PixelHandover, AChildWithoutItsAdapterOrChannelIsRefused) {
  ChildDeviceContext* record = (ChildDeviceContext*)child_->DeviceExtension;
  Bytes mode(32);
  record->ChannelIndex = 10;
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            Ioctl(child_, IOCTL_DISPLAY_SET_MODE, mode.data(), 32, nullptr, 0));
  record->ChannelIndex = 3;
  record->ParentDevice = nullptr;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE,
            Ioctl(child_, IOCTL_DISPLAY_SET_MODE, mode.data(), 32, nullptr, 0));
  record->ParentDevice = fdo_;
}

}  // namespace
}  // namespace kxtest
