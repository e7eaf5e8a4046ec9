// Tests of the virtual adapter talk to it through the simulated USB stack: command packets on the
// register pipes built byte by byte as the wire format has them, data on the data pipes. A second
// fixture adds a bare adapter record so the driver's own register and data-channel operations can
// run against the model.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "driver/kxbus.h"
#include "sim/adapter/virtual_adapter.h"
#include "sim_usb_test_util.h"

namespace kxtest {

// What a far-side location is called in the tests.
constexpr kxsim::BusLocation kSwitchUp = {2, 0, 0, false};
constexpr kxsim::BusLocation kSwitchDown = {3, 2, 0, true};
constexpr kxsim::BusLocation kFarSide = {4, 0, 0, true};

class AdapterTest : public UsbPortTest {
 protected:
  void TearDown() override {
    UsbPortTest::TearDown();
    adapter_.reset();
  }

  // Builds the adapter, plugs it into a port and selects its configuration.
  void Plug(kxsim::VirtualAdapterOptions options = {});

  // Bridge register path.
  NTSTATUS SendBridgeCommand(const std::vector<uint8_t>& packet);
  ULONG BridgeRead(UCHAR command, USHORT reg);
  void BridgeWrite(UCHAR command, USHORT reg, ULONG value);
  ULONG RR(USHORT reg) { return BridgeRead(0xDF, reg); }
  void RW(USHORT reg, ULONG value) { BridgeWrite(0x5F, reg, value); }
  ULONG CR(USHORT reg) { return BridgeRead(0xCF, reg); }
  void CW(USHORT reg, ULONG value) { BridgeWrite(0x4F, reg, value); }

  // Internal bus path.
  NTSTATUS SendBusCommand(const std::vector<uint8_t>& packet);
  ULONG MR(ULONG address);
  void MW(ULONG address, ULONG value);
  ULONG PR(kxsim::BusLocation location, USHORT offset);
  void PW(kxsim::BusLocation location, USHORT offset, ULONG value);
  static ULONG ConfigAddressWord(kxsim::BusLocation location, USHORT offset);

  // Maps the far-side chip the way the full initialisation does: bus numbers and windows of the
  // switch, the far-side chip's command register and BARs.
  void MapFarSide();

  // A 4-byte result on `endpoint`, waited for; the status when it fails.
  std::vector<uint8_t> ReadIn(UCHAR endpoint, ULONG length, NTSTATUS* status = nullptr);
  NTSTATUS WriteOut(UCHAR endpoint, std::vector<uint8_t> bytes);

  std::shared_ptr<kxsim::VirtualAdapter> adapter_;
};

// AdapterTest with a bare adapter record, started, whose pipes, locks and request counter are
// those the driver's register and data-channel operations use; nothing else of the record is set.
class DriverOnAdapterTest : public AdapterTest {
 protected:
  void TearDown() override {
    if (bus_ != nullptr) UsbFreeSpareTransfer(bus_.get());  // what a removal frees
    bus_.reset();
    AdapterTest::TearDown();
  }
  void PlugWithRecord(kxsim::VirtualAdapterOptions options = {});

  std::unique_ptr<BusDeviceContext> bus_;
};

// Little-endian bytes of a word.
std::vector<uint8_t> Le32(ULONG value);
std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts);

// A baseline JPEG of `width` x `height` pixels coloured by `color` (0xRRGGBB), from libjpeg.
std::vector<uint8_t> EncodeTestJpeg(unsigned width, unsigned height,
                                    const std::function<ULONG(unsigned x, unsigned y)>& color,
                                    int quality = 95);

}  // namespace kxtest
