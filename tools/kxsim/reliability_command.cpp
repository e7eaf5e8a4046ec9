// The campaign: one recording run of the full scenario, then the scenario once per allocation site
// with that site failing once, once per transfer and fault kind, and once per removal point; every
// run in its own process. The table counts, per part, the runs and what went wrong in them.
#include "reliability_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "host/hostk.h"
#include "reliability_runner.h"

namespace kxsim {
namespace {

struct CampaignOptions {
  bool quick = false;
  int jobs = 2;
  int limitSeconds = 300;
  std::string only;  // some parts, comma-separated: sites, usb, removal, stress, soak
  std::string one;   // one run in this process, its diagnostics shown: KIND:VALUE
};

struct PartFigures {
  std::string name;
  std::string points;
  uint64_t runs = 0;
  uint64_t crashes = 0;
  uint64_t leaks = 0;
  uint64_t verifier = 0;
  uint64_t hangs = 0;
  uint64_t notConverged = 0;
  uint64_t checks = 0;  // far-side display checks made
  uint64_t presents = 0;
  double kernelSeconds = 0;

  uint64_t Failures() const { return crashes + leaks + verifier + hangs + notConverged; }
};

// Where a removal point falls, by the site of the allocation call or the transfer's endpoint.
const char* CallPlace(const std::string& where) {
  if (where.rfind("jpeg/", 0) == 0) return "in an encode";
  if (where.rfind("device/link_thread", 0) == 0) return "in the link thread";
  if (where.rfind("pipeline/", 0) == 0 || where.rfind("control/", 0) == 0) {
    return "in a mode change, present or send";
  }
  if (where.rfind("usb/bulk_transfer", 0) == 0 || where.rfind("usb/data_", 0) == 0) {
    return "in a transfer's set-up";
  }
  return "in a start, stop or Plug and Play request";
}

std::string TransferPlace(UCHAR endpoint) {
  switch (endpoint) {
    case 0x00:
    case 0x80: return "descriptor reads";
    case 0x01: return "channel 1 out (frames)";
    case 0x81: return "channel 1 in (the link's reports)";
    default: break;
  }
  UCHAR number = endpoint & 0x7F;
  if (number == 0x0D || number == 0x0E) return "register and internal-bus accesses";
  char name[32];
  std::snprintf(name, sizeof name, "endpoint 0x%02X", unsigned(endpoint));
  return name;
}

struct Failure {
  std::string run;
  std::string detail;
};

class Campaign {
 public:
  explicit Campaign(const CampaignOptions& options)
      : options_(options), pool_(options.jobs, options.limitSeconds) {}
  int Run();

 private:
  bool Record();
  void Sites();
  void UsbFaults();
  void Removals();
  std::map<std::string, std::vector<uint64_t>> PointsByPlace(bool calls) const;
  void Stress();
  void Soak();
  void Submit(PartFigures* part, const ScenarioFaults& faults, const std::string& run);
  void Count(PartFigures* part, const RunVerdict& verdict, const std::string& run);
  // `count` points spread evenly over 1..`total` (all of them when there are fewer).
  std::vector<uint64_t> Spread(uint64_t total, uint64_t count) const;
  void PrintTable() const;
  bool Wanted(const std::string& part) const {
    std::string list = "," + options_.only + ",";
    return options_.only.empty() || list.find("," + part + ",") != std::string::npos;
  }

