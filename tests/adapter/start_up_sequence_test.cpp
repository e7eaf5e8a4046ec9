// The adapter takes the start-up programming as the driver sends it: the full and legacy
// initialisations reach a device with every operation, map the far side where the later steps
// expect it, and leave the adapter ready for data.
#include "adapter_test_util.h"

namespace kxtest {
namespace {

using kxsim::VirtualAdapterOptions;

class StartUpSequence : public AdapterTest {
 protected:
  void SetLow(USHORT reg, ULONG a, ULONG b) { RW(reg, (RR(reg) & 0xFFFF0000) | a | b); }
  void SetHigh(USHORT reg, ULONG a, ULONG b) { RW(reg, ((a | b) << 16) | (RR(reg) & 0xFFFF)); }
  void MSetLow(ULONG offset, ULONG a, ULONG b) {
    ULONG address = 0x30000000 + offset;
    MW(address, (MR(address) & 0xFFFF0000) | a | b);
  }
  void Indexed(const std::vector<std::pair<ULONG, ULONG>>& pairs, ULONG base, bool window) {
    for (const auto& [index, data] : pairs) {
      if (window) {
        MW(base + 0x30, index);
        MW(base + 0x34, data);
      } else {
        RW(0x30, index);
        RW(0x34, data);
      }
    }
  }
  void EndpointLayout() {
    const ULONG layout[6][3] = {{0x500, 3, 0x0000}, {0x520, 6, 0x0200}, {0x540, 1, 0x1200},
                                {0x560, 6, 0x1280}, {0x580, 1, 0x2280}, {0x5E0, 3, 0x2300}};
    const ULONG high[6] = {0x0000, 0x0240, 0x1280, 0x6000, 0x7040, 0x7100};
    for (const auto& row : layout) SetLow((USHORT)row[0], row[1], row[2]);
    for (int i = 0; i < 6; i++) SetHigh((USHORT)layout[i][0], layout[i][1], high[i]);
  }

  void FullInitialisation() {
    CW(0x3004, 6);
    CW(0x3010, 0x00100000);
    CW(0x3018, 0x00200000);
    CW(0x2004, 6);
    CW(0x2018, 0x00040100);
    CW(0x0004, 6);
    CW(0x0018, 0x00040201);
    RW(0x718, 0x00800000);
    RR(0x9F0);
    RW(0x9F0, 0);
    RR(0x38);
    RW(0x38, 0xFFE00000);
    EndpointLayout();
    RW(0x3C, 0xFFE07531);
    for (ULONG n = 1; n <= 4; n++) {
      RW((USHORT)(0x30C + 0x20 * n), 0x200);
      RW((USHORT)(0x3CC + 0x20 * n), 0x200);
    }
    PR(kSwitchUp, 0x08);
    PW(kSwitchUp, 0x04, 6);
    PW(kSwitchUp, 0x18, 0x00040302);
    PR(kSwitchUp, 0x18);
    PW(kSwitchUp, 0x20, 0x3FF01000);
    PR(kSwitchDown, 0x08);
    PW(kSwitchDown, 0x04, 6);
    PW(kSwitchDown, 0x18, 0x00040403);
    PR(kSwitchDown, 0x18);
    PW(kSwitchDown, 0x20, 0x3FF02000);
    PR(kSwitchUp, 0x18);
    PR(kFarSide, 0x08);
    PW(kFarSide, 0x04, 6);
    PR(kFarSide, 0x10);
    PW(kFarSide, 0x10, 0xFFFFFFF0);
    ULONG v = PR(kFarSide, 0x10);
    PW(kFarSide, 0x10, (v & 0xF) | 0x30000000);
    PR(kFarSide, 0x10);
    PW(kFarSide, 0x18, 0x30200000);
    PR(kFarSide, 0x18);
    PW(kFarSide, 0x1C, 0x30400000);
    PR(kFarSide, 0x1C);
    MW(0x30000718, 0x00800000);
    const ULONG farLayout[6][3] = {{0x500, 3, 0x0000}, {0x520, 6, 0x0200}, {0x540, 1, 0x1200},
                                   {0x560, 6, 0x1280}, {0x580, 1, 0x2280}, {0x5E0, 3, 0x2300}};
    for (const auto& row : farLayout) MSetLow(row[0], row[1], row[2]);
    MR(0x3000003C);
    MW(0x3000003C, 0xFFE07531);
    MW(0x30000320, 0x03006E01);
    MR(0x30000320);
    Indexed({{0x32, 0x40}, {0x72, 0x40}, {0x31, 0x40}, {0x71, 0x40}, {0x30, 0x40}, {0x70, 0x40},
             {0x08, 0x04}, {0x09, 0x04}},
            0x30000000, true);
    MW(0x30000340, 0x00107F02);
    MR(0x30000340);
    MW(0x30000360, 0x03006E03);
    MR(0x30000360);
    Indexed({{0x52, 0x40}, {0x92, 0x40}, {0x51, 0x40}, {0x91, 0x40}, {0x50, 0x40}, {0x90, 0x40}},
            0x30000000, true);
    MW(0x30000038, 0xFFE00000);
    MW(0x30000380, 0x00107F04);
    MR(0x30000380);
    MW(0x30000084, 0x33820525);
    MR(0x3000008C);
    for (ULONG n = 0; n < 4; n++) MW(0x30000180 + 0x20 * n, 0);
    for (ULONG n = 1; n <= 4; n++) {
      MW(0x30000000 + 0x30C + 0x20 * n, 0x200);
      MW(0x30000000 + 0x3CC + 0x20 * n, 0x200);
    }
    for (ULONG n = 0; n < 4; n++) {
      MW(0x30000194 + 0x20 * n, 0x00200000 + 0x80000 * n);
      MW(0x30000180 + 0x20 * n, 0xC3);
    }
    MW(0x300006C0, MR(0x300006C0) | 0x800);
    MR(0x300006C0);
  }

