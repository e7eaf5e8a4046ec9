// The virtual adapter: the bridge chip, its configuration memory, the internal bus with the bus
// switch and the far-side chip, the DMA engines and data channels, and the far-side displays,
// behind the endpoints of an AdapterUsbDevice. Put Device() on a SimulatedUsbPort (or use an
// AdapterPort, which also carries the adapter through its identity switch) and the driver talks
// to it as to the hardware.
//
// What a test reads: the log of every register and memory operation (Log()), the chips' state
// (without logging), the configuration memory, the DMA engines, what arrived on the data channels,
// the far-side displays with their frame buffers and the protocol violations counted on channel 1.
// What a test does: queue data on IN endpoints, announce far-side displays, hold the configuration
// memory busy, and wait (a kernel wait, so virtual time moves) until a condition holds.
//
// All calls are thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "sim/adapter/adapter_core.h"

namespace kxsim {

class VirtualAdapter {
 public:
  explicit VirtualAdapter(VirtualAdapterOptions options = {});
  ~VirtualAdapter();
  VirtualAdapter(const VirtualAdapter&) = delete;
  VirtualAdapter& operator=(const VirtualAdapter&) = delete;

  const VirtualAdapterOptions& Options() const { return core_->options; }
  // The USB device of the current attachment; a new one after each identity switch.
  std::shared_ptr<AdapterUsbDevice> Device() const;
  USHORT VendorId() const;
  USHORT ProductId() const;

  // ---- The operation log.
  OperationLog& Log() { return core_->log; }
  const OperationLog& Log() const { return core_->log; }

  // ---- Chip state, read without logging and without side effects.
  ULONG BridgeRegister(ULONG reg) const;
  ULONG BridgeConfig(ULONG reg) const;
  ULONG BridgeIndexed(ULONG index) const;
  // A far-side register (offset within the window), configuration register or memory word.
  ULONG FarSideRegister(ULONG offset) const;
  ULONG FarSideConfig(ULONG offset) const;
  ULONG FarSideIndexed(ULONG index) const;
  ULONG FarSideMemory(int bar, ULONG offset) const;
  // 0: the switch's upstream port, 1: its downstream port.
  ULONG SwitchConfig(int port, ULONG offset) const;
  DmaEngineState Dma(int engine) const;
  ULONG FifoFlushes(int channel, bool in) const;
  // Command packets the bridge refused (it stalled the endpoint).
  ULONG MalformedCommands() const;

  // ---- Configuration memory.
  ULONG ConfigWord(ULONG index) const;
  void SetConfigWord(ULONG index, ULONG value);
  void HoldConfigBusy(ULONG statusReads);
  void HoldConfigInProgress(ULONG controlReads);
  void StickConfigCommand(ULONG command, ULONG controlReads);
  void StickConfigWordRead(ULONG index, ULONG controlReads);
  ConfigMemoryCounters ConfigCounters() const;

  // ---- Data channels.
  // A message the adapter sends on IN endpoint 0x81-0x84 (see in_endpoint.h); other endpoints
  // have no queue.
  void QueueIn(UCHAR endpoint, std::vector<uint8_t> message);
  size_t QueuedIn(UCHAR endpoint) const;
  // Forgets the messages still queued on the endpoint, as a far side that went quiet; for a
  // harness that reuses one adapter and must start every round from an empty channel.
  void DropQueuedIn(UCHAR endpoint);
  bool HasWaitingTransfer(UCHAR endpoint) const;
  // The transfers that arrived on OUT endpoint 0x02-0x04, taken.
  std::vector<std::vector<uint8_t>> TakeReceived(UCHAR endpoint);

  // ---- Channel 1 in: far-side announcements.
  UCHAR Channel1InEndpoint() const;
  void AnnounceDisplay(const std::vector<uint8_t>& report);
  void AnnounceRemoval(ULONG displayId);
  void SendFarSideMessage(std::vector<uint8_t> message);

  // ---- Channel 1 out: the far-side displays.
  std::vector<LONG> DisplayIds() const;
  std::optional<FarDisplayState> Display(LONG id) const;
  ULONG Rectangles() const;
  // The display of every rectangle drawn, in arrival order.
  std::vector<LONG> FrameOrder() const;
  ULONG CommandBlocks() const;
  ULONG ViolationCount(Violation violation) const;
  ULONG ViolationTotal() const;
  std::vector<std::string> ViolationDetails() const;

  // ---- Identity switch.
  // True from the moment the bridge left the bus until Reattach.
  bool LeftBus() const;
  ULONG BusDepartures() const;
  // Called, on the thread that carried the bridge's last write and without the adapter's lock,
  // when the bridge leaves the bus. It must not wait.
  void SetLeaveBusHandler(std::function<void()> handler);
  // The bridge comes back with the identity its register 0x84 holds: a new USB device with the
  // same chips at power-on (the configuration memory and the far side keep their contents).
  std::shared_ptr<AdapterUsbDevice> Reattach();

  // ---- Waiting. Waits until `condition` holds, re-testing it after each change the adapter
  // sees; false after `timeout` (100 ns units). One waiter at a time.
  bool WaitUntil(const std::function<bool()>& condition, LONGLONG timeout);

 private:
  std::shared_ptr<AdapterUsbDevice> BuildDevice(ULONG identity) const;

  std::shared_ptr<AdapterCore> core_;
  mutable std::mutex deviceLock_;
  std::shared_ptr<AdapterUsbDevice> device_;
};

}  // namespace kxsim
