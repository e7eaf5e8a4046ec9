// The driver's own register, configuration-memory and data-channel operations against the model:
// what they send is what the adapter understands, and what the adapter answers is what they expect.
#include "adapter_test_util.h"
#include "sim/adapter/command_block.h"

namespace kxtest {
namespace {

using kxsim::VirtualAdapterOptions;
namespace op = kxsim::ops;

class DriverOnAdapter : public DriverOnAdapterTest {};

TEST_F(DriverOnAdapter, IdentityOfAFirstStageImage) {
  VirtualAdapterOptions options;
  options.firstStageImage = true;
  PlugWithRecord(options);
  USHORT vidW = 0, pidW = 0;
  ULONG w0 = 0;
  ASSERT_TRUE(ConfigReadIdentity(bus_.get(), &vidW, &pidW, &w0));
  EXPECT_EQ(kxsim::kFirstStageWord0, w0);
  EXPECT_EQ(0x0525, vidW);
  EXPECT_EQ(0x3380, pidW);
  EXPECT_EQ(3u, adapter_->ConfigCounters().wordReads);
}

TEST_F(DriverOnAdapter, WordWriteIsAwaitedByTheNextAccess) {
  PlugWithRecord();
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordWrite(bus_.get(), 201, 0xABCD0123));
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordWrite(bus_.get(), 200, 0x0000FFFF));
  ULONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 201, &value));
  EXPECT_EQ(0xABCD0123u, value);
  EXPECT_EQ(0x0000FFFFu, adapter_->ConfigWord(200));
  kxsim::ConfigMemoryCounters counters = adapter_->ConfigCounters();
  EXPECT_EQ(0u, counters.commandsWhileBusy);
  EXPECT_EQ(0u, counters.writesWithoutEnable);
}

TEST_F(DriverOnAdapter, MemoryBusyTooLongFailsTheRead) {
  PlugWithRecord();
  adapter_->HoldConfigBusy(1000);
  ULONG value = 0x77;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ConfigWordRead(bus_.get(), 0, &value));
  EXPECT_EQ(0x77u, value);
  EXPECT_EQ(100u, adapter_->ConfigCounters().statusReads);
  EXPECT_EQ(0u, adapter_->ConfigCounters().wordReads);
}

TEST_F(DriverOnAdapter, ThreeAddressBytesAreHandled) {
  VirtualAdapterOptions options;
  options.configMemory.addressWidthCode = 3;
  PlugWithRecord(options);
  ULONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 201, &value));
  EXPECT_EQ(options.word201, value);
  EXPECT_EQ(0u, adapter_->BridgeConfig(0x26C) & 0xFF);
}

// A result that did not come whole (no answer in time, nothing, half of it) may still be in the
// device, or come late: it must not be taken for the next read's. On both register paths, a
// read of one register that failed is followed by a read of another that answers its own value.
TEST_F(DriverOnAdapter, AFailedResultIsNeverTakenForTheNextReads) {
  PlugWithRecord();
  ASSERT_EQ(STATUS_SUCCESS, BridgeRegWrite(bus_.get(), 0x194, 0x30200000));
  ASSERT_EQ(STATUS_SUCCESS, BridgeRegWrite(bus_.get(), 0x1B4, 0x30280000));
  ULONG busId = PciConfigRead(bus_.get(), 0);
  ULONG busClass = PciConfigRead(bus_.get(), 8);
  ASSERT_NE(busId, busClass);
  const std::pair<const char*, kxsim::UsbFault> faults[] = {
      {"no answer", kxsim::UsbFault::NoAnswer().Times(1)},
      {"nothing", kxsim::UsbFault::Short(0).Times(1)},
      {"two bytes", kxsim::UsbFault::Short(2).Times(1)},
      {"a late answer", kxsim::UsbFault::Delay(200000000).Times(1)}};
  for (const auto& [what, fault] : faults) {
    port_->InjectFault(0x8D, fault);
    ULONG value = 0;
    EXPECT_FALSE(NT_SUCCESS(BridgeRegRead(bus_.get(), 0x194, &value))) << what;
    for (int i = 0; i < 2; i++) {
      ASSERT_EQ(STATUS_SUCCESS, BridgeRegRead(bus_.get(), 0x1B4, &value)) << what;
      EXPECT_EQ(0x30280000u, value) << what << ", bridge path, read " << i;
    }
    port_->InjectFault(0x8E, fault);
    EXPECT_EQ(0u, PciConfigRead(bus_.get(), 0)) << what;
    for (int i = 0; i < 2; i++) {
      EXPECT_EQ(busClass, PciConfigRead(bus_.get(), 8)) << what << ", internal bus, read " << i;
    }
  }
}

