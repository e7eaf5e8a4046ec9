// The virtual adapter's public face: its USB device, and what tests read and do.
#include "sim/adapter/virtual_adapter.h"

#include "host/hostk.h"

namespace kxsim {
namespace {

constexpr UCHAR kEndpoints[] = {0x01, 0x02, 0x03, 0x04, 0x81, 0x82,
                                0x83, 0x84, 0x0D, 0x8D, 0x0E, 0x8E};

// The handler of one endpoint for one attachment of the adapter.
class AdapterEndpoint : public UsbEndpointHandler {
 public:
  AdapterEndpoint(std::shared_ptr<AdapterCore> core, ULONG attachment, UCHAR endpoint)
      : core_(std::move(core)), attachment_(attachment), endpoint_(endpoint) {}
  void Transfer(const std::shared_ptr<UsbTransfer>& transfer) override {
    core_->Transfer(attachment_, endpoint_, transfer);
  }
  void TransferCancelled(const std::shared_ptr<UsbTransfer>& transfer) override {
    core_->TransferCancelled(attachment_, endpoint_, transfer);
  }

 private:
  const std::shared_ptr<AdapterCore> core_;
  const ULONG attachment_;
  const UCHAR endpoint_;
};

bool IsDataIn(UCHAR endpoint) { return endpoint >= 0x81 && endpoint <= 0x84; }

}  // namespace

VirtualAdapter::VirtualAdapter(VirtualAdapterOptions options)
    : core_(std::make_shared<AdapterCore>(options)) {
  device_ = BuildDevice(core_->bridge.Identity());
}

VirtualAdapter::~VirtualAdapter() = default;

std::shared_ptr<AdapterUsbDevice> VirtualAdapter::BuildDevice(ULONG identity) const {
  AdapterUsbOptions usb = core_->options.usbLayout;
  usb.idVendor = (USHORT)identity;
  usb.idProduct = (USHORT)(identity >> 16);
  usb.speed = core_->options.usbSpeed;
  auto device = std::make_shared<AdapterUsbDevice>(usb);
  ULONG attachment;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    attachment = core_->attachment;
  }
  for (UCHAR endpoint : kEndpoints) {
    device->SetHandler(endpoint, std::make_shared<AdapterEndpoint>(core_, attachment, endpoint));
  }
  return device;
}

std::shared_ptr<AdapterUsbDevice> VirtualAdapter::Device() const {
  std::lock_guard<std::mutex> guard(deviceLock_);
  return device_;
}

USHORT VirtualAdapter::VendorId() const { return Device()->Options().idVendor; }
USHORT VirtualAdapter::ProductId() const { return Device()->Options().idProduct; }

ULONG VirtualAdapter::BridgeRegister(ULONG reg) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->bridge.RegRead(reg);
}

ULONG VirtualAdapter::BridgeConfig(ULONG reg) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->bridge.ConfigPeek(reg);
}

ULONG VirtualAdapter::BridgeIndexed(ULONG index) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->bridge.IndexedEntry(index);
}

ULONG VirtualAdapter::FarSideRegister(ULONG offset) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  if (DataPath::Owns(offset)) return core_->dataPath.Read(offset);
  return core_->farSide.RegisterRead(offset);
}

ULONG VirtualAdapter::FarSideConfig(ULONG offset) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->farSide.ConfigRead(offset);
}

ULONG VirtualAdapter::FarSideIndexed(ULONG index) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->farSide.IndexedEntry(index);
}

ULONG VirtualAdapter::FarSideMemory(int bar, ULONG offset) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->farSide.MemoryRead(bar, offset);
}

ULONG VirtualAdapter::SwitchConfig(int port, ULONG offset) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  const BusSwitch& busSwitch = core_->busSwitch;
  return (port == 0 ? busSwitch.Upstream() : busSwitch.Downstream()).ConfigRead(offset);
}

DmaEngineState VirtualAdapter::Dma(int engine) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->dataPath.Dma().State(engine);
}

ULONG VirtualAdapter::FifoFlushes(int channel, bool in) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->dataPath.Flushes(channel, in);
}

ULONG VirtualAdapter::MalformedCommands() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->malformedCommands;
}

ULONG VirtualAdapter::ConfigWord(ULONG index) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->configMemory.Word(index);
}

void VirtualAdapter::SetConfigWord(ULONG index, ULONG value) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->configMemory.SetWord(index, value);
}

void VirtualAdapter::HoldConfigBusy(ULONG statusReads) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->configMemory.HoldBusy(statusReads);
}

void VirtualAdapter::HoldConfigInProgress(ULONG controlReads) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->configMemory.HoldInProgress(controlReads);
}

