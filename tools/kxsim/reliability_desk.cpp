#include "reliability_desk.h"

#include <optional>

#include "far_side_check.h"
#include "host/hostk.h"
#include "sim/display/display_report.h"

namespace kxsim {
namespace {

constexpr int kQuality = 75;
constexpr int kSampling = 3;
constexpr LONGLONG kAttachLimit = 10 * kOneSecond;
constexpr LONGLONG kProbe = kOneSecond / 20;
// Longer than the worker's pause before it tries a failed rectangle again, so that a probe in
// which nothing moved means the worker has nothing left it can send.
constexpr LONGLONG kIdleProbe = kOneSecond / 4;
// Past a transfer's 10-second limit, its recovery and the next try.
constexpr LONGLONG kConvergeLimit = 40 * kOneSecond;

// A picture that changes in every block of `rect` from one seed to the next.
void Paint(BgrxImage* image, const PixelRect& rect, int seed) {
  for (int y = rect.top; y < rect.bottom; y++) {
    uint8_t* row = image->pixels.data() + (size_t(y) * image->width + rect.left) * 4;
    for (int x = rect.left; x < rect.right; x++, row += 4) {
      int box = ((x / 24) * 7 + (y / 20) * 13 + seed * 29) % 97;
      row[0] = uint8_t(x * 3 + seed * 41);
      row[1] = uint8_t(y * 2 + box);
      row[2] = uint8_t(box * 5 + seed * 17);
      row[3] = 0;
    }
  }
}

void UnplugFromCall(void* port) { static_cast<SimulatedUsbPort*>(port)->UnplugSoon(); }

}  // namespace

void CampaignDesk::Note(const std::string& step, NTSTATUS status) {
  if (NT_SUCCESS(status)) return;
  std::lock_guard<std::mutex> guard(notesLock_);
  outcome_.refusals.push_back(step + ": " + StatusText(status));
}

std::vector<uint8_t> CampaignDesk::DisplayReport(LONG id) {
  std::vector<DisplayModeEntry> modes;
  for (DeskMode size : {kDeskPreferred, kDeskSecondMode}) {
    DisplayModeEntry mode;
    mode.width = size.width;
    mode.height = size.height;
    modes.push_back(mode);
  }
  return BuildDisplayReport(id, modes, "kestrelix monitor");
}

bool CampaignDesk::Plug(const ScenarioFaults& faults) {
  SessionOptions options;
  // Three processors a rectangle, whatever the machine: whole pictures are shared with the
  // worker's encode threads, under every fault like the rest.
  options.parameters = {
      {"DriverModel", {0, 0, 0, 0}}, {"LinkByDriver", {1}}, {"EncodeThreads", {3, 0, 0, 0}}};
  options.portReady = [faults](SimulatedUsbPort& port) {
    if (faults.transfer != 0) port.ArmTransferEvent(faults.transfer, faults.event);
    if (faults.unplugAtCall != 0) {
      hostk::AllocationCallHook(faults.unplugAtCall, &UnplugFromCall, &port);
    }
  };
  std::string error;
  if (!session_.Plug(options, &error)) {
    std::lock_guard<std::mutex> guard(notesLock_);
    outcome_.refusals.push_back("plug: " + error);
    return false;
  }
  outcome_.started = true;
  client_ = std::make_unique<AdapterClient>();
  NTSTATUS status = client_->Open();
  Note("open the adapter", status);
  if (!NT_SUCCESS(status)) return true;
  Note("compression", client_->SetCompression(kQuality, kSampling));
  Note("link mode", client_->SetLinkMode(1));
  return true;
}

std::vector<std::string> CampaignDesk::StartedChildren() const {
  return kxsim::StartedChildren(session_.Port().Pdo());
}

void CampaignDesk::WaitForChildren(size_t count) {
  LONGLONG deadline = hostk::ClockNow() + kAttachLimit;
  do {
    session_.Settle(kProbe);
    hostk::PnpWaitForEnumeration();
  } while (!Gone() && StartedChildren().size() != count && hostk::ClockNow() <= deadline);
}

std::unique_ptr<DeskDisplayState> CampaignDesk::OpenDisplay(const std::string& instancePath) {
  auto display = std::make_unique<DeskDisplayState>();
  display->instancePath = instancePath;
  display->driver = std::make_unique<SimulatedDisplayDriver>(hostk::PnpFindDevice(instancePath));
  std::vector<uint8_t> description;
  NTSTATUS status = display->driver->ReadDescription(&description);
  Note("description of " + instancePath, status);
  if (!NT_SUCCESS(status)) return nullptr;
  display->id = DescriptionDisplayId(description);
  SetMode(*display, kDeskPreferred);
  return display;
}

bool CampaignDesk::Alive(const DeskDisplayState& display) const {
  return hostk::PnpFindDevice(display.instancePath) != nullptr;
}

void CampaignDesk::StopDisplay(DeskDisplayState& display) {
  if (Alive(display)) Note("stop of display " + std::to_string(display.id), display.driver->Stop());
}

void CampaignDesk::SetMode(DeskDisplayState& display, DeskMode mode) {
  if (!Alive(display)) return;
  NTSTATUS status = display.driver->SetMode(mode.width, mode.height);
  Note("mode of display " + std::to_string(display.id), status);
  if (!NT_SUCCESS(status)) return;
  display.shown.width = mode.width;
  display.shown.height = mode.height;
  display.shown.pixels.assign(size_t(mode.width) * mode.height * 4, 0);
  display.wholeShown = false;
  Present(display, {0, 0, mode.width, mode.height});
}

bool CampaignDesk::Present(DeskDisplayState& display, const PixelRect& rect, bool mayRefuse) {
  if (display.shown.width == 0 || !Alive(display)) return false;
  BgrxImage next = display.shown;
  Paint(&next, rect, seed_++);
  NTSTATUS status = display.driver->Present(next.pixels.data(), next.width, next.height,
                                            rect.left, rect.top, rect.right, rect.bottom);
  if (!mayRefuse) Note("present on display " + std::to_string(display.id), status);
  if (!NT_SUCCESS(status)) return false;
  if (rect.left == 0 && rect.top == 0 && rect.right == next.width && rect.bottom == next.height) {
    display.wholeShown = true;
  }
  display.shown = std::move(next);
  return true;
}

bool CampaignDesk::Converged(DeskDisplayState& display, std::string* why) {
  std::optional<FarDisplayState> far = session_.Adapter().Display(display.id);
  if (!far) {
    *why = "the far side does not know the display";
    return false;
  }
  if (far->mode.width != display.shown.width || far->mode.height != display.shown.height) {
    *why = "the far side is in another mode";
    return false;
  }
  FarSideComparison comparison = CompareFarSide(display.shown, far->rgb, kQuality, kSampling);
  if (!comparison.ok) {
    *why = comparison.error;
    return false;
  }
  if (comparison.staleBlocks == 0) return true;
  *why = std::to_string(comparison.staleBlocks) + " stale blocks, the first at (" +
         std::to_string(comparison.firstStale.left) + ", " +
         std::to_string(comparison.firstStale.top) + ")";
  return false;
}

bool CampaignDesk::WaitUntilIdle(LONGLONG limit) {
  SimulatedUsbPort& port = session_.Port();
  UCHAR listening = session_.Adapter().Channel1InEndpoint();
  LONGLONG deadline = hostk::ClockNow() + limit;
  do {
    ULONGLONG bytes = port.Counters().bytesOut;
    session_.Settle(kIdleProbe);
    if (port.Counters().bytesOut == bytes && port.PendingCount() == port.PendingCount(listening)) {
      return true;
    }
  } while (!Gone() && hostk::ClockNow() <= deadline);
  return false;
}

void CampaignDesk::Checkpoint(const char* where, const std::vector<DeskDisplayState*>& displays) {
  if (Gone()) return;
  LONGLONG deadline = hostk::ClockNow() + kConvergeLimit;
  std::string why;
  DeskDisplayState* failing = nullptr;
  do {
    if (!WaitUntilIdle(kIdleProbe)) continue;
    failing = nullptr;
    for (DeskDisplayState* display : displays) {
      if (display->wholeShown && !Converged(*display, &why)) failing = display;
    }
    if (failing == nullptr) break;
  } while (!Gone() && hostk::ClockNow() <= deadline);
  if (Gone()) return;
  std::lock_guard<std::mutex> guard(notesLock_);
  for (DeskDisplayState* display : displays) outcome_.displaysChecked += display->wholeShown;
  if (failing == nullptr) return;
  outcome_.notConverged++;
  if (outcome_.convergence.empty()) {
    outcome_.convergence =
        std::string(where) + ": display " + std::to_string(failing->id) + ": " + why;
  }
}

void CampaignDesk::Unplug() {
  // The port goes with the removal: the hook must not find it after.
  hostk::AllocationCallHook(0, nullptr, nullptr);
  outcome_.allocationCalls = hostk::AllocationCallCount();
  if (session_.Attached()) {
    outcome_.transfers = session_.Port().TransfersHanded();
    outcome_.transferEndpoints = session_.Port().HandedEndpoints();
    outcome_.violations = session_.Adapter().ViolationTotal();
    Note("surprise removal", SurpriseRemoveWithHandleOpen());
  } else {
    client_.reset();
    session_.Remove();
  }
  client_.reset();
  // The removal's interface notifications arrive on their own thread, maybe after the removal
  // returned: the desk is idle only once they have.
  hostk::IoWaitForInterfaceNotifications();
}

// As a display stack does, the control handle stays open until the interface's removal tells its
// holder that the adapter is gone; the removal waits for that close. A handle whose interface is
// not enabled now would hear of no removal: it is closed first.
NTSTATUS CampaignDesk::SurpriseRemoveWithHandleOpen() {
  if (client_ == nullptr || client_->InterfaceName().empty()) {
    client_.reset();
    return session_.SurpriseRemove();
  }
  AdapterClient* client = client_.get();
  std::string name = client->InterfaceName();
  int watch = hostk::IoWatchDeviceInterfaces(
      client->InterfaceClass(),
      [client, name](const hostk::DeviceInterfaceEvent& event) {
        if (!event.arrival && event.symbolicLink == name) client->Close();
      },
      false);
  if (!hostk::IoIsDeviceInterfaceEnabled(name)) client->Close();
  NTSTATUS status = session_.SurpriseRemove();
  hostk::IoUnwatchDeviceInterfaces(watch);
  return status;
}

}  // namespace kxsim
