// The reliability campaign's desk: the adapter under the driver, the display stack's client and
// its display drivers, as the campaign's runs drive them. Every step tolerates a refusal (noted,
// with its status) and the adapter leaving at any moment; what the far side must show is kept per
// display from the presents the driver acknowledged.
//
// The calling threads must be attached to the host kernel. Steps on one display are the caller's
// to serialise; the notes and the outcome may be touched from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter_session.h"
#include "reliability_scenario.h"
#include "sim/display/adapter_client.h"
#include "sim/display/display_driver.h"
#include "sim/display/pixel_rect.h"

namespace kxsim {

struct DeskMode {
  USHORT width;
  USHORT height;
};
constexpr DeskMode kDeskPreferred = {320, 240};
constexpr DeskMode kDeskSecondMode = {256, 160};

struct DeskDisplayState {
  LONG id = 0;
  std::string instancePath;
  std::unique_ptr<SimulatedDisplayDriver> driver;
  BgrxImage shown;          // what the presents acknowledged so far make up
  bool wholeShown = false;  // a whole picture was acknowledged since the last mode
};

class CampaignDesk {
 public:
  CampaignDesk() = default;
  CampaignDesk(const CampaignDesk&) = delete;
  CampaignDesk& operator=(const CampaignDesk&) = delete;

  // The adapter, the driver started over it, the display stack's client with compression and
  // link mode set. `faults` are armed on the port before the driver loads. False when the driver
  // never started.
  bool Plug(const ScenarioFaults& faults);
  // The adapter left (pulled, or removed after a failed start): only the removal remains.
  bool Gone() const { return !session_.Attached() || session_.Port().Unplugged(); }

  void Note(const std::string& step, NTSTATUS status);
  // The report of a display with the campaign's two modes.
  static std::vector<uint8_t> DisplayReport(LONG id);
  std::vector<std::string> StartedChildren() const;
  // Waits (up to 10 s of kernel time) until `count` children run.
  void WaitForChildren(size_t count);
  // What a display driver does when it loads on a child: the description, the preferred mode.
  // Null when the description could not be read.
  std::unique_ptr<DeskDisplayState> OpenDisplay(const std::string& instancePath);
  // Whether the display's child is still in the device tree: the manager may have removed it (the
  // adapter's start failed, say), and a display driver only talks to a child that is there.
  bool Alive(const DeskDisplayState& display) const;
  // The display driver stops its output, when its child is still there.
  void StopDisplay(DeskDisplayState& display);
  void SetMode(DeskDisplayState& display, DeskMode mode);
  // The display driver's surface takes the picture with the rectangle changed; the picture counts
  // as shown only when the driver took the present. A refusal is noted unless `mayRefuse`. True
  // when the driver took it.
  bool Present(DeskDisplayState& display, const PixelRect& rect, bool mayRefuse = false);
  // Every display whose whole picture was acknowledged must show the last one once the worker had
  // the time to send what it owes: checked, counted in the outcome.
  void Checkpoint(const char* where, const std::vector<DeskDisplayState*>& displays);
  // Waits until nothing moved on the wire for a while and nothing is pending but the link
  // thread's receive. False when that did not happen within `limit` of kernel time.
  bool WaitUntilIdle(LONGLONG limit);
  // The adapter pulled: the display drivers already let go by the caller, the surprise removal,
  // the client's close when the interface's removal reaches it, then the removal; the driver
  // unloads.
  void Unplug();

  AdapterSession& Session() { return session_; }
  AdapterClient* Client() { return client_.get(); }
  ScenarioOutcome& Outcome() { return outcome_; }

 private:
  bool Converged(DeskDisplayState& display, std::string* why);
  NTSTATUS SurpriseRemoveWithHandleOpen();

  AdapterSession session_;
  std::unique_ptr<AdapterClient> client_;
  std::mutex notesLock_;
  ScenarioOutcome outcome_;
  std::atomic<int> seed_{1};
};

}  // namespace kxsim
