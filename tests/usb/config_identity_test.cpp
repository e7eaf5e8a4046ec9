// ConfigReadIdentity when one of the identity words cannot be read: a small stand-in for the
// bridge's configuration memory on the register pipes fails the data read of word 1.
#include <gtest/gtest.h>

#include "usb_adapter_fixture.h"

namespace {

using kxtest::UsbAdapterFixture;

class ConfigIdentity : public UsbAdapterFixture {
 protected:
  // Control reads answer "not busy, nothing in progress" (address width code 1: a control value is
  // never 0, which the driver takes for failure); the data register answers the word at
  // the address last commanded, except that word `unreadable` fails its read command.
  void InstallMemory(ULONG unreadable) {
    device_->SetHandler(0x0D, [this, unreadable](const std::shared_ptr<kxsim::UsbTransfer>& t) {
      const UCHAR* packet = t->Buffer();
      USHORT reg = (USHORT)(packet[2] | packet[3] << 8);
      bool read = (packet[0] & 0x80) != 0;
      if (!read && reg == 0x260) {
        ULONG value = packet[4] | packet[5] << 8 | packet[6] << 16 | (ULONG)packet[7] << 24;
        if (((value >> 13) & 7) == 3) address_ = (value & 0x1FFF) | ((value >> 20) & 1) << 13;
      }
      if (read && reg == 0x264 && address_ == unreadable) {
        t->Fail(USBD_STATUS_STALL_PID);
        return;
      }
      if (read) {
        ULONG answer = reg == 0x264 ? words_[address_ % 3] : 0x00400000;
        Script(0x8D)->QueueIn({(uint8_t)answer, (uint8_t)(answer >> 8), (uint8_t)(answer >> 16),
                               (uint8_t)(answer >> 24)});
      }
      t->Complete(t->Length());
    });
  }
  ULONG address_ = 0;
  ULONG words_[3] = {0x000C005A, 0x05250000, 0x00003380};
};

TEST_F(ConfigIdentity, AnUnreadableVendorWordLeavesThePresetAndStillAnswersTrue) {
  Start();
  InstallMemory(1);
  USHORT vidW = 0x1111, pidW = 0x2222;
  ULONG w0 = 0;
  EXPECT_TRUE(ConfigReadIdentity(bus_, &vidW, &pidW, &w0));
  EXPECT_EQ(0x000C005Au, w0);
  EXPECT_EQ(0x1111, vidW);
  EXPECT_EQ(0x3380, pidW);
}

TEST_F(ConfigIdentity, AnUnreadableWordZeroOrAMissingPointerAnswersFalse) {
  Start();
  InstallMemory(0);
  USHORT vidW = 0, pidW = 0;
  ULONG w0 = 0x77;
  EXPECT_FALSE(ConfigReadIdentity(bus_, &vidW, &pidW, &w0));
  EXPECT_EQ(0x77u, w0);
  EXPECT_FALSE(ConfigReadIdentity(bus_, nullptr, &pidW, &w0));
}

}  // namespace
