#include "demo_desk.h"

#include <algorithm>

#include "host/hostk/clock.h"
#include "host/hostk/pnp.h"

namespace kxsim {
namespace {

constexpr LONGLONG kAttachLimit = 10 * kOneSecond;
constexpr LONGLONG kAttachProbe = kOneSecond / 20;
constexpr LONGLONG kIdleProbe = kOneSecond / 200;
// The adapter's identifier for a display with a DDC-like name in its data block.
constexpr const char* kMonitorName = "kestrelix virtual monitor";

// Registry values of a desk whose link thread listens to the far side.
std::vector<std::pair<std::string, std::vector<uint8_t>>> DeskParameters() {
  return {{"DriverModel", {0, 0, 0, 0}}, {"LinkByDriver", {1}}};
}

// The preferred mode first, then what any monitor also offers.
std::vector<DisplayModeEntry> ModeList(const DisplayModeEntry& preferred) {
  std::vector<DisplayModeEntry> modes = {preferred};
  for (auto size : {std::pair<USHORT, USHORT>{1280, 720}, {1024, 768}}) {
    if (size.first == preferred.width && size.second == preferred.height) continue;
    DisplayModeEntry mode;
    mode.width = size.first;
    mode.height = size.second;
    modes.push_back(mode);
  }
  return modes;
}

}  // namespace

VirtualDesk::~VirtualDesk() {
  std::string ignored;
  if (plugged_) Unplug(&ignored);
}

bool VirtualDesk::Plug(const DemoOptions& options, std::string* error) {
  SessionOptions session;
  session.adapter.usbSpeed = options.usb;
  session.port.bandwidthModel = true;
  session.port.capturePath = options.capturePath;
  session.parameters = DeskParameters();
  attach_ = options.attach;
  plugged_ = true;
  if (!session_.Plug(session, error)) return false;
  client_ = std::make_unique<AdapterClient>();
  NTSTATUS status = client_->Open();
  if (!NT_SUCCESS(status)) {
    *error = "the display stack found no adapter interface: " + StatusText(status);
    return false;
  }
  status = client_->SetCompression(options.quality, options.sampling);
  if (NT_SUCCESS(status)) status = client_->SetLinkMode(1);
  if (NT_SUCCESS(status)) status = client_->GetUsbSpeed(&driverUsbSpeed_);
  if (!NT_SUCCESS(status)) {
    *error = "a control code of the adapter failed with " + StatusText(status);
    return false;
  }
  return true;
}

bool VirtualDesk::Announce(const std::vector<DisplayModeEntry>& modes, std::string* error) {
  for (size_t i = 0; i < modes.size(); i++) {
    std::vector<uint8_t> report = BuildDisplayReport(LONG(i + 1), ModeList(modes[i]),
                                                     kMonitorName);
    if (attach_ == AttachPath::FarSide) {
      session_.Adapter().AnnounceDisplay(report);
      continue;
    }
    NTSTATUS status = client_->AttachDisplay(report);
    if (!NT_SUCCESS(status)) {
      *error = "IOCTL_BUS_ATTACH_DISPLAY failed with " + StatusText(status);
      return false;
    }
  }
  return true;
}

std::vector<std::string> VirtualDesk::StartedChildren() const {
  return kxsim::StartedChildren(session_.Port().Pdo());
}

bool VirtualDesk::AttachDisplays(const std::vector<DisplayModeEntry>& modes, std::string* error) {
  if (!Announce(modes, error)) return false;
  std::vector<std::string> children;
  LONGLONG deadline = hostk::ClockNow() + kAttachLimit;
  do {
    session_.Settle(kAttachProbe);
    hostk::PnpWaitForEnumeration();
    children = StartedChildren();
  } while (children.size() < modes.size() && hostk::ClockNow() <= deadline);
  if (children.size() != modes.size()) {
    *error = std::to_string(modes.size()) + " displays attached, " +
             std::to_string(children.size()) + " children started";
    return false;
  }
  for (const std::string& child : children) {
    if (!OpenDisplay(child, error)) return false;
  }
  std::sort(displays_.begin(), displays_.end(),
            [](const DeskDisplay& a, const DeskDisplay& b) { return a.id < b.id; });
  return true;
}

// What a display driver does when it loads on a child: the description, the preferred mode.
bool VirtualDesk::OpenDisplay(const std::string& instancePath, std::string* error) {
  DeskDisplay display;
  display.instancePath = instancePath;
  display.driver = std::make_unique<SimulatedDisplayDriver>(hostk::PnpFindDevice(instancePath));
  std::vector<uint8_t> description;
  NTSTATUS status = display.driver->ReadDescription(&description);
  std::vector<DisplayModeEntry> modes = DescriptionModes(description);
  if (!NT_SUCCESS(status) || modes.empty()) {
    *error = instancePath + ": no display description (" + StatusText(status) + ")";
    return false;
  }
  display.id = DescriptionDisplayId(description);
  display.width = modes.front().width;
  display.height = modes.front().height;
  status = display.driver->SetMode(modes.front().width, modes.front().height,
                                   modes.front().bitsPerPixel);
  if (!NT_SUCCESS(status)) {
    *error = instancePath + ": IOCTL_DISPLAY_SET_MODE failed with " + StatusText(status);
    return false;
  }
  display.surface = display.driver->Surface(display.width, display.height);
  displays_.push_back(std::move(display));
  return true;
}

bool VirtualDesk::WaitUntilIdle(LONGLONG limit) {
  SimulatedUsbPort& port = session_.Port();
  UCHAR listening = session_.Adapter().Channel1InEndpoint();
  ULONGLONG bytes = port.Counters().bytesOut;
  // On the clock: a delay on a thread without exact timers lasts until the next tick.
  LONGLONG deadline = hostk::ClockNow() + limit;
  do {
    session_.Settle(kIdleProbe);
    ULONGLONG now = port.Counters().bytesOut;
    // The link thread's receive on channel 1 in is always pending; it is no work of the worker.
    size_t pending = port.PendingCount() - port.PendingCount(listening);
    if (now == bytes && pending == 0) return true;
    bytes = now;
  } while (hostk::ClockNow() <= deadline);
  return false;
}

bool VirtualDesk::Unplug(std::string* error) {
  plugged_ = false;
  bool ok = true;
  for (DeskDisplay& display : displays_) {
    NTSTATUS status = display.driver->Stop();
    if (!NT_SUCCESS(status)) {
      *error = display.instancePath + ": IOCTL_DISPLAY_STOP failed with " + StatusText(status);
      ok = false;
    }
    display.driver.reset();
  }
  displays_.clear();
  client_.reset();
  NTSTATUS status = session_.Remove();
  if (!NT_SUCCESS(status)) {
    *error = "removing the adapter failed with " + StatusText(status);
    ok = false;
  }
  return ok;
}

}  // namespace kxsim