TEST_F(DriverOnAdapter, CommandPacketsAsTheWireFormatHasThem) {
  PlugWithRecord();
  PciLocation downstream = {2, 0, 2, 1};
  PciConfigReadAt(bus_.get(), &downstream, 0x18);
  PciConfigWrite(bus_.get(), 0x104, 1);
  BridgeRegWrite(bus_.get(), 0x8C, 0x00000208);
  ULONG value = 0;
  BridgeConfigRead(bus_.get(), 0x3004, &value);
  EXPECT_EQ((std::vector<kxsim::AdapterOperation>{op::PR(op::At(2, 2, 0, true), 0x18),
                                                  op::PW(op::FixedLocation(), 0x104, 1),
                                                  op::RW(0x8C, 0x208), op::CR(0x3004)}),
            adapter_->Log().Snapshot());
  EXPECT_EQ(0u, adapter_->MalformedCommands());
}

TEST_F(DriverOnAdapter, ChannelReadProgramsTheEngineItWaitsFor) {
  PlugWithRecord();
  MapFarSide();
  std::vector<uint8_t> data(1024);
  for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)i;
  adapter_->QueueIn(0x82, data);
  size_t mark = adapter_->Log().Size();
  std::vector<uint8_t> buffer(1024);
  ASSERT_EQ(STATUS_SUCCESS, ReadChannel2(bus_.get(), buffer.data(), 1024));
  EXPECT_EQ(data, buffer);
  EXPECT_EQ((std::vector<kxsim::AdapterOperation>{op::MW(0x300001B0, 1024),
                                                  op::MW(0x300001A4, 1)}),
            adapter_->Log().Since(mark));
}

TEST_F(DriverOnAdapter, LinkReceiveWaitsForTheFarSide) {
  PlugWithRecord();
  MapFarSide();
  std::vector<uint8_t> block(1024);
  ASSERT_TRUE(NT_SUCCESS(ReadChannel1Async(bus_.get(), block.data(), 1024)));
  LARGE_INTEGER wait = Relative(200 * kMillisecond);
  EXPECT_EQ(STATUS_TIMEOUT,
            KeWaitForSingleObject(&bus_->AsyncIdleEvent, Executive, KernelMode, FALSE, &wait));
  std::vector<uint8_t> report(40, 0x5A);
  adapter_->AnnounceDisplay(report);
  ASSERT_EQ(STATUS_SUCCESS,
            KeWaitForSingleObject(&bus_->AsyncIdleEvent, Executive, KernelMode, FALSE, nullptr));
  kxsim::CommandBlock parsed = kxsim::ParseCommandBlock(block.data());
  EXPECT_TRUE(parsed.magicOk);
  EXPECT_EQ(16, parsed.command);
  EXPECT_EQ(40, parsed.displayId);
  // The report comes with a read of exactly its size.
  std::vector<uint8_t> received(40);
  ASSERT_EQ(STATUS_SUCCESS, ReadChannel1(bus_.get(), received.data(), 40));
  EXPECT_EQ(report, received);
  adapter_->AnnounceRemoval(9);
  ASSERT_EQ(STATUS_SUCCESS, ReadChannel1(bus_.get(), block.data(), 1024));
  parsed = kxsim::ParseCommandBlock(block.data());
  EXPECT_EQ(17, parsed.command);
  EXPECT_EQ(9, parsed.displayId);
}

TEST_F(DriverOnAdapter, FramesWrittenByTheDriverAreDrawn) {
  PlugWithRecord();
  std::vector<uint8_t> mode = kxsim::BuildModeBlock(4, kxsim::ModeFields{32, 16, 32, 0});
  ASSERT_EQ(STATUS_SUCCESS, WriteChannel1(bus_.get(), mode.data(), 1024));
  std::vector<uint8_t> jpeg = EncodeTestJpeg(32, 16, [](unsigned, unsigned) { return 0x00FF00; });
  std::vector<uint8_t> block =
      kxsim::BuildFrameBlock(4, kxsim::FrameFor(0, 0, 32, 16, (ULONG)jpeg.size(), 32, 32));
  ASSERT_EQ(STATUS_SUCCESS, WriteChannel1(bus_.get(), block.data(), 1024));
  std::vector<uint8_t> payload = kxsim::PadPayload(jpeg);
  ASSERT_EQ(STATUS_SUCCESS, WriteChannel1(bus_.get(), payload.data(), (ULONG)payload.size()));
  EXPECT_TRUE(adapter_->WaitUntil([this] { return adapter_->Rectangles() == 1; }, kSecond));
  EXPECT_EQ(0u, adapter_->ViolationTotal());
  ULONG pixel = adapter_->Display(4)->Pixel(31, 15);
  EXPECT_LT(pixel >> 16, 0x10u);
  EXPECT_GT((pixel >> 8) & 0xFF, 0xF0u);
  EXPECT_LT(pixel & 0xFF, 0x10u);
}

}  // namespace
}  // namespace kxtest
