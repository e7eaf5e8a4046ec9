// The bridge chip on the register pipes: command decoding, its two spaces, the registers the
// start-up relies on, and the log every operation leaves.
#include "adapter_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterGeneration;
using kxsim::UsbSpeed;
using kxsim::VirtualAdapterOptions;
namespace op = kxsim::ops;

class BridgeRegisters : public AdapterTest {};

TEST_F(BridgeRegisters, StatusRegisterCarriesGenerationAndPortSpeed) {
  VirtualAdapterOptions options;
  options.usbSpeed = UsbSpeed::Super;
  Plug(options);
  EXPECT_EQ(0x1000u | 0x100u, RR(0x90));
  RW(0x90, 0);  // read-only
  EXPECT_EQ(0x1100u, RR(0x90));
}

TEST_F(BridgeRegisters, BasicGenerationClearsBit12) {
  VirtualAdapterOptions options;
  options.generation = AdapterGeneration::Basic;
  options.usbSpeed = UsbSpeed::Full;
  Plug(options);
  EXPECT_EQ(0x40u, RR(0x90));
}

TEST_F(BridgeRegisters, ReadAnswersFourBytesAndWriteNothing) {
  Plug();
  ASSERT_EQ(STATUS_SUCCESS, SendBridgeCommand({0xDF, 0, 0x84, 0}));
  // A bigger buffer still receives exactly the register's four bytes.
  std::vector<uint8_t> result = ReadIn(0x8D, 64);
  EXPECT_EQ(Cat({Le32(0x33810525)}), result);
  RW(0x50, 0xB0);
  EXPECT_EQ(0u, port_->PendingCount(0x8D));
  EXPECT_EQ(0xB0u, RR(0x50));
}

TEST_F(BridgeRegisters, ResultsComeBackInTheOrderOfTheirCommands) {
  Plug();
  RW(0x3C, 0x11111111);
  RW(0x38, 0x22222222);
  ASSERT_EQ(STATUS_SUCCESS, SendBridgeCommand({0xDF, 0, 0x3C, 0}));
  ASSERT_EQ(STATUS_SUCCESS, SendBridgeCommand({0xDF, 0, 0x38, 0}));
  EXPECT_EQ(Le32(0x11111111), ReadIn(0x8D, 4));
  EXPECT_EQ(Le32(0x22222222), ReadIn(0x8D, 4));
}

TEST_F(BridgeRegisters, ResultWaitsForItsCommand) {
  Plug();
  std::vector<uint8_t> buffer(4);
  AsyncUrb read(Pdo());
  read.BuildBulk(Pipe(0x8D), buffer.data(), 4, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, read.Send());
  EXPECT_FALSE(read.Wait(100 * kMillisecond));
  RW(0x9F0, 0x5A5A);
  ASSERT_EQ(STATUS_SUCCESS, SendBridgeCommand({0xDF, 0, 0xF0, 0x09}));
  ASSERT_TRUE(read.Wait());
  EXPECT_EQ(STATUS_SUCCESS, read.status);
  EXPECT_EQ(Le32(0x5A5A), buffer);
}

TEST_F(BridgeRegisters, MalformedCommandsStallAndLeaveNoTrace) {
  Plug();
  const std::vector<std::vector<uint8_t>> packets = {
      {0xDF, 0, 0x90},                    // too short
      {0xDF, 0, 0x90, 0, 0, 0, 0, 0},     // a read with a value
      {0x5F, 0, 0x90, 0},                 // a write without one
      {0xD7, 0, 0x90, 0},                 // byte enables not 0xF
      {0xFF, 0, 0x90, 0},                 // bit 5 set
      {0x9F, 0, 0x90, 0},                 // bit 6 clear
      {0xDF, 1, 0x90, 0},                 // second byte not 0
  };
  for (const std::vector<uint8_t>& packet : packets) {
    USBD_STATUS urbStatus = 0;
    std::vector<uint8_t> bytes = packet;
    EXPECT_NE(STATUS_SUCCESS, Bulk(0x0D, bytes.data(), (ULONG)bytes.size(), nullptr, &urbStatus));
    EXPECT_EQ(USBD_STATUS_STALL_PID, urbStatus);
    EXPECT_EQ(STATUS_SUCCESS, PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                          Pipe(0x0D)));
  }
  EXPECT_EQ(packets.size(), adapter_->MalformedCommands());
  EXPECT_EQ(0u, adapter_->Log().Size());
}