  CampaignOptions options_;
  RunPool pool_;
  ScenarioOutcome recorded_;
  std::map<std::string, int> removalPlaces_;
  std::vector<PartFigures*> parts_;
  std::vector<Failure> failures_;
  PartFigures sites_{"allocation sites", "", 0, 0, 0, 0, 0, 0, 0};
  PartFigures usb_{"USB faults", "", 0, 0, 0, 0, 0, 0, 0};
  PartFigures removals_{"surprise removal", "", 0, 0, 0, 0, 0, 0, 0};
  PartFigures stress_{"stress", "", 0, 0, 0, 0, 0, 0, 0};
  PartFigures soak_{"soak", "", 0, 0, 0, 0, 0, 0, 0};
  uint64_t submitted_ = 0;
  uint64_t finished_ = 0;
};

std::vector<uint64_t> Campaign::Spread(uint64_t total, uint64_t count) const {
  std::vector<uint64_t> points;
  if (total == 0) return points;
  if (count >= total || count < 2) count = std::min(total, std::max<uint64_t>(count, 1));
  for (uint64_t i = 0; i < count; i++) {
    uint64_t point = count == 1 ? 1 : 1 + i * (total - 1) / (count - 1);
    if (points.empty() || points.back() != point) points.push_back(point);
  }
  return points;
}

void Campaign::Count(PartFigures* part, const RunVerdict& verdict, const std::string& run) {
  part->runs++;
  part->crashes += verdict.crashed;
  part->leaks += verdict.leaked;
  part->verifier += verdict.verifier;
  part->hangs += verdict.hung;
  part->notConverged += uint64_t(verdict.notConverged);
  part->checks += uint64_t(verdict.outcome.displaysChecked);
  part->presents += verdict.outcome.presents;
  part->kernelSeconds += verdict.outcome.kernelSeconds;
  if (!verdict.Clean()) failures_.push_back({run, verdict.detail});
  if (++finished_ % 250 == 0) {
    std::fprintf(stderr, "  %llu of %llu runs done, %zu failed\n", (unsigned long long)finished_,
                 (unsigned long long)submitted_, failures_.size());
  }
}

void Campaign::Submit(PartFigures* part, const ScenarioFaults& faults, const std::string& run) {
  submitted_++;
  pool_.Submit(faults, [this, part, run](const RunVerdict& verdict) { Count(part, verdict, run); });
}

// The scenario without a fault: every site it reaches, its transfers and its allocation calls.
bool Campaign::Record() {
  ScenarioFaults faults;
  faults.recordSites = true;
  RunVerdict verdict = pool_.RunAndWait(faults);
  if (!verdict.Clean() || !verdict.outcome.started) {
    std::fprintf(stderr, "kxsim reliability: the scenario without faults did not run clean:\n%s",
                 verdict.detail.c_str());
    for (const std::string& refusal : verdict.outcome.refusals) {
      std::fprintf(stderr, "  refused: %s\n", refusal.c_str());
    }
    return false;
  }
  if (!verdict.outcome.refusals.empty()) {
    std::fprintf(stderr, "kxsim reliability: the scenario without faults had refusals:\n");
    for (const std::string& refusal : verdict.outcome.refusals) {
      std::fprintf(stderr, "  %s\n", refusal.c_str());
    }
    return false;
  }
  recorded_ = verdict.outcome;
  std::printf("scenario: %zu allocation sites (%llu calls), %llu transfers, %d display checks\n",
              recorded_.sites.size(), (unsigned long long)recorded_.allocationCalls,
              (unsigned long long)recorded_.transfers, recorded_.displaysChecked);
  std::fflush(stdout);
  return true;
}

void Campaign::Sites() {
  size_t step = options_.quick ? 3 : 1;
  size_t failed = 0;
  for (size_t i = 0; i < recorded_.sites.size(); i += step, failed++) {
    ScenarioFaults faults;
    faults.failSite = recorded_.sites[i].where;
    Submit(&sites_, faults, "site " + faults.failSite + " failing");
  }
  sites_.points = std::to_string(failed) + " of " + std::to_string(recorded_.sites.size()) +
                  " sites, each failed once";
  parts_.push_back(&sites_);
}

void Campaign::UsbFaults() {
  struct Kind {
    UsbTransferEvent event;
    const char* name;
  };
  const Kind kinds[] = {{UsbTransferEvent::Stall, "stalled"},
                        {UsbTransferEvent::Timeout, "timed out"},
                        {UsbTransferEvent::Short, "short"},
                        {UsbTransferEvent::Unplug, "device gone"}};
  std::vector<uint64_t> indices =
      Spread(recorded_.transfers, options_.quick ? 6 : recorded_.transfers);
  for (uint64_t index : indices) {
    for (const Kind& kind : kinds) {
      ScenarioFaults faults;
      faults.transfer = index;
      faults.event = kind.event;
      Submit(&usb_, faults, "transfer " + std::to_string(index) + " " + kind.name);
    }
  }
  usb_.points = std::to_string(indices.size()) + " of " + std::to_string(recorded_.transfers) +
                " transfers x 4 kinds";
  parts_.push_back(&usb_);
}

// Removal points, stratified by where they fall, so that rare places (an encode, the link thread's
// receive, a mode change) get their share beside the start's many register accesses: up to
// `perPlace` points spread over each place's calls or transfers.
std::map<std::string, std::vector<uint64_t>> Campaign::PointsByPlace(bool calls) const {
  std::map<std::string, std::vector<uint64_t>> all;
  if (calls) {
    for (size_t i = 0; i < recorded_.callSites.size(); i++) {
      uint32_t site = recorded_.callSites[i];
      if (site >= recorded_.sites.size()) continue;
      all[CallPlace(recorded_.sites[site].where)].push_back(i + 1);
    }
  } else {
    for (size_t i = 0; i < recorded_.transferEndpoints.size(); i++) {
      all["at a transfer: " + TransferPlace(recorded_.transferEndpoints[i])].push_back(i + 1);
    }
  }
  return all;
}

void Campaign::Removals() {
  uint64_t perPlace = options_.quick ? 2 : 40;
  size_t calls = 0;
  size_t transfers = 0;
  for (bool atCalls : {true, false}) {
    for (const auto& place : PointsByPlace(atCalls)) {
      for (uint64_t i : Spread(place.second.size(), perPlace)) {
        uint64_t point = place.second[i - 1];
        ScenarioFaults faults;
        if (atCalls) {
          faults.unplugAtCall = point;
          calls++;
        } else {
          faults.transfer = point;
          faults.event = UsbTransferEvent::Unplug;
          transfers++;
        }
        removalPlaces_[place.first]++;
        Submit(&removals_, faults,
               std::string("pulled at ") + (atCalls ? "allocation call " : "transfer ") +
                   std::to_string(point) + " (" + place.first + ")");
      }
    }
  }
  removals_.points = std::to_string(calls + transfers) + " points (" + std::to_string(calls) +
                     " calls, " + std::to_string(transfers) + " transfers)";
  parts_.push_back(&removals_);
}

// Four displays, four threads at random; each run its own seed. The quick form keeps two whole
// runs: a lost update may need a stop, a mode and presents to meet in one run.
void Campaign::Stress() {
  int runs = options_.quick ? 2 : 8;
  int actions = 400;
  for (int i = 0; i < runs; i++) {
    ScenarioFaults plan;
    plan.stressThreads = 4;
    plan.stressActions = actions;
    plan.seed = uint32_t(i + 1);
    Submit(&stress_, plan, "stress with seed " + std::to_string(plan.seed));
  }
  stress_.points = std::to_string(runs) + " runs x 4 threads x " + std::to_string(actions) +
                   " actions";
  parts_.push_back(&stress_);
}

void Campaign::Soak() {
  ScenarioFaults plan;
  plan.soakSeconds = options_.quick ? 60 : 3600;
  plan.soakSampleSeconds = options_.quick ? 10 : 60;
  Submit(&soak_, plan, "soak");
  soak_.points = "4 displays x 60/s, pool sampled every " +
                 std::to_string(plan.soakSampleSeconds) + " s";
  parts_.push_back(&soak_);
}

void Campaign::PrintTable() const {
  std::printf("\n%-17s %-44s %5s %7s %5s %8s %5s %9s %6s %9s %7s\n", "part", "points", "runs",
              "crashes", "leaks", "verifier", "hangs", "not conv.", "checks", "presents",
              "k-hours");
  for (const PartFigures* part : parts_) {
    std::printf("%-17s %-44s %5llu %7llu %5llu %8llu %5llu %9llu %6llu %9llu %7.3f\n",
                part->name.c_str(), part->points.c_str(), (unsigned long long)part->runs,
                (unsigned long long)part->crashes, (unsigned long long)part->leaks,
                (unsigned long long)part->verifier, (unsigned long long)part->hangs,
                (unsigned long long)part->notConverged, (unsigned long long)part->checks,
                (unsigned long long)part->presents, part->kernelSeconds / 3600.0);
  }
  std::printf("(not conv.: far sides that never showed the last acknowledged picture once the "
              "fault was over; checks: far sides checked; k-hours: hours of kernel time)\n");
  if (!removalPlaces_.empty()) std::printf("removal points:\n");
  for (const auto& place : removalPlaces_) {
    std::printf("  %4d %s\n", place.second, place.first.c_str());
  }
}

int Campaign::Run() {
  auto began = std::chrono::steady_clock::now();
  // The fault parts need the recording run's sites, transfers and calls.
  if ((Wanted("sites") || Wanted("usb") || Wanted("removal")) && !Record()) return 1;
  if (Wanted("sites")) Sites();
  if (Wanted("usb")) UsbFaults();
  if (Wanted("removal")) Removals();
  if (Wanted("stress")) Stress();
  if (Wanted("soak")) Soak();
  pool_.Drain();
  PrintTable();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("\n%s campaign: %.0f s of real time, %d runs at once\n",
              options_.quick ? "quick" : "full", seconds, options_.jobs);
  size_t shown = 0;
  for (const Failure& failure : failures_) {
    if (shown++ == 20) {
      std::printf("... and %zu more failed runs\n", failures_.size() - 20);
      break;
    }
    std::printf("FAILED: %s\n%s", failure.run.c_str(), failure.detail.c_str());
  }
  return failures_.empty() ? 0 : 1;
}

bool ParseOptions(int argc, char** argv, CampaignOptions* options) {
  for (int i = 0; i < argc; i++) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--quick") {
      options->quick = true;
    } else if (arg == "--jobs" && hasValue) {
      options->jobs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--limit" && hasValue) {
      options->limitSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && hasValue) {
      options->only = argv[++i];
    } else if (arg == "--one" && hasValue) {
      options->one = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: kxsim reliability [--quick] [--jobs N] [--limit SECONDS] "
                   "[--only PART,...]\n"
                   "  parts: sites, usb, removal, stress, soak (default: all)\n"
                   "       kxsim reliability --one site:FILE:LINE|stall:N|timeout:N|short:N|"
                   "gone:N|call:N|stress:SEED|soak:SECONDS\n"
                   "  (--one: that run alone, in this process, with every diagnostic)\n");
      return false;
    }
  }
  return true;
}

