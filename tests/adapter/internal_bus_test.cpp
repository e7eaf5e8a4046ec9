// The internal bus path: command decoding, configuration routing through the bus switch, the
// far-side chip's BARs and registers, and what nothing claims.
#include "adapter_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterGeneration;
using kxsim::UsbSpeed;
using kxsim::VirtualAdapterOptions;
namespace op = kxsim::ops;

constexpr ULONG kAllOnes = 0xFFFFFFFF;

TEST(ConfigAddressWord, DecodesEveryField) {
  // Bus 2, device 2, function 0, type 1, register 0x18: the worked example of the wire format.
  std::optional<kxsim::ConfigAddress> decoded = kxsim::DecodeConfigAddress(0x19001002);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(op::At(2, 2, 0, true), decoded->location);
  EXPECT_EQ(0x18, decoded->offset);
  // An extended register: bits 8-11 of the offset travel in bits 16-19.
  decoded = kxsim::DecodeConfigAddress(0x04010002);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(0x104, decoded->offset);
  EXPECT_EQ(op::FixedLocation(), decoded->location);
  decoded = kxsim::DecodeConfigAddress(0x00000705 | 5u << 11);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(op::At(5, 5, 7, false), decoded->location);
  EXPECT_FALSE(kxsim::DecodeConfigAddress(0x00100002));  // bit 20
  EXPECT_FALSE(kxsim::DecodeConfigAddress(0x02000002));  // bit 25
}

class InternalBus : public AdapterTest {};

TEST_F(InternalBus, MalformedCommandsStall) {
  Plug();
  const std::vector<std::vector<uint8_t>> packets = {
      Cat({Le32(0x010000CF)}),                                 // no address
      Cat({Le32(0x010000CF), Le32(0x30000000), Le32(1)}),      // read with a value
      Cat({Le32(0x0100004F), Le32(0x30000000)}),               // write without one
      Cat({Le32(0x000000CF), Le32(0x30000000)}),               // bit 24 clear
      Cat({Le32(0x010001CF), Le32(0x30000000)}),               // a bit of 8-23 set
      Cat({Le32(0x010000DF), Le32(0x30000000)}),               // bit 4 set
      Cat({Le32(0x010000EF), Le32(0x00F00002)}),               // reserved address bits
  };
  for (const std::vector<uint8_t>& packet : packets) {
    USBD_STATUS urbStatus = 0;
    std::vector<uint8_t> bytes = packet;
    EXPECT_NE(STATUS_SUCCESS, Bulk(0x0E, bytes.data(), (ULONG)bytes.size(), nullptr, &urbStatus));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urbStatus);
    ASSERT_EQ(STATUS_SUCCESS,
              PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(0x0E)));
  }
  EXPECT_EQ(packets.size(), adapter_->MalformedCommands());
  EXPECT_EQ(0u, adapter_->Log().Size());
}

TEST_F(InternalBus, SwitchForwardsOnlyWhatTheBusNumbersAllow) {
  Plug();
  // Before numbering only the upstream port answers.
  EXPECT_EQ(0x06040001u, PR(kSwitchUp, 0x08));
  EXPECT_EQ(kAllOnes, PR(kSwitchDown, 0x08));
  EXPECT_EQ(kAllOnes, PR(kFarSide, 0x08));
  PW(kSwitchUp, 0x18, 0x00040302);
  EXPECT_EQ(0x00040302u, PR(kSwitchUp, 0x18));
  EXPECT_EQ(0x06040001u, PR(kSwitchDown, 0x08));
  EXPECT_EQ(kAllOnes, PR(kFarSide, 0x08));
  PW(kSwitchDown, 0x18, 0x00040403);
  EXPECT_EQ(0x03800002u, PR(kFarSide, 0x08));

  // Wrong type flag, device or function: nobody answers.
  EXPECT_EQ(kAllOnes, PR(op::At(2, 0, 0, true), 0x08));
  EXPECT_EQ(kAllOnes, PR(op::At(4, 0, 0, false), 0x08));
  EXPECT_EQ(kAllOnes, PR(op::At(3, 1, 0, true), 0x08));
  EXPECT_EQ(kAllOnes, PR(op::At(4, 1, 0, true), 0x08));
  EXPECT_EQ(kAllOnes, PR(op::At(4, 0, 1, true), 0x08));
  EXPECT_EQ(kAllOnes, PR(op::At(5, 0, 0, true), 0x08));

  std::vector<kxsim::AdapterOperation> log = adapter_->Log().Snapshot();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log[0].claimed);
  EXPECT_FALSE(log[1].claimed);
  EXPECT_EQ("PR 3:2.0 t1 0x8 (unclaimed)", log[1].ToString());
}