TEST_F(BridgeRegisters, ConfigurationAndRegisterSpacesAreApart) {
  Plug();
  CW(0x3004, 6);
  RW(0x3004, 7);
  EXPECT_EQ(6u, CR(0x3004));
  EXPECT_EQ(7u, RR(0x3004));
  // The functions' identifiers are read-only.
  ULONG identifier = CR(0x2000);
  CW(0x2000, 0);
  EXPECT_EQ(identifier, CR(0x2000));
  EXPECT_NE(0u, identifier);
}

TEST_F(BridgeRegisters, IndexDataPairReachesTheBank) {
  Plug();
  const std::pair<ULONG, ULONG> pairs[] = {{0x32, 0x40}, {0x72, 0x41}, {0x04, 0x07},
                                           {0x04, 0x08}};
  for (const auto& [index, data] : pairs) {
    RW(0x30, index);
    RW(0x34, data);
  }
  EXPECT_EQ(0x40u, adapter_->BridgeIndexed(0x32));
  EXPECT_EQ(0x41u, adapter_->BridgeIndexed(0x72));
  EXPECT_EQ(0x08u, adapter_->BridgeIndexed(0x04));  // the later write wins
  RW(0x30, 0x72);
  EXPECT_EQ(0x41u, RR(0x34));
  EXPECT_EQ(0x72u, RR(0x30));
}

TEST_F(BridgeRegisters, SetLowAndSetHighKeepTheOtherHalf) {
  Plug();
  // The endpoint layout registers are read back and merged by the driver: they must hold.
  RW(0x520, (RR(0x520) & 0xFFFF0000) | 6 | 0x0200);
  RW(0x520, ((6 | 0x0240) << 16) | (RR(0x520) & 0xFFFF));
  EXPECT_EQ(0x02460206u, RR(0x520));
}

TEST_F(BridgeRegisters, FifoFlushRegistersCountFlushesAndDoNotStick) {
  Plug();
  for (ULONG n = 1; n <= 4; n++) {
    RW((USHORT)(0x30C + 0x20 * n), 0x200);
    RW((USHORT)(0x3CC + 0x20 * n), 0x200);
  }
  RW(0x32C, 0x100);  // not the flush bit
  for (int n = 1; n <= 4; n++) {
    EXPECT_EQ(1u, adapter_->FifoFlushes(n, false)) << n;
    EXPECT_EQ(1u, adapter_->FifoFlushes(n, true)) << n;
  }
  EXPECT_EQ(0u, RR(0x3EC));
}

TEST_F(BridgeRegisters, DmaBlocksAtBareOffsets) {
  Plug();
  RW(0x194, 0x30200000);
  RW(0x180, 0xC3);
  RW(0x1B0, 4096);
  RW(0x1A4, 1);
  EXPECT_EQ(0x30200000u, adapter_->Dma(1).window);
  EXPECT_EQ(0xC3u, adapter_->Dma(1).control);
  EXPECT_TRUE(adapter_->Dma(2).running);
  EXPECT_EQ(4096u, adapter_->Dma(2).remaining);
  EXPECT_EQ(1u, RR(0x1A4));
  RW(0x1A4, 2);  // stop, as after a failed write
  EXPECT_FALSE(adapter_->Dma(2).running);
  RW(0x1B0, 512);
  RW(0x1A4, 1);
  RW(0x1A0, 0);  // reset
  EXPECT_FALSE(adapter_->Dma(2).running);
  EXPECT_EQ(0u, RR(0x1B0));
}