void VirtualAdapter::StickConfigCommand(ULONG command, ULONG controlReads) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->configMemory.StickCommand(command, controlReads);
}

void VirtualAdapter::StickConfigWordRead(ULONG index, ULONG controlReads) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->configMemory.StickWordRead(index, controlReads);
}

ConfigMemoryCounters VirtualAdapter::ConfigCounters() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->configMemory.Counters();
}

void VirtualAdapter::QueueIn(UCHAR endpoint, std::vector<uint8_t> message) {
  if (!IsDataIn(endpoint)) return;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->dataPath.In(endpoint & 0x0F).Queue(std::move(message));
  }
  core_->Signal();
}

size_t VirtualAdapter::QueuedIn(UCHAR endpoint) const {
  if (!IsDataIn(endpoint)) return 0;
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->dataPath.In(endpoint & 0x0F).QueuedMessages();
}

void VirtualAdapter::DropQueuedIn(UCHAR endpoint) {
  if (!IsDataIn(endpoint)) return;
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->dataPath.In(endpoint & 0x0F).DropQueued();
}

bool VirtualAdapter::HasWaitingTransfer(UCHAR endpoint) const {
  if (!IsDataIn(endpoint)) return false;
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->dataPath.In(endpoint & 0x0F).HasWaitingTransfer();
}

std::vector<std::vector<uint8_t>> VirtualAdapter::TakeReceived(UCHAR endpoint) {
  std::lock_guard<std::mutex> guard(core_->lock);
  std::vector<std::vector<uint8_t>> taken;
  taken.swap(core_->received[endpoint]);
  return taken;
}

UCHAR VirtualAdapter::Channel1InEndpoint() const {
  return !Options().Extended() && Options().legacy ? 0x82 : 0x81;
}

void VirtualAdapter::AnnounceDisplay(const std::vector<uint8_t>& report) {
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->announcer.AnnounceDisplay(report);
  }
  core_->Signal();
}

void VirtualAdapter::AnnounceRemoval(ULONG displayId) {
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->announcer.AnnounceRemoval(displayId);
  }
  core_->Signal();
}

void VirtualAdapter::SendFarSideMessage(std::vector<uint8_t> message) {
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    core_->announcer.Send(std::move(message));
  }
  core_->Signal();
}

std::vector<LONG> VirtualAdapter::DisplayIds() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->displays.Ids();
}

std::optional<FarDisplayState> VirtualAdapter::Display(LONG id) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  const FarDisplayState* display = core_->displays.Find(id);
  if (display == nullptr) return std::nullopt;
  return *display;
}

ULONG VirtualAdapter::Rectangles() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->displays.Rectangles();
}

std::vector<LONG> VirtualAdapter::FrameOrder() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->displays.Order();
}

ULONG VirtualAdapter::CommandBlocks() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->channel1.Blocks();
}

ULONG VirtualAdapter::ViolationCount(Violation violation) const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->violations.Count(violation);
}

ULONG VirtualAdapter::ViolationTotal() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->violations.Total();
}

std::vector<std::string> VirtualAdapter::ViolationDetails() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->violations.Details();
}

bool VirtualAdapter::LeftBus() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->leftBus;
}

ULONG VirtualAdapter::BusDepartures() const {
  std::lock_guard<std::mutex> guard(core_->lock);
  return core_->busDepartures;
}

void VirtualAdapter::SetLeaveBusHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> guard(core_->lock);
  core_->leaveHandler = std::move(handler);
}

std::shared_ptr<AdapterUsbDevice> VirtualAdapter::Reattach() {
  ULONG identity;
  {
    std::lock_guard<std::mutex> guard(core_->lock);
    identity = core_->bridge.ProgrammedIdentity();
    core_->PowerOnLocked(identity);
  }
  std::shared_ptr<AdapterUsbDevice> device = BuildDevice(identity);
  {
    std::lock_guard<std::mutex> guard(deviceLock_);
    device_ = device;
  }
  core_->Signal();
  return device;
}

bool VirtualAdapter::WaitUntil(const std::function<bool()>& condition, LONGLONG timeout) {
  LONGLONG deadline = hostk::ClockNow() + timeout;
  for (;;) {
    KeClearEvent(&core_->activity);
    if (condition()) return true;
    LONGLONG left = deadline - hostk::ClockNow();
    if (left <= 0) return false;
    LARGE_INTEGER wait;
    wait.QuadPart = -left;
    KeWaitForSingleObject(&core_->activity, Executive, KernelMode, FALSE, &wait);
  }
}

}  // namespace kxsim
