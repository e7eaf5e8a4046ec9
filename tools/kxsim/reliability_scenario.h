// The reliability campaign's scenario: one adapter's whole life with the display stack on it, run
// to its end whatever the driver refuses on the way. Load, add, start; the display stack opens the
// adapter; two displays announced by the far side, their children started and streaming; a mode
// change; one display detached; the adapter stopped and started again; the system asleep and
// awake; a display attached by the display stack's control code; the adapter pulled (surprise
// removal, removal, unload).
//
// A run may meet one fault: an allocation site of the driver failing once, or one transfer
// stalled, timed out, cut short or the device leaving the bus there. Whatever the driver refused
// is noted; every display still streaming at the two checkpoints must show what was last presented
// and acknowledged, once the fault is over.
//
// The calling thread must be attached to the host kernel, the only managed thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/hostk/allocation_sites.h"
#include "sim/usb/usb_port.h"

namespace kxsim {

struct ScenarioFaults {
  bool recordSites = false;  // record every allocation site the scenario reaches
  std::string failSite;      // the first call at this site fails ("" none)
  uint64_t transfer = 0;     // the transfer that meets `event` (0: none)
  UsbTransferEvent event = UsbTransferEvent::None;
  // The adapter is pulled as the driver makes this call at any allocation site (0: never), on
  // whichever of its threads makes it: inside an encode, a start, a mode change, a report.
  uint64_t unplugAtCall = 0;
  // Instead of the scenario: the stress (threads > 0) or the soak (seconds > 0).
  int stressThreads = 0;
  int stressActions = 0;  // per thread
  uint32_t seed = 1;
  LONGLONG soakSeconds = 0;  // of kernel time
  LONGLONG soakSampleSeconds = 60;  // the pool sampled each time this much has passed
};

struct ScenarioOutcome {
  bool started = false;               // the adapter's first start succeeded
  std::vector<std::string> refusals;  // "step: status" of each step the driver refused
  int displaysChecked = 0;            // display checks at the checkpoints
  int notConverged = 0;               // of those, far sides that never showed the last picture
  std::string convergence;            // the first that did not, and why
  uint64_t transfers = 0;             // handed to the device before the removal
  uint64_t allocationCalls = 0;       // at allocation sites before the removal (when counted)
  uint64_t siteFailures = 0;          // allocation calls failed by the injection
  uint32_t violations = 0;            // protocol violations the far side counted
  std::vector<hostk::AllocationSite> sites;  // when recorded
  std::vector<uint32_t> callSites;           // when recorded: each call's site, in order
  std::vector<UCHAR> transferEndpoints;      // each transfer's endpoint before the removal
  std::string leaks;  // the host kernel's report once everything ended ("" clean)
  std::string poolDrift;  // the soak's pool growing sample after sample: how ("" not growing)
  uint64_t presents = 0;  // acknowledged by the driver (stress and soak)
  double kernelSeconds = 0;  // of kernel time the run took
};

ScenarioOutcome RunFullScenario(const ScenarioFaults& faults);
// Four displays, `stressThreads` threads each taking `stressActions` actions at random: presents,
// mode changes, a display detached and attached again, a query-stop cancelled, the system asleep
// and awake. Then every display must show what was last presented.
ScenarioOutcome RunStress(const ScenarioFaults& plan);
// Four displays each presented to 60 times a second for `soakSeconds` of kernel time; the pool,
// sampled idle every `soakSampleSeconds` (a minute), must not keep growing: no tag may end above
// its first sample after rising in more than half of the intervals.
ScenarioOutcome RunSoak(const ScenarioFaults& plan);
// The soak, the stress or the scenario, as the plan asks.
ScenarioOutcome RunPlan(const ScenarioFaults& plan);

}  // namespace kxsim