TEST_F(BridgeRegisters, LogRecordsEveryOperationInOrder) {
  Plug();
  CW(0x3004, 6);
  RW(0x8C, 0x208);
  RR(0x90);
  CR(0x3004);
  std::vector<kxsim::AdapterOperation> log = adapter_->Log().Snapshot();
  EXPECT_EQ((std::vector<kxsim::AdapterOperation>{op::CW(0x3004, 6), op::RW(0x8C, 0x208),
                                                  op::RR(0x90), op::CR(0x3004)}),
            log);
  ASSERT_EQ(4u, log.size());
  EXPECT_EQ(0x1080u, log[2].value);  // what the read answered
  EXPECT_EQ(kxsim::AdapterPath::Bridge, log[2].Path());
  EXPECT_EQ((std::vector<std::string>{"CW 0x3004 := 0x6", "RW 0x8C := 0x208", "RR 0x90 -> 0x1080",
                                      "CR 0x3004 -> 0x6"}),
            adapter_->Log().Text(0, true));
  EXPECT_EQ(std::vector<std::string>{"CR 0x3004"}, adapter_->Log().Text(3));
}

class IdentitySwitch : public AdapterTest {};

TEST_F(IdentitySwitch, Bit9WithANewIdentityLeavesTheBus) {
  VirtualAdapterOptions options;
  options.firstStageImage = true;
  Plug(options);
  EXPECT_EQ(0x3380, adapter_->ProductId());
  EXPECT_EQ(0x33800525u, RR(0x84));
  RW(0x84, 0x33810525);
  EXPECT_FALSE(adapter_->LeftBus());
  ULONG control = RR(0x8C);
  RW(0x8C, control | 0x200);
  EXPECT_TRUE(adapter_->LeftBus());
  EXPECT_EQ(1u, adapter_->BusDepartures());

  // Gone: the bridge answers nothing more until it is back.
  std::vector<uint8_t> packet = {0xDF, 0, 0x90, 0};
  AsyncUrb command(Pdo());
  command.BuildBulk(Pipe(0x0D), packet.data(), 4, 0);
  ASSERT_EQ(STATUS_PENDING, command.Send());
  EXPECT_FALSE(command.Wait(100 * kMillisecond));
  port_->Unplug();
  ASSERT_TRUE(command.Wait());

  std::shared_ptr<kxsim::AdapterUsbDevice> device = adapter_->Reattach();
  EXPECT_EQ(0x3381, device->Options().idProduct);
  EXPECT_EQ(0x0525, device->Options().idVendor);
  EXPECT_FALSE(adapter_->LeftBus());
  EXPECT_EQ(device, adapter_->Device());
}

TEST_F(IdentitySwitch, Bit9AloneOnlySignalsResume) {
  Plug();
  RW(0x8C, 0x200);
  RW(0x84, 0x33810525);  // the identity it already has
  RW(0x8C, 0x208);
  EXPECT_FALSE(adapter_->LeftBus());
  EXPECT_EQ(0x8u, RR(0x8C));  // bit 9 does not stick
}

TEST_F(IdentitySwitch, ComesBackAtPowerOnWithItsMemory) {
  VirtualAdapterOptions options;
  options.firstStageImage = true;
  Plug(options);
  adapter_->SetConfigWord(60, 0x6060);
  RW(0x50, 0xB8);
  RW(0x3C, 0xFFE07531);
  RW(0x84, 0x70014B58);
  RW(0x8C, 0x200);
  port_->Unplug();
  port_.reset();
  device_ = adapter_->Reattach();
  port_ = std::make_unique<kxsim::SimulatedUsbPort>(device_);
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  std::vector<uint8_t> descriptor = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  ASSERT_EQ(18u, descriptor.size());
  EXPECT_EQ(0x4B58, descriptor[8] | descriptor[9] << 8);
  EXPECT_EQ(0x7001, descriptor[10] | descriptor[11] << 8);
  EXPECT_EQ(0xF0u, RR(0x50));
  EXPECT_EQ(0u, RR(0x3C));
  EXPECT_EQ(0x70014B58u, RR(0x84));
  EXPECT_EQ(kxsim::kFirstStageWord0, adapter_->ConfigWord(0));
  EXPECT_EQ(0x6060u, adapter_->ConfigWord(60));
  EXPECT_TRUE(adapter_->BridgeConfig(0x260) & 1u << 19);  // the boot loader's flag again
}

}  // namespace
}  // namespace kxtest
