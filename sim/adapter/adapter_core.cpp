// Transfers to the adapter's endpoints, handed to its chips.
#include "sim/adapter/adapter_core.h"

#include "host/hostk.h"

namespace kxsim {
namespace {

constexpr UCHAR kBridgeOut = 0x0D;
constexpr UCHAR kBridgeIn = 0x8D;
constexpr UCHAR kBusOut = 0x0E;
constexpr UCHAR kBusIn = 0x8E;
constexpr UCHAR kChannel1Out = 0x01;

int Channel1InEndpoint(const VirtualAdapterOptions& options) {
  return !options.Extended() && options.legacy ? 2 : 1;
}

}  // namespace

AdapterCore::AdapterCore(const VirtualAdapterOptions& adapterOptions)
    : options(adapterOptions),
      configMemory(options),
      dataPath(options),
      bridge(options, &configMemory, &dataPath),
      farSide(options),
      internalBus(options, &busSwitch, &farSide, &dataPath),
      channel1(&displays, &violations, options.decodeFrames) {
  KeInitializeEvent(&activity, NotificationEvent, FALSE);
  announcer.Attach(&dataPath.In(Channel1InEndpoint(options)));
  dataPath.SetOutFlushHandler([this](int channel) {
    if (channel == 1) channel1.Flush();
  });
  PowerOnLocked((ULONG)options.PowerOnProductId() << 16 | options.vendorWord);
}

void AdapterCore::PowerOnLocked(ULONG identity) {
  configMemory.PowerOn();
  dataPath.PowerOn();
  bridge.PowerOn(identity);
  busSwitch.PowerOn();
  farSide.PowerOn();
  bridgeResults.Clear();
  busResults.Clear();
  channel1.Flush();
  attachment++;
  leftBus = false;
}

void AdapterCore::Signal() { KeSetEvent(&activity, IO_NO_INCREMENT, FALSE); }

std::vector<uint8_t> AdapterCore::Bytes(const UsbTransfer& transfer) {
  return std::vector<uint8_t>(transfer.Buffer(), transfer.Buffer() + transfer.Length());
}

std::vector<uint8_t> AdapterCore::Result(ULONG value) {
  return {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}

void AdapterCore::Refuse(const std::shared_ptr<UsbTransfer>& transfer) {
  malformedCommands++;
  transfer->Fail(USBD_STATUS_STALL_PID);
}

InEndpoint* AdapterCore::InEndpointOf(UCHAR endpoint) {
  if (endpoint == kBridgeIn) return &bridgeResults;
  if (endpoint == kBusIn) return &busResults;
  if (endpoint >= 0x81 && endpoint <= 0x84) return &dataPath.In(endpoint & 0x0F);
  return nullptr;
}

void AdapterCore::Transfer(ULONG owner, UCHAR endpoint,
                           const std::shared_ptr<UsbTransfer>& transfer) {
  bool leave = false;
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (owner != attachment || leftBus) return;
    if (endpoint == kBridgeOut) {
      leave = BridgeCommandLocked(transfer);
    } else if (endpoint == kBusOut) {
      BusCommandLocked(transfer);
    } else if (InEndpoint* in = InEndpointOf(endpoint)) {
      in->Arrive(transfer);
    } else {
      OutLocked(endpoint, transfer);
    }
    if (leave) {
      leftBus = true;
      busDepartures++;
      handler = leaveHandler;
    }
  }
  Signal();
  if (handler) handler();
}

void AdapterCore::TransferCancelled(ULONG owner, UCHAR endpoint,
                                    const std::shared_ptr<UsbTransfer>& transfer) {
  std::lock_guard<std::mutex> guard(lock);
  if (owner != attachment) return;
  if (InEndpoint* in = InEndpointOf(endpoint)) in->Cancelled(transfer);
}

bool AdapterCore::BridgeCommandLocked(const std::shared_ptr<UsbTransfer>& transfer) {
  std::optional<BridgeCommand> command = DecodeBridgeCommand(Bytes(*transfer));
  if (!command) {
    Refuse(transfer);
    return false;
  }
  // A command the stack ended before the bridge took it never happened.
  if (!transfer->Complete(transfer->Length())) return false;
  AdapterOperation operation;
  operation.space = command->registerSpace ? AdapterSpace::BridgeRegister
                                           : AdapterSpace::BridgeConfig;
  operation.write = !command->read;
  operation.address = command->reg;
  operation.value = command->value;
  bool leave = false;
  if (command->read) {
    operation.value = command->registerSpace ? bridge.RegRead(command->reg)
                                             : bridge.ConfigRead(command->reg);
    bridgeResults.Queue(Result(operation.value));
  } else if (command->registerSpace) {
    leave = bridge.RegWrite(command->reg, command->value);
  } else {
    bridge.ConfigWrite(command->reg, command->value);
  }
  log.Append(operation);
  return leave;
}

void AdapterCore::BusCommandLocked(const std::shared_ptr<UsbTransfer>& transfer) {
  std::optional<BusCommand> command = DecodeBusCommand(Bytes(*transfer));
  if (!command || (command->configuration && !DecodeConfigAddress(command->address))) {
    Refuse(transfer);
    return;
  }
  if (!transfer->Complete(transfer->Length())) return;
  if (command->configuration) {
    BusConfigLocked(command->read, command->address, command->value);
    return;
  }
  AdapterOperation operation;
  operation.space = AdapterSpace::BusMemory;
  operation.write = !command->read;
  operation.address = command->address;
  operation.value = command->value;
  if (command->read) {
    operation.claimed = internalBus.MemoryRead(command->address, &operation.value);
    busResults.Queue(Result(operation.value));
  } else {
    operation.claimed = internalBus.MemoryWrite(command->address, command->value);
  }
  log.Append(operation);
}

void AdapterCore::BusConfigLocked(bool read, ULONG addressWord, ULONG value) {
  ConfigAddress address = *DecodeConfigAddress(addressWord);
  AdapterOperation operation;
  operation.space = AdapterSpace::BusConfig;
  operation.write = !read;
  operation.address = address.offset;
  operation.location = address.location;
  operation.value = value;
  if (read) {
    operation.claimed = internalBus.ConfigRead(address, &operation.value);
    busResults.Queue(Result(operation.value));
  } else {
    operation.claimed = internalBus.ConfigWrite(address, value);
  }
  log.Append(operation);
}

void AdapterCore::OutLocked(UCHAR endpoint, const std::shared_ptr<UsbTransfer>& transfer) {
  std::vector<uint8_t> bytes = Bytes(*transfer);
  if (!transfer->Complete(transfer->Length())) return;
  if (endpoint == kChannel1Out) {
    channel1.Receive(bytes.data(), bytes.size());
  } else {
    received[endpoint].push_back(std::move(bytes));
  }
}

}  // namespace kxsim