// One run as the campaign describes it, to look at what went wrong.
int RunOne(const std::string& spec) {
  size_t colon = spec.find(':');
  std::string kind = spec.substr(0, colon);
  std::string value = colon == std::string::npos ? "" : spec.substr(colon + 1);
  ScenarioFaults faults;
  uint64_t number = std::strtoull(value.c_str(), nullptr, 10);
  const std::pair<const char*, UsbTransferEvent> events[] = {
      {"stall", UsbTransferEvent::Stall},
      {"timeout", UsbTransferEvent::Timeout},
      {"short", UsbTransferEvent::Short},
      {"gone", UsbTransferEvent::Unplug}};
  for (const auto& event : events) {
    if (kind == event.first) {
      faults.transfer = number;
      faults.event = event.second;
    }
  }
  if (kind == "site") faults.failSite = value;
  if (kind == "call") faults.unplugAtCall = number;
  if (kind == "stress") {
    faults.stressThreads = 4;
    faults.stressActions = 400;
    faults.seed = uint32_t(number);
  }
  if (kind == "soak") faults.soakSeconds = LONGLONG(number);
  ScenarioOutcome outcome;
  {
    hostk::ManagedThreadScope scope("campaign");
    outcome = RunPlan(faults);
  }
  for (const std::string& refusal : outcome.refusals) std::printf("refused: %s\n", refusal.c_str());
  std::printf("transfers %llu, allocation calls %llu, calls failed %llu, presents %llu, %.1f s "
              "of kernel time, display checks %d, not converged %d %s\n%s%s\n",
              (unsigned long long)outcome.transfers, (unsigned long long)outcome.allocationCalls,
              (unsigned long long)outcome.siteFailures, (unsigned long long)outcome.presents,
              outcome.kernelSeconds, outcome.displaysChecked, outcome.notConverged,
              outcome.convergence.c_str(), outcome.leaks.c_str(), outcome.poolDrift.c_str());
  bool clean = outcome.notConverged == 0 && outcome.leaks.empty() && outcome.poolDrift.empty();
  return clean ? 0 : 1;
}

}  // namespace

int RunReliability(int argc, char** argv) {
  CampaignOptions options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  if (!options.one.empty()) return RunOne(options.one);
  Campaign campaign(options);
  return campaign.Run();
}

}  // namespace kxsim
