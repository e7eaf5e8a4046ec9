// The internal bus behind the bridge, as the internal bus path (endpoints 0x0E/0x8E) reaches it.
//
// Topology: the bridge's own link is bus 2. On the extended generation the bus switch's upstream
// port is bus 2 device 0 and the far-side chip sits behind its downstream port (bus 3 device 2),
// on bus 4 device 0 once the driver has numbered the buses. On the legacy and basic generations
// there is no switch: the far-side chip is bus 2 device 0. Every device has function 0 only.
//
// Configuration transactions: one with the type flag clear reaches a device on bus 2 only; one
// with the flag set is forwarded by the switch (see bus_switch.h). Memory transactions reach the
// far-side chip's BARs, through the switch's windows where there is a switch; within BAR0 the
// DMA blocks and FIFO flush registers go to the bridge's data path.
//
// A transaction nothing claims ends as on real buses: a write is lost and a read answers all ones.
#pragma once

#include "sim/adapter/bus_switch.h"
#include "sim/adapter/command_packets.h"
#include "sim/adapter/data_path.h"
#include "sim/adapter/far_side_chip.h"

namespace kxsim {

class InternalBus {
 public:
  InternalBus(const VirtualAdapterOptions& options, BusSwitch* busSwitch, FarSideChip* farSide,
              DataPath* dataPath);

  // Each returns whether a device claimed the transaction.
  bool ConfigRead(const ConfigAddress& address, ULONG* value);
  bool ConfigWrite(const ConfigAddress& address, ULONG value);
  bool MemoryRead(ULONG address, ULONG* value);
  bool MemoryWrite(ULONG address, ULONG value);

 private:
  PciFunction* Route(const BusLocation& location) const;
  std::optional<FarSideAddress> DecodeMemory(ULONG address) const;

  const bool hasSwitch_;
  BusSwitch* const switch_;
  FarSideChip* const farSide_;
  DataPath* const dataPath_;
};

}  // namespace kxsim
