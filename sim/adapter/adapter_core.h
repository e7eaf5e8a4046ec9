// Everything behind the adapter's endpoints, and how each endpoint's transfers reach it:
//   0x0D/0x8D  bridge register path: command packets in, 4-byte results out (bridge_chip.h)
//   0x0E/0x8E  internal bus path: command packets in, 4-byte results out (internal_bus.h)
//   0x01       data channel 1 out: command blocks and frame payloads (command_block_receiver.h)
//   0x02-0x04  data channels 2-4 out: test data, kept per transfer
//   0x81-0x84  data IN endpoints, some fed by DMA engines (data_path.h); channel 1 in carries the
//              far side's announcements (far_side_announcer.h)
// A malformed command packet stalls its endpoint. Results come back in the order of the commands
// that asked for them. Every register and memory operation goes to the log.
//
// One lock guards all of it; no call made under it waits. Handlers belong to one attachment of
// the adapter to the bus: once the bridge has left the bus, transfers of the old attachment are
// not answered (the USB stack fails them when the port notices the device gone).
//
// Internal to the virtual adapter: tests use virtual_adapter.h.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "sim/adapter/bridge_chip.h"
#include "sim/adapter/command_block_receiver.h"
#include "sim/adapter/far_side_announcer.h"
#include "sim/adapter/internal_bus.h"
#include "sim/adapter/operation_log.h"

namespace kxsim {

class AdapterCore {
 public:
  explicit AdapterCore(const VirtualAdapterOptions& options);

  void Transfer(ULONG attachment, UCHAR endpoint, const std::shared_ptr<UsbTransfer>& transfer);
  void TransferCancelled(ULONG attachment, UCHAR endpoint,
                         const std::shared_ptr<UsbTransfer>& transfer);

  // Back on the bus after leaving it: the chips at power-on, enumerated as `identity`; the
  // configuration memory, the far-side displays and the log keep what they hold.
  void PowerOnLocked(ULONG identity);
  // Wakes WaitUntil callers; called after every change.
  void Signal();

  const VirtualAdapterOptions options;
  std::mutex lock;
  OperationLog log;  // locked on its own: readable while a transfer is handled
  ConfigMemory configMemory;
  DataPath dataPath;
  BridgeChip bridge;
  BusSwitch busSwitch;
  FarSideChip farSide;
  InternalBus internalBus;
  FarDisplays displays;
  ProtocolViolations violations;
  CommandBlockReceiver channel1;
  FarSideAnnouncer announcer;
  InEndpoint bridgeResults;
  InEndpoint busResults;
  std::map<UCHAR, std::vector<std::vector<uint8_t>>> received;  // OUT endpoints 0x02-0x04
  ULONG malformedCommands = 0;
  ULONG attachment = 0;
  bool leftBus = false;
  ULONG busDepartures = 0;
  std::function<void()> leaveHandler;
  KEVENT activity;  // notification event, set on every change

 private:
  // Each returns true when the bridge leaves the bus.
  bool BridgeCommandLocked(const std::shared_ptr<UsbTransfer>& transfer);
  void BusCommandLocked(const std::shared_ptr<UsbTransfer>& transfer);
  void BusConfigLocked(bool read, ULONG addressWord, ULONG value);
  void OutLocked(UCHAR endpoint, const std::shared_ptr<UsbTransfer>& transfer);
  InEndpoint* InEndpointOf(UCHAR endpoint);
  void Refuse(const std::shared_ptr<UsbTransfer>& transfer);
  static std::vector<uint8_t> Bytes(const UsbTransfer& transfer);
  static std::vector<uint8_t> Result(ULONG value);
};

}  // namespace kxsim