TEST_F(InternalBus, BarSizeProbeAndMapping) {
  Plug();
  PW(kSwitchUp, 0x18, 0x00040302);
  PW(kSwitchDown, 0x18, 0x00040403);
  EXPECT_EQ(0u, PR(kFarSide, 0x10));
  PW(kFarSide, 0x10, 0xFFFFFFF0);
  ULONG probe = PR(kFarSide, 0x10);
  EXPECT_EQ(0xFFF00000u, probe);  // 1 MiB, 32-bit memory
  PW(kFarSide, 0x10, (probe & 0xF) | 0x30000000);
  EXPECT_EQ(0x30000000u, PR(kFarSide, 0x10));
  PW(kFarSide, 0x14, 0xFFFFFFF0);
  EXPECT_EQ(0u, PR(kFarSide, 0x14));  // not implemented
  PW(kFarSide, 0x18, 0xFFFFFFFF);
  EXPECT_EQ(0xFFE00000u, PR(kFarSide, 0x18));
}

TEST_F(InternalBus, MemoryReachesTheFarSideOnlyWhenEverythingDecodes) {
  Plug();
  MW(0x30000718, 0x00800000);
  EXPECT_EQ(kAllOnes, MR(0x30000718));
  MapFarSide();
  MW(0x30000718, 0x00800000);
  EXPECT_EQ(0x00800000u, MR(0x30000718));
  EXPECT_EQ(0x00800000u, adapter_->FarSideRegister(0x718));
  // The switch's window ends at 0x3FFFFFFF and starts at 0x10000000.
  EXPECT_EQ(kAllOnes, MR(0x40000000));
  // Memory decoding off on the downstream port cuts the far side off.
  PW(kSwitchDown, 0x04, 0);
  EXPECT_EQ(kAllOnes, MR(0x30000718));

  std::vector<kxsim::AdapterOperation> log = adapter_->Log().Snapshot();
  EXPECT_FALSE(log[0].claimed);
  EXPECT_EQ(op::MW(0x30000718, 0x00800000), log[0]);
  EXPECT_EQ("MW 0x30000718 := 0x800000 (unclaimed)", log[0].ToString());
  EXPECT_EQ("MR 0x40000000 -> 0xFFFFFFFF (unclaimed)", log[log.size() - 3].ToString(true));
}

TEST_F(InternalBus, FarSideRegistersIndexPairAndPortStatus) {
  VirtualAdapterOptions options;
  options.farPortSpeed = UsbSpeed::Super;
  Plug(options);
  MapFarSide();
  EXPECT_EQ(0x100u, MR(0x30000090));
  MW(0x30000090, 0);
  EXPECT_EQ(0x100u, MR(0x30000090));
  MW(0x30000030, 0x08);
  MW(0x30000034, 0x04);
  MW(0x30000030, 0x09);
  MW(0x30000034, 0x05);
  EXPECT_EQ(0x04u, adapter_->FarSideIndexed(0x08));
  EXPECT_EQ(0x05u, adapter_->FarSideIndexed(0x09));
  MW(0x3000008C, MR(0x3000008C) | 0x8);
  EXPECT_EQ(0x8u, adapter_->FarSideRegister(0x8C));
  // Frame memory behind BAR2.
  MW(0x30200010, 0xCAFE);
  EXPECT_EQ(0xCAFEu, adapter_->FarSideMemory(2, 0x10));
}

