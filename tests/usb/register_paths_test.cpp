// The bridge register and internal bus paths and the data channels, byte for byte against the
// adapter's endpoints.
#include <gtest/gtest.h>

#include <vector>

#include "usb_adapter_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kxtest::UsbAdapterFixture;

class RegisterPaths : public UsbAdapterFixture {
 protected:
  void SetUp() override {
    UsbAdapterFixture::SetUp();
    Start();
  }
  Bytes Sent(UCHAR endpoint) {
    auto packets = Script(endpoint)->TakeReceived();
    EXPECT_EQ(1u, packets.size()) << "on endpoint " << std::hex << (int)endpoint;
    return packets.empty() ? Bytes{} : packets[0];
  }
};

TEST_F(RegisterPaths, CommandPacketsAreByteExact) {
  EXPECT_EQ(STATUS_SUCCESS, BridgeRegWrite(bus_, 0x8C, 0x00000208));
  EXPECT_EQ(Bytes({0x5F, 0, 0x8C, 0, 0x08, 0x02, 0, 0}), Sent(0x0D));

  Script(0x8D)->QueueIn({1, 2, 3, 4});
  ULONG value = 0;
  EXPECT_EQ(STATUS_SUCCESS, BridgeConfigRead(bus_, 0x3004, &value));
  EXPECT_EQ(Bytes({0xCF, 0, 0x04, 0x30}), Sent(0x0D));
  EXPECT_EQ(0x04030201u, value);

  Script(0x8E)->QueueIn({0x78, 0x56, 0x34, 0x12});
  EXPECT_EQ(0x12345678u, PciConfigRead(bus_, 0x10));
  EXPECT_EQ(Bytes({0xEF, 0, 0, 1, 0x02, 0, 0, 0x10}), Sent(0x0E));

  EXPECT_TRUE(PciConfigWrite(bus_, 0x104, 1));
  EXPECT_EQ(Bytes({0x6F, 0, 0, 1, 0x02, 0, 0x01, 0x04, 1, 0, 0, 0}), Sent(0x0E));

  PciLocation location = {2, 0, 2, 1};
  Script(0x8E)->QueueIn({0, 0, 0, 0});
  PciConfigReadAt(bus_, &location, 0x18);
  EXPECT_EQ(Bytes({0xEF, 0, 0, 1, 0x02, 0x10, 0x00, 0x19}), Sent(0x0E));

  EXPECT_TRUE(PciMemWrite(bus_, 0x30000184, 0xAABBCCDD));
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0x84, 0x01, 0, 0x30, 0xDD, 0xCC, 0xBB, 0xAA}), Sent(0x0E));
}

TEST_F(RegisterPaths, AFailedCommandMakesNoReceiveAndChangesNothing) {
  Script(0x8E)->QueueIn({9, 9, 9, 9});
  port_->InjectFault(0x0E, kxsim::UsbFault::Stall());
  EXPECT_EQ(0u, PciMemRead(bus_, 0x30000090));
  EXPECT_EQ(1u, Script(0x8E)->QueuedInCount());  // the answer was never asked for

  Script(0x8D)->QueueIn({9, 9, 9, 9});
  port_->InjectFault(0x0D, kxsim::UsbFault::Stall());
  ULONG value = 0x55;
  EXPECT_FALSE(NT_SUCCESS(BridgeRegRead(bus_, 0x90, &value)));
  EXPECT_EQ(0x55u, value);
  // A read-modify-write whose read fails writes nothing.
  port_->InjectFault(0x0D, kxsim::UsbFault::Stall());
  Script(0x0D)->TakeReceived();
  BridgeRegSetLow(bus_, 0x50, 1, 2);
  EXPECT_EQ(0u, Script(0x0D)->ReceivedCount());
}

