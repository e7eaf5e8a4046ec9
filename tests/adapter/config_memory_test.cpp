// The serial configuration memory behind bridge registers 0x260/0x264/0x26C: its commands, the
// in-progress and busy bits, the write-enable latch and the address width.
#include "adapter_test_util.h"

namespace kxtest {
namespace {

using kxsim::VirtualAdapterOptions;

constexpr USHORT kControl = 0x260;
constexpr USHORT kData = 0x264;
constexpr USHORT kThird = 0x26C;
constexpr ULONG kInProgress = 1u << 18;
constexpr ULONG kStale = 1u << 19;
constexpr ULONG kBusy = 1u << 24;

ULONG Command(ULONG command, ULONG word = 0) {
  return command << 13 | (word & 0x1FFF) | ((word >> 13) & 1) << 20;
}

class ConfigMemory : public AdapterTest {
 protected:
  ULONG ReadWord(ULONG word) {
    CW(kControl, Command(3, word));
    return CR(kData);
  }
  void WriteWord(ULONG word, ULONG value) {
    CW(kControl, Command(6));
    CW(kData, value);
    CW(kControl, Command(2, word));
  }
  bool StatusBusy() {
    CW(kControl, Command(5));
    return (CR(kControl) & kBusy) != 0;
  }
};

TEST_F(ConfigMemory, PresetWordsOfAFirstStageImage) {
  VirtualAdapterOptions options;
  options.firstStageImage = true;
  options.vendorWord = 0x1234;
  options.productWord = 0x5678;
  options.word200 = 0xAA;
  options.word201 = 0xBB;
  options.configMemory.words[7] = 0x77;
  Plug(options);
  EXPECT_EQ(kxsim::kFirstStageWord0, ReadWord(0));
  EXPECT_EQ(0x1234u, ReadWord(1) >> 16);
  EXPECT_EQ(0x5678u, ReadWord(2) & 0xFFFF);
  EXPECT_EQ(0xAAu, ReadWord(200));
  EXPECT_EQ(0xBBu, ReadWord(201));
  EXPECT_EQ(0x77u, ReadWord(7));
  EXPECT_EQ(0xFFFFFFFFu, ReadWord(300));  // erased
  EXPECT_EQ(0x5678, adapter_->ProductId());
}

TEST_F(ConfigMemory, FinishedImageEnumeratesAsTheSwitchedIdentity) {
  Plug();
  EXPECT_NE(kxsim::kFirstStageWord0, ReadWord(0));
  EXPECT_NE(0u, ReadWord(0));
  EXPECT_EQ(0x3381, adapter_->ProductId());
  EXPECT_EQ(0x3380u, ReadWord(2) & 0xFFFF);
}

TEST_F(ConfigMemory, AddressBit13TravelsInBit20) {
  VirtualAdapterOptions options;
  options.configMemory.words[0x2001] = 0x2001;
  options.configMemory.words[0x0001] = 0x0001;
  Plug(options);
  EXPECT_EQ(0x2001u, ReadWord(0x2001));
  EXPECT_EQ(0x0001u, ReadWord(0x0001));
  EXPECT_EQ(0x0001u, adapter_->ConfigWord(0x4001));  // 14 bits of address
}

TEST_F(ConfigMemory, WriteNeedsTheLatchAndLeavesTheMemoryBusy) {
  Plug();
  CW(kData, 0x11);
  CW(kControl, Command(2, 50));
  EXPECT_EQ(0xFFFFFFFFu, adapter_->ConfigWord(50));
  EXPECT_EQ(1u, adapter_->ConfigCounters().writesWithoutEnable);

  WriteWord(50, 0x22);
  EXPECT_EQ(0x22u, adapter_->ConfigWord(50));
  // Two status reads report the write cycle; commands meanwhile are ignored.
  CW(kControl, Command(3, 50));
  EXPECT_EQ(1u, adapter_->ConfigCounters().commandsWhileBusy);
  EXPECT_TRUE(StatusBusy());
  EXPECT_TRUE(StatusBusy());
  EXPECT_FALSE(StatusBusy());
  EXPECT_EQ(0x22u, ReadWord(50));
  // The latch is spent: a second write without enabling again is ignored.
  CW(kData, 0x33);
  CW(kControl, Command(2, 51));
  EXPECT_EQ(0xFFFFFFFFu, adapter_->ConfigWord(51));
  EXPECT_EQ(2u, adapter_->ConfigCounters().writesWithoutEnable);
  EXPECT_EQ(1u, adapter_->ConfigCounters().wordWrites);
}

TEST_F(ConfigMemory, BusyHeldForNStatusReads) {
  Plug();
  adapter_->HoldConfigBusy(5);
  for (int i = 0; i < 5; i++) EXPECT_TRUE(StatusBusy()) << i;
  EXPECT_FALSE(StatusBusy());
  EXPECT_EQ(6u, adapter_->ConfigCounters().statusReads);
}

TEST_F(ConfigMemory, InProgressBitHeldForNControlReads) {
  VirtualAdapterOptions options;
  options.configMemory.commandPolls = 2;
  Plug(options);
  CW(kControl, Command(3, 1));
  EXPECT_TRUE(CR(kControl) & kInProgress);
  // A command given before the bridge finished the last one is dropped.
  CW(kControl, Command(3, 2));
  EXPECT_EQ(1u, adapter_->ConfigCounters().commandsWhileInProgress);
  EXPECT_TRUE(CR(kControl) & kInProgress);
  EXPECT_FALSE(CR(kControl) & kInProgress);
  EXPECT_EQ(0x05250000u, CR(kData));  // word 1, not word 2

  adapter_->HoldConfigInProgress(100);
  EXPECT_TRUE(adapter_->BridgeConfig(kControl) & kInProgress);  // peeking does not count
  for (int i = 0; i < 100; i++) CR(kControl);
  EXPECT_FALSE(CR(kControl) & kInProgress);
}

TEST_F(ConfigMemory, ControlRegisterFields) {
  VirtualAdapterOptions options;
  options.configMemory.addressWidthCode = 2;
  Plug(options);
  ULONG control = CR(kControl);
  EXPECT_TRUE(control & kStale);  // the boot loader's cut-short command
  EXPECT_EQ(2u, (control >> 22) & 3);
  // Writing the flag back clears it and starts nothing.
  CW(kControl, (control & 0x8EFF1FFF) | 0x6000);
  EXPECT_FALSE(CR(kControl) & kStale);
  EXPECT_EQ(0u, adapter_->ConfigCounters().wordReads);
  // Settings bits stay as written; read-only bits do not take a write.
  CW(kControl, Command(5) | 1u << 16 | 1u << 31 | kBusy | 3u << 22);
  control = CR(kControl);
  EXPECT_EQ(1u << 16 | 1u << 31, control & (1u << 16 | 1u << 31));
  EXPECT_EQ(2u, (control >> 22) & 3);
  EXPECT_FALSE(control & kBusy);
}

TEST_F(ConfigMemory, ThreeAddressBytesUseTheThirdByteRegister) {
  VirtualAdapterOptions options;
  options.configMemory.addressWidthCode = 3;
  options.configMemory.words[9] = 0x99;
  Plug(options);
  EXPECT_EQ(0x01u, CR(kThird));
  EXPECT_EQ(0xFFFFFFFFu, ReadWord(9));  // page 1: erased
  CW(kThird, CR(kThird) & ~0xFFu);
  EXPECT_EQ(0x99u, ReadWord(9));
}

TEST_F(ConfigMemory, TwoAddressBytesIgnoreTheThirdByteRegister) {
  VirtualAdapterOptions options;
  options.configMemory.words[9] = 0x99;
  Plug(options);
  EXPECT_EQ(0x99u, ReadWord(9));
}

}  // namespace
}  // namespace kxtest
