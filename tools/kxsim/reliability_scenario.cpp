#include "reliability_scenario.h"

#include "host/hostk.h"
#include "reliability_desk.h"

namespace kxsim {
namespace {

class Scenario {
 public:
  explicit Scenario(const ScenarioFaults& faults) : faults_(faults) {}
  ScenarioOutcome Run();

 private:
  bool Gone() const { return desk_.Gone(); }
  void OpenNewDisplays();
  void PresentRound();
  void Detach(LONG id);
  void StopAndStart();
  void AttachByControlCode(LONG id);
  void SleepAndWake();
  void Checkpoint(const char* where);
  void Unplug();

  ScenarioFaults faults_;
  CampaignDesk desk_;
  std::vector<std::unique_ptr<DeskDisplayState>> displays_;
};

void Scenario::OpenNewDisplays() {
  for (const std::string& path : desk_.StartedChildren()) {
    bool known = false;
    for (const auto& display : displays_) known |= display->instancePath == path;
    if (known) continue;
    if (auto display = desk_.OpenDisplay(path)) displays_.push_back(std::move(display));
  }
}

// A few changed rectangles on every display, with time for the worker between them.
void Scenario::PresentRound() {
  for (int step = 0; step < 3 && !Gone(); step++) {
    for (auto& display : displays_) {
      int width = display->shown.width;
      int height = display->shown.height;
      PixelRect rect = {width / 8 * step, height / 6, width / 8 * step + width / 2, height};
      desk_.Present(*display, rect);
    }
    desk_.Session().Settle(kOneSecond / 60);
  }
}

// The display stack lets go of the output first, then asks the adapter to forget the display.
void Scenario::Detach(LONG id) {
  for (auto it = displays_.begin(); it != displays_.end(); ++it) {
    if ((*it)->id != id) continue;
    desk_.StopDisplay(**it);
    displays_.erase(it);
    break;
  }
  if (desk_.Client() != nullptr) desk_.Note("detach", desk_.Client()->DetachDisplay(ULONG(id)));
  desk_.WaitForChildren(displays_.size());
}

void Scenario::StopAndStart() {
  NTSTATUS status = desk_.Session().StopDevice();
  desk_.Note("stop", status);
  // A present while the adapter is stopped: refused, or kept for the start.
  if (!displays_.empty()) desk_.Present(*displays_.front(), {0, 0, 64, 64}, true);
  if (!NT_SUCCESS(status)) return;
  desk_.Note("start", desk_.Session().StartDevice());
  if (Gone()) return;
  for (auto& display : displays_) {
    if (display->shown.width == 0) continue;
    desk_.SetMode(*display, {USHORT(display->shown.width), USHORT(display->shown.height)});
  }
}

void Scenario::AttachByControlCode(LONG id) {
  if (desk_.Client() == nullptr) return;
  NTSTATUS status = desk_.Client()->AttachDisplay(CampaignDesk::DisplayReport(id));
  desk_.Note("attach", status);
  if (!NT_SUCCESS(status)) return;
  desk_.WaitForChildren(displays_.size() + 1);
  OpenNewDisplays();
}

// The system sleeps (S3) and wakes: the adapter goes to D3 and back, and its interface returns
// from a work item three seconds later.
void Scenario::SleepAndWake() {
  desk_.Note("sleep", hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  desk_.Note("wake", hostk::PoSetSystemPowerState(PowerSystemWorking));
  desk_.Session().Settle(4 * kOneSecond);
}

void Scenario::Checkpoint(const char* where) {
  std::vector<DeskDisplayState*> displays;
  for (auto& display : displays_) displays.push_back(display.get());
  desk_.Checkpoint(where, displays);
}

// The adapter pulled: the display stack lets go of its outputs and its handle, then the manager
// runs the surprise removal and the removal, and the driver unloads.
void Scenario::Unplug() {
  for (auto& display : displays_) desk_.StopDisplay(*display);
  displays_.clear();
  desk_.Unplug();
}

ScenarioOutcome Scenario::Run() {
  LONGLONG began = hostk::ClockNow();
  hostk::AllocationSitesReset();
  if (faults_.recordSites) hostk::AllocationSitesRecord(true);
  if (!faults_.failSite.empty()) hostk::AllocationSiteFail(faults_.failSite);
  if (desk_.Plug(faults_) && !Gone()) {
    for (LONG id : {1, 2}) {
      desk_.Session().Adapter().AnnounceDisplay(CampaignDesk::DisplayReport(id));
    }
    desk_.WaitForChildren(2);
    OpenNewDisplays();
    PresentRound();
    Checkpoint("streaming on two displays");
    if (!Gone() && !displays_.empty()) desk_.SetMode(*displays_.front(), kDeskSecondMode);
    PresentRound();
    if (!Gone()) Detach(2);
    if (!Gone()) StopAndStart();
    if (!Gone()) SleepAndWake();
    if (!Gone()) AttachByControlCode(3);
    PresentRound();
    Checkpoint("after the restart and the attach");
  }
  Unplug();
  ScenarioOutcome outcome = desk_.Outcome();
  outcome.siteFailures = hostk::AllocationSiteFailures();
  outcome.sites = hostk::AllocationSitesSeen();
  outcome.callSites = hostk::AllocationCallSequence();
  hostk::AllocationSitesReset();
  outcome.leaks = hostk::LeakReport();
  outcome.kernelSeconds = double(hostk::ClockNow() - began) / double(kOneSecond);
  return outcome;
}

}  // namespace

ScenarioOutcome RunFullScenario(const ScenarioFaults& faults) {
  Scenario scenario(faults);
  return scenario.Run();
}

ScenarioOutcome RunPlan(const ScenarioFaults& plan) {
  if (plan.soakSeconds > 0) return RunSoak(plan);
  if (plan.stressThreads > 0) return RunStress(plan);
  return RunFullScenario(plan);
}

}  // namespace kxsim