TEST_F(InternalBus, FarPortSpeedBits) {
  const std::pair<std::optional<UsbSpeed>, ULONG> cases[] = {
      {UsbSpeed::Full, 0x40}, {UsbSpeed::High, 0x80}, {UsbSpeed::Super, 0x100},
      {std::nullopt, 0}};
  for (const auto& [speed, bits] : cases) {
    VirtualAdapterOptions options;
    options.farPortSpeed = speed;
    kxsim::VirtualAdapter adapter(options);
    EXPECT_EQ(bits, adapter.FarSideRegister(0x90));
  }
}

TEST_F(InternalBus, WindowDmaBlocksAndFlushesAreTheBridges) {
  Plug();
  MapFarSide();
  MW(0x30000194, 0x00200000);
  MW(0x30000180, 0xC3);
  EXPECT_EQ(0x00200000u, RR(0x194));
  RW(0x194, 0x30200000);
  EXPECT_EQ(0x30200000u, MR(0x30000194));
  MW(0x3000032C, 0x200);
  MW(0x3000044C, 0x200);
  EXPECT_EQ(1u, adapter_->FifoFlushes(1, false));
  EXPECT_EQ(1u, adapter_->FifoFlushes(4, true));
  // The far side's own endpoint register next to the flush register keeps its value.
  MW(0x30000320, 0x03006E01);
  EXPECT_EQ(0x03006E01u, MR(0x30000320));
}

TEST_F(InternalBus, BasicGenerationHasTheFarSideMappedAt1MiB) {
  VirtualAdapterOptions options;
  options.generation = AdapterGeneration::Basic;
  options.farPortSpeed = UsbSpeed::Full;
  Plug(options);
  EXPECT_EQ(0x40u, MR(0x00100090));
  EXPECT_EQ(kAllOnes, MR(0x30000090));
  EXPECT_EQ(0x03800002u, PR(op::FixedLocation(), 0x08));
  EXPECT_EQ(0x00100000u, PR(op::FixedLocation(), 0x10));
  MW(0x00100190, 1024);
  EXPECT_EQ(1024u, adapter_->Dma(1).count);
}

TEST_F(InternalBus, LegacyHasNoSwitch) {
  VirtualAdapterOptions options;
  options.legacy = true;
  Plug(options);
  EXPECT_EQ(0x03800002u, PR(op::FixedLocation(), 0x08));
  ULONG command = PR(op::FixedLocation(), 0x04);
  PW(op::FixedLocation(), 0x04, command | 6);
  PW(op::FixedLocation(), 0x0C, 0x20);
  PW(op::FixedLocation(), 0x10, 0x30000000);
  MW(0x30000038, 0xFFE00008);
  EXPECT_EQ(0xFFE00008u, MR(0x30000038));
  EXPECT_EQ(0x20u, PR(op::FixedLocation(), 0x0C));
  EXPECT_EQ(kAllOnes, PR(kSwitchDown, 0x08));
}

TEST_F(InternalBus, LogNamesLocationsAndOffsets) {
  Plug();
  PW(kSwitchUp, 0x104, 1);
  PR(kSwitchUp, 0x08);
  EXPECT_EQ((std::vector<kxsim::AdapterOperation>{op::PW(op::FixedLocation(), 0x104, 1),
                                                  op::PR(op::FixedLocation(), 0x08)}),
            adapter_->Log().Snapshot());
  EXPECT_EQ((std::vector<std::string>{"PW 2:0.0 t0 0x104 := 0x1", "PR 2:0.0 t0 0x8"}),
            adapter_->Log().Text());
  EXPECT_NE(op::PW(op::FixedLocation(), 0x104, 2), adapter_->Log().Snapshot()[0]);
  EXPECT_NE(op::PW(kSwitchDown, 0x104, 1), adapter_->Log().Snapshot()[0]);
}

}  // namespace
}  // namespace kxtest
