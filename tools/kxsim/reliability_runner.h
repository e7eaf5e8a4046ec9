// Runs the campaign's scenarios each in a process of its own, so that whatever a run does (a bug
// check, a crash, a hang) ends only that run and is counted: a fork of this program runs the
// scenario and writes its outcome to a file; its diagnostics go to a log kept for a failed run.
// The parent never joins the host kernel, so each child starts from a clean one.
#pragma once

#include <functional>
#include <string>

#include "reliability_scenario.h"

namespace kxsim {

struct RunVerdict {
  bool crashed = false;   // ended by a signal without a bug check, or a sanitizer's report
  bool verifier = false;  // a bug check other than a deadlock
  bool hung = false;      // a host deadlock, or no end within the real-time limit
  bool leaked = false;    // the host kernel not clean at the end, or a soak's pool not flat
  int notConverged = 0;
  std::string detail;     // what went wrong, first lines of the log or the report
  ScenarioOutcome outcome;
  bool Clean() const { return !crashed && !verifier && !hung && !leaked && notConverged == 0; }
};

class RunPool {
 public:
  // `jobs` children at once; each gets `limitSeconds` of real time, and a soak one more second for
  // every two of its kernel time.
  RunPool(int jobs, int limitSeconds);
  ~RunPool();
  RunPool(const RunPool&) = delete;
  RunPool& operator=(const RunPool&) = delete;

  // Starts the run when a slot is free (waiting for one otherwise); `done` is called from Drain or
  // a later Submit, in this thread.
  void Submit(const ScenarioFaults& faults, std::function<void(const RunVerdict&)> done);
  void Drain();
  // A run on this thread's process, for the one that records what the others need: its verdict.
  RunVerdict RunAndWait(const ScenarioFaults& faults);

 private:
  struct Child;
  bool ReapOne(bool block);
  RunVerdict Judge(const Child& child, int status, bool timedOut);
  int LimitFor(const ScenarioFaults& faults) const;

  int jobs_;
  int limitSeconds_;
  std::string directory_;
  int serial_ = 0;
  std::vector<Child*> running_;
};

}  // namespace kxsim