  void ExpectEverythingClaimed() {
    for (const kxsim::AdapterOperation& operation : adapter_->Log().Snapshot()) {
      EXPECT_TRUE(operation.claimed) << operation;
    }
    EXPECT_EQ(0u, adapter_->MalformedCommands());
  }
};

TEST_F(StartUpSequence, FullInitialisationReachesEveryRegister) {
  Plug();
  FullInitialisation();
  ExpectEverythingClaimed();
  EXPECT_EQ(0x30000000u, adapter_->FarSideConfig(0x10));
  EXPECT_EQ(0x02460206u, RR(0x520));
  EXPECT_EQ(0x71032303u, RR(0x5E0));
  EXPECT_EQ(0x2303u, adapter_->FarSideRegister(0x5E0));
  EXPECT_EQ(0x40u, adapter_->FarSideIndexed(0x90));
  EXPECT_EQ(0x800u, adapter_->FarSideRegister(0x6C0));
  EXPECT_EQ(0x00380000u, adapter_->Dma(4).window);
  EXPECT_EQ(0xC3u, adapter_->Dma(4).control);
  EXPECT_EQ(2u, adapter_->FifoFlushes(3, true));  // bridge register path and window
  // The finishing steps that follow on the same adapter.
  RW(0x50, 0xB0);
  RW(0x194, 0x30200000);
  RW(0x180, 0xC3);
  MW(0x3000008C, MR(0x3000008C) | 0x8);
  EXPECT_EQ(0x80u, MR(0x30000090));
  EXPECT_EQ(0x30200000u, adapter_->Dma(1).window);
  ExpectEverythingClaimed();
}

TEST_F(StartUpSequence, LegacyInitialisationReachesEveryRegister) {
  VirtualAdapterOptions options;
  options.legacy = true;
  Plug(options);
  CW(0x3004, 6);
  CW(0x3018, 0x00200000);
  CW(0x300C, 0x20);
  CW(0x2004, 6);
  CW(0x2018, 0x00020100);
  CW(0x200C, 0x20);
  CW(0x0018, 0x00020201);
  CW(0x0004, 6);
  CW(0x000C, 0x20);
  for (USHORT reg : {0x320, 0x340, 0x360, 0x380, 0x3C}) RR(reg);
  RW(0x3C, 0xFFE06521);
  for (ULONG n = 0; n < 4; n++) SetLow((USHORT)(0x520 + 0x20 * n), 5, 0x200 + 0x800 * n);
  ULONG v = PR(kxsim::ops::FixedLocation(), 0x04);
  PW(kxsim::ops::FixedLocation(), 0x04, v | 6);
  PW(kxsim::ops::FixedLocation(), 0x0C, 0x20);
  PW(kxsim::ops::FixedLocation(), 0x10, 0x30000000);
  PW(kxsim::ops::FixedLocation(), 0x18, 0x30200000);
  MW(0x30000320, 0x03000601);
  MW(0x30000340, 0x03000682);
  MW(0x30000360, 0x03000603);
  MW(0x30000380, 0x03000684);
  MW(0x30000084, 0x33820525);
  MW(0x30000038, 0xFFE00008);
  MW(0x30000194, 0x00200000);
  MW(0x30000180, 0xC3);
  MW(0x300001D4, 0x00300000);
  MW(0x300001C0, 0xC3);
  MW(0x3000008C, MR(0x3000008C) | 0x8);
  ExpectEverythingClaimed();
  EXPECT_EQ(0x1A05u, RR(0x580) & 0xFFFF);
  EXPECT_EQ(0x00300000u, adapter_->Dma(3).window);
  EXPECT_EQ(0x8u, adapter_->FarSideRegister(0x8C));
}

TEST_F(StartUpSequence, FirstStageSwitchLeavesTheBusWithTheNewIdentity) {
  VirtualAdapterOptions options;
  options.firstStageImage = true;
  Plug(options);
  RW(0x320, 0x03006E01);
  Indexed({{0x32, 0x40}, {0x72, 0x40}, {0x30, 0x40}, {0x70, 0x40}, {0x31, 0x40}, {0x71, 0x40},
           {0x04, 0x07}, {0x04, 0x08}},
          0, false);
  RW(0x340, 0x00107F02);
  RW(0x360, 0x03006E03);
  Indexed({{0x52, 0x40}, {0x92, 0x40}, {0x51, 0x40}, {0x91, 0x40}, {0x50, 0x40}, {0x90, 0x40}}, 0,
          false);
  RW(0x380, 0x00107F04);
  RW(0x84, (0x3381u << 16) | 0x0525);
  EndpointLayout();
  EXPECT_FALSE(adapter_->LeftBus());
  RW(0x8C, RR(0x8C) | 0x200);
  EXPECT_TRUE(adapter_->LeftBus());
  ExpectEverythingClaimed();
  EXPECT_EQ(0x3381, adapter_->Reattach()->Options().idProduct);
}

}  // namespace
}  // namespace kxtest