TEST_F(RegisterPaths, ReadModifyWriteHelpersKeepTheOtherHalf) {
  Script(0x8D)->QueueIn({0x11, 0x22, 0x33, 0x44});
  BridgeRegSetHigh(bus_, 0x50, 0x0100, 0x0002);
  auto packets = Script(0x0D)->TakeReceived();
  ASSERT_EQ(2u, packets.size());
  EXPECT_EQ(Bytes({0x5F, 0, 0x50, 0, 0x11, 0x22, 0x02, 0x01}), packets[1]);
  Script(0x8D)->QueueIn({0x11, 0x22, 0x33, 0x44});
  BridgeRegSetLowIndexed(bus_, 2, 0x0100, 0x0002);
  packets = Script(0x0D)->TakeReceived();
  ASSERT_EQ(2u, packets.size());
  EXPECT_EQ(Bytes({0xDF, 0, 0x60, 0x05}), packets[0]);  // 0x520 + 0x20 * 2
  EXPECT_EQ(Bytes({0x5F, 0, 0x60, 0x05, 0x02, 0x01, 0x33, 0x44}), packets[1]);
}

TEST_F(RegisterPaths, DataChannelReadsProgramCountThenStart) {
  Script(0x82)->QueueIn(Bytes(1024, 0xA5));
  std::vector<UCHAR> buffer(1024);
  EXPECT_EQ(STATUS_SUCCESS, ReadChannel2(bus_, buffer.data(), 1024));
  auto commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(2u, commands.size());
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0xB0, 0x01, 0, 0x30, 0x00, 0x04, 0, 0}), commands[0]);
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0xA4, 0x01, 0, 0x30, 1, 0, 0, 0}), commands[1]);
  EXPECT_EQ(0xA5, buffer[1023]);
  EXPECT_EQ(0u, bus_->ErrorCode);

  // The basic generation programs channel 1 at its own window; a legacy one reads 0x82 directly.
  Script(0x81)->QueueIn(Bytes(16, 1));
  EXPECT_EQ(STATUS_SUCCESS, ReadChannel1Low(bus_, buffer.data(), 16));
  commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(2u, commands.size());
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0x90, 0x01, 0x10, 0x00, 16, 0, 0, 0}), commands[0]);
}

// "Legacy" is read before the configuration, as a start does: the data pipes are then never
// recorded, and every channel route refuses before it starts an engine or builds a URB.
TEST_F(RegisterPaths, ALegacyAdapterHasNoDataChannelToUse) {
  bus_->Legacy = 1;
  ASSERT_EQ(STATUS_SUCCESS, ConfigureDevice(fdo_));
  ASSERT_EQ(nullptr, bus_->PipeDataIn2);
  ULONG urbsBefore = port_->Counters().urbs;
  std::vector<UCHAR> buffer(16);
  using Route = NTSTATUS (*)(BusDeviceContext*, PVOID, ULONG);
  Route read1 = [](BusDeviceContext* bus, PVOID to, ULONG n) { return ReadChannel1(bus, to, n); };
  Route read1Low = [](BusDeviceContext* bus, PVOID to, ULONG n) {
    return ReadChannel1Low(bus, to, n);
  };
  Route write1 = [](BusDeviceContext* bus, PVOID from, ULONG n) {
    return WriteChannel1(bus, from, n);
  };
  Route write1Low = [](BusDeviceContext* bus, PVOID from, ULONG n) {
    return WriteChannel1Low(bus, from, n);
  };
  for (Route route : {read1, read1Low, ReadChannel1Async, ReadChannel1AsyncLow,
                      ReadChannel2, ReadChannel3, ReadChannel4, write1, write1Low,
                      WriteChannel2, WriteChannel3, WriteChannel4}) {
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, route(bus_, buffer.data(), 16));
  }
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            UsbDoDataTransfer(bus_, nullptr, buffer.data(), 16, kTransferIn));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            UsbDoBulkTransferAsync(bus_, nullptr, buffer.data(), 16, kTransferIn));
  EXPECT_EQ(urbsBefore, port_->Counters().urbs);
  EXPECT_EQ(0u, Script(0x0E)->ReceivedCount());  // no engine was started
  EXPECT_EQ(1, bus_->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus_->AsyncIdleEvent));
}

