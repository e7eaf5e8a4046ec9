// The driver's configuration-memory algorithms against the adapter's memory: word addressing, the
// third address byte, and a memory that stays busy.
#include "adapter_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterOperation;
using kxsim::AdapterSpace;
using kxsim::VirtualAdapterOptions;

class ConfigMemoryDriver : public DriverOnAdapterTest {
 protected:
  // The control-register writes of one operation that carry `command` in bits 13-15 (leaving out
  // the write that clears the stale flag, bit 19, which carries 3 there too).
  std::vector<ULONG> CommandsSince(size_t mark, ULONG command) {
    std::vector<ULONG> found;
    for (const AdapterOperation& op : adapter_->Log().Since(mark)) {
      if (op.space == AdapterSpace::BridgeConfig && op.write && op.address == 0x260 &&
          ((op.value >> 13) & 7) == command && (op.value & (1u << 19)) == 0) {
        found.push_back(op.value);
      }
    }
    return found;
  }
  bool TouchedThirdAddressByte(size_t mark) {
    for (const AdapterOperation& op : adapter_->Log().Since(mark)) {
      if (op.space == AdapterSpace::BridgeConfig && op.address == 0x26C) return true;
    }
    return false;
  }
};

TEST_F(ConfigMemoryDriver, WordIndexesUseFourteenBitsWithBitThirteenAtBitTwenty) {
  PlugWithRecord();
  adapter_->SetConfigWord(0x2000, 0x12345678);
  adapter_->SetConfigWord(0, 0xCAFEF00D);
  size_t mark = adapter_->Log().Size();
  ULONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 0x2000, &value));
  EXPECT_EQ(0x12345678u, value);
  std::vector<ULONG> reads = CommandsSince(mark, 3);
  ASSERT_EQ(1u, reads.size());
  EXPECT_EQ(0u, reads[0] & 0x1FFF);
  EXPECT_NE(0u, reads[0] & (1u << 20));

  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 0x4000, &value));  // only 14 bits count
  EXPECT_EQ(0xCAFEF00Du, value);
}

TEST_F(ConfigMemoryDriver, ThreeAddressBytesClearTheThirdByteBeforeReadsOnly) {
  VirtualAdapterOptions options;
  options.configMemory.addressWidthCode = 3;
  PlugWithRecord(options);
  ULONG value = 0;
  size_t mark = adapter_->Log().Size();
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 7, &value));
  EXPECT_TRUE(TouchedThirdAddressByte(mark));
  EXPECT_EQ(0u, adapter_->BridgeConfig(0x26C) & 0xFF);
  mark = adapter_->Log().Size();
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordWrite(bus_.get(), 7, 0x0BADF00D));
  EXPECT_FALSE(TouchedThirdAddressByte(mark));
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 7, &value));
  EXPECT_EQ(0x0BADF00Du, value);
}

TEST_F(ConfigMemoryDriver, AMemoryBusyForAHundredRoundsFailsWritesToo) {
  PlugWithRecord();
  adapter_->HoldConfigBusy(1000);
  size_t mark = adapter_->Log().Size();
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ConfigWordWrite(bus_.get(), 3, 1));
  EXPECT_TRUE(CommandsSince(mark, 6).empty());  // no write enable was issued
  EXPECT_TRUE(CommandsSince(mark, 2).empty());
  EXPECT_EQ(100u, CommandsSince(mark, 5).size());
}

// A command the bridge takes but never carries out: the read that follows it would find the data
// register still holding the word read before, so the operation fails instead of answering it.
TEST_F(ConfigMemoryDriver, ACommandThatNeverCompletesFailsTheOperation) {
  PlugWithRecord();
  adapter_->SetConfigWord(5, 0x55555555);
  adapter_->SetConfigWord(6, 0x66666666);
  ULONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 5, &value));
  adapter_->StickConfigCommand(3, 100);
  value = 0x1234;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ConfigWordRead(bus_.get(), 6, &value));
  EXPECT_EQ(0x1234u, value);
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordRead(bus_.get(), 6, &value));  // the memory is fine after
  EXPECT_EQ(0x66666666u, value);

  // Write enable never confirmed: the write command is not even given.
  adapter_->StickConfigCommand(6, 100);
  size_t mark = adapter_->Log().Size();
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ConfigWordWrite(bus_.get(), 6, 0xABCD));
  EXPECT_TRUE(CommandsSince(mark, 2).empty());
  // The write command itself never confirmed.
  adapter_->StickConfigCommand(2, 100);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ConfigWordWrite(bus_.get(), 6, 0xABCD));
  EXPECT_EQ(0x66666666u, adapter_->ConfigWord(6));
  ASSERT_EQ(STATUS_SUCCESS, ConfigWordWrite(bus_.get(), 6, 0xABCD));
  EXPECT_EQ(0xABCDu, adapter_->ConfigWord(6));
}

}  // namespace
}  // namespace kxtest
