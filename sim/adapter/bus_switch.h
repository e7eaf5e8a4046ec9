// The bus switch of the extended generation, between the bridge and the far-side chip: its
// upstream port is bus 2 device 0, its downstream port bus 3 device 2, and the far-side chip sits
// on the downstream port's bus (bus 4 once the driver has numbered the buses).
//
// Both ports are bridges with the standard type-1 header. What the switch forwards follows what
// the driver programmed into them, as on real hardware:
//   - register 0x18 holds the primary (byte 0), secondary (byte 1) and subordinate (byte 2) bus
//     numbers: a type-1 configuration transaction for the upstream port's secondary bus reaches
//     the devices on it (the downstream port); one for a bus above that, up to the subordinate,
//     goes on through the downstream port whose secondary bus it names;
//   - register 0x20 holds the memory base (bits 4-15: address bits 20-31) and limit (bits 20-31):
//     a memory transaction goes through when it lies in both ports' windows and both ports have
//     memory decoding enabled (command bit 1).
// At power-on every bus number and window is 0, so nothing behind the switch is reachable.
#pragma once

#include "sim/adapter/pci_function.h"

namespace kxsim {

class BusSwitchPort : public PciFunction {
 public:
  BusSwitchPort();
  UCHAR SecondaryBus() const { return (UCHAR)(config_.Read(0x18) >> 8); }
  UCHAR SubordinateBus() const { return (UCHAR)(config_.Read(0x18) >> 16); }
  bool ForwardsMemory(ULONG address) const;
};

class BusSwitch {
 public:
  static constexpr UCHAR kUpstreamBus = 2;
  static constexpr UCHAR kUpstreamDevice = 0;
  static constexpr UCHAR kDownstreamDevice = 2;

  BusSwitchPort& Upstream() { return upstream_; }
  BusSwitchPort& Downstream() { return downstream_; }
  const BusSwitchPort& Upstream() const { return upstream_; }
  const BusSwitchPort& Downstream() const { return downstream_; }

  bool ForwardsMemory(ULONG address) const {
    return upstream_.ForwardsMemory(address) && downstream_.ForwardsMemory(address);
  }
  void PowerOn();

 private:
  BusSwitchPort upstream_;
  BusSwitchPort downstream_;
};

}  // namespace kxsim