TEST_F(RegisterPaths, FailuresSetTheChannelsErrorBitButATimeOutDoesNot) {
  std::vector<UCHAR> buffer(64);
  port_->InjectFault(0x84, kxsim::UsbFault::NoAnswer().Times(1));
  EXPECT_EQ(STATUS_TIMEOUT, ReadChannel4(bus_, buffer.data(), 64));
  EXPECT_EQ(0u, bus_->ErrorCode);
  port_->InjectFault(0x84, kxsim::UsbFault::Stall());
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ReadChannel4(bus_, buffer.data(), 64));
  EXPECT_EQ(0x40u, bus_->ErrorCode);
  port_->InjectFault(0x03, kxsim::UsbFault::Stall());
  EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteChannel3(bus_, buffer.data(), 64));
  EXPECT_EQ(0x60u, bus_->ErrorCode);
  auto written =
      hostk::RegistryGetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters\\0000", "ErrorCode");
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(Bytes({0x60, 0, 0, 0}), written->data);
}

TEST_F(RegisterPaths, FifoAndDmaHelpersRefuseIndexFourAndSendNothing) {
  EXPECT_EQ(STATUS_UNSUCCESSFUL, FlushChannelFifo(bus_, 4, TRUE));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, FlushChannelFifoWindow(bus_, 4, FALSE));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, ResetChannelDma(bus_, 4));
  EXPECT_EQ(0u, Script(0x0D)->ReceivedCount() + Script(0x0E)->ReceivedCount());
  EXPECT_EQ(STATUS_SUCCESS, FlushChannelFifo(bus_, 3, TRUE));
  EXPECT_EQ(Bytes({0x5F, 0, 0x4C, 0x04, 0, 0x02, 0, 0}), Sent(0x0D));  // 0x44C
  EXPECT_EQ(STATUS_SUCCESS, ResetAllChannels(bus_));
  auto commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(12u, commands.size());
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0x80, 0x01, 0, 0x30, 0, 0, 0, 0}), commands[0]);
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0x2C, 0x03, 0, 0x30, 0, 0x02, 0, 0}), commands[4]);  // 0x32C
}

// A result is four bytes the device sent: fewer, or a URB the stack failed under a successful
// request, is never a register value.
TEST_F(RegisterPaths, AShortOrFailedResultIsNeverTakenForAValue) {
  ULONG value = 0x55;
  Script(0x8D)->QueueIn({0x11, 0x22});
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, BridgeRegRead(bus_, 0x90, &value));
  EXPECT_EQ(0x55u, value);
  Script(0x8D)->QueueIn({0x11, 0x22, 0x33, 0x44});
  port_->InjectFault(0x8D, kxsim::UsbFault::Contradict(STATUS_SUCCESS, USBD_STATUS_STALL_PID));
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, BridgeConfigRead(bus_, 0x90, &value));
  EXPECT_EQ(0x55u, value);
  EXPECT_EQ(1u, device_->ResetCount(0x8D));  // the halted result pipe was reset all the same

  Script(0x8E)->QueueIn({0x11, 0x22, 0x33});
  EXPECT_EQ(0u, PciMemRead(bus_, 0x30000090));
  // The receive fails after two bytes: not the half word that arrived.
  Script(0x8E)->QueueIn({0x11, 0x22, 0x33, 0x44});
  port_->InjectFault(0x8E, kxsim::UsbFault::FailAfter(2));
  EXPECT_EQ(0u, PciMemRead(bus_, 0x30000090));
  ASSERT_EQ(STATUS_SUCCESS, UsbResetPipe(bus_, bus_->PipePciIn));
  EXPECT_EQ(0u, PciConfigRead(bus_, 0x10));  // the two bytes left of that answer: short again

  // The bridge path still works afterwards, and answers with its own result: the answer the
  // failed transfer never took was read out of the device, not left for this read.
  Script(0x8D)->QueueIn({0x55, 0x66, 0x77, 0x88});
  EXPECT_EQ(STATUS_SUCCESS, BridgeRegRead(bus_, 0x90, &value));
  EXPECT_EQ(0x88776655u, value);
}

// A read-modify-write whose read fails writes nothing on either path: a value built from 0
// would wipe the other half of the register, or every bit but those set.
TEST_F(RegisterPaths, ReadModifyWriteAfterAFailedReadWritesNothing) {
  Script(0x0E)->TakeReceived();
  port_->InjectFault(0x8E, kxsim::UsbFault::Stall());
  PciMemSetLow(bus_, 0x50, 1, 2);
  auto commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(1u, commands.size());  // the read command only
  EXPECT_EQ(0xCF, commands[0][0]);
  ASSERT_EQ(STATUS_SUCCESS, UsbResetPipe(bus_, bus_->PipePciIn));
  port_->InjectFault(0x8E, kxsim::UsbFault::Stall());
  PciMemSetBits(bus_, 0x3000008C, 0x8);
  commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(1u, commands.size());
  EXPECT_EQ(0xCF, commands[0][0]);
  ASSERT_EQ(STATUS_SUCCESS, UsbResetPipe(bus_, bus_->PipePciIn));
  Script(0x8E)->QueueIn({0x01, 0x22, 0x33, 0x44});
  PciMemSetBits(bus_, 0x3000008C, 0x8);
  commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(2u, commands.size());
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0x8C, 0, 0, 0x30, 0x09, 0x22, 0x33, 0x44}), commands[1]);
  Script(0x8E)->QueueIn({0x11, 0x22, 0x33, 0x44});
  PciMemSetLow(bus_, 0x50, 0x0100, 0x0002);
  commands = Script(0x0E)->TakeReceived();
  ASSERT_EQ(2u, commands.size());
  EXPECT_EQ(Bytes({0x4F, 0, 0, 1, 0x50, 0, 0, 0x30, 0x02, 0x01, 0x33, 0x44}), commands[1]);
}

// Above passive level neither path may wait for its lock: it refuses at once.
TEST_F(RegisterPaths, CallsAboveIrqlPassiveAreRefusedBeforeTheLock) {
  ULONG value = 0x55;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  NTSTATUS read = BridgeRegRead(bus_, 0x90, &value);
  NTSTATUS write = BridgeRegWrite(bus_, 0x90, 1);
  ULONG word = PciMemRead(bus_, 0x30000090);
  BOOLEAN written = PciMemWrite(bus_, 0x30000090, 1);
  KeLowerIrql(irql);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, read);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, write);
  EXPECT_EQ(0x55u, value);
  EXPECT_EQ(0u, word);
  EXPECT_FALSE(written);
  EXPECT_EQ(0u, Script(0x0D)->ReceivedCount() + Script(0x0E)->ReceivedCount());
}

// Every read command on the register path is answered with the register's own number, so a read
// that received another thread's answer shows.
TEST_F(RegisterPaths, ConcurrentReadsAlwaysGetTheirOwnResults) {
  device_->SetHandler(0x0D, [this](const std::shared_ptr<kxsim::UsbTransfer>& transfer) {
    const UCHAR* packet = transfer->Buffer();
    if (transfer->Length() >= 4 && (packet[0] & 0x80)) {
      Script(0x8D)->QueueIn({packet[2], packet[3], 0, 0});
    }
    transfer->Complete(transfer->Length());
  });
  LONG mismatches = 0;
  auto reader = [&](USHORT first) {
    for (USHORT reg = first; reg < first + 40; reg++) {
      ULONG value = 0;
      if (!NT_SUCCESS(BridgeRegRead(bus_, reg, &value)) || value != reg) {
        InterlockedIncrement(&mismatches);
      }
    }
  };
  {
    kxtest::SystemThread a([&] { reader(0x100); });
    kxtest::SystemThread b([&] { reader(0x200); });
    kxtest::SystemThread c([&] { reader(0x300); });
  }
  EXPECT_EQ(0, mismatches);
}

}  // namespace
