#include "reliability_runner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/hostk.h"

namespace kxsim {

struct RunPool::Child {
  pid_t pid = 0;
  std::string resultPath;
  std::string logPath;
  int limitSeconds = 0;
  std::chrono::steady_clock::time_point deadline;
  std::function<void(const RunVerdict&)> done;
};

namespace {

void WriteOutcome(const ScenarioOutcome& outcome, const std::string& path) {
  std::ofstream out(path);
  out << "started " << outcome.started << "\n"
      << "checked " << outcome.displaysChecked << "\n"
      << "notConverged " << outcome.notConverged << "\n"
      << "transfers " << outcome.transfers << "\n"
      << "calls " << outcome.allocationCalls << "\n"
      << "siteFailures " << outcome.siteFailures << "\n"
      << "presents " << outcome.presents << "\n"
      << "kernelSeconds " << outcome.kernelSeconds << "\n"
      << "violations " << outcome.violations << "\n";
  if (!outcome.convergence.empty()) out << "convergence " << outcome.convergence << "\n";
  if (!outcome.poolDrift.empty()) out << "poolDrift " << outcome.poolDrift << "\n";
  for (const std::string& refusal : outcome.refusals) out << "refusal " << refusal << "\n";
  for (const hostk::AllocationSite& site : outcome.sites) {
    out << "site " << site.where << " " << site.routine << " " << site.calls << "\n";
  }
  out << "sequence";
  for (uint32_t site : outcome.callSites) out << " " << site;
  out << "\nendpoints";
  for (UCHAR endpoint : outcome.transferEndpoints) out << " " << unsigned(endpoint);
  out << "\n";
  std::istringstream leaks(outcome.leaks);
  for (std::string line; std::getline(leaks, line);) out << "leak " << line << "\n";
  out << "end\n";
}

// False when the file is not complete (the child died writing it, or before).
bool ReadOutcome(const std::string& path, ScenarioOutcome* outcome) {
  std::ifstream in(path);
  bool complete = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    std::string rest;
    std::getline(fields >> std::ws, rest);
    if (key == "started") outcome->started = rest == "1";
    if (key == "checked") outcome->displaysChecked = std::atoi(rest.c_str());
    if (key == "notConverged") outcome->notConverged = std::atoi(rest.c_str());
    if (key == "transfers") outcome->transfers = std::strtoull(rest.c_str(), nullptr, 10);
    if (key == "calls") outcome->allocationCalls = std::strtoull(rest.c_str(), nullptr, 10);
    if (key == "siteFailures") outcome->siteFailures = std::strtoull(rest.c_str(), nullptr, 10);
    if (key == "violations") outcome->violations = uint32_t(std::atoi(rest.c_str()));
    if (key == "convergence") outcome->convergence = rest;
    if (key == "poolDrift") outcome->poolDrift = rest;
    if (key == "presents") outcome->presents = std::strtoull(rest.c_str(), nullptr, 10);
    if (key == "kernelSeconds") outcome->kernelSeconds = std::atof(rest.c_str());
    if (key == "refusal") outcome->refusals.push_back(rest);
    if (key == "leak") outcome->leaks += rest + "\n";
    if (key == "sequence") {
      std::istringstream numbers(rest);
      for (uint32_t site; numbers >> site;) outcome->callSites.push_back(site);
    }
    if (key == "endpoints") {
      std::istringstream numbers(rest);
      for (unsigned endpoint; numbers >> endpoint;) {
        outcome->transferEndpoints.push_back(UCHAR(endpoint));
      }
    }
    if (key == "site") {
      hostk::AllocationSite site;
      std::istringstream parts(rest);
      parts >> site.where >> site.routine >> site.calls;
      outcome->sites.push_back(site);
    }
    if (key == "end") complete = true;
  }
  return complete;
}

// The bug check's first lines, or the log's last ones.
std::string LogDigest(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  size_t bugCheck = std::string::npos;
  for (std::string line; std::getline(in, line);) {
    if (bugCheck == std::string::npos && line.find("*** BUG CHECK") != std::string::npos) {
      bugCheck = lines.size();
    }
    lines.push_back(line);
  }
  size_t tail = lines.size() > 6 ? lines.size() - 6 : 0;
  size_t first = bugCheck != std::string::npos ? bugCheck : tail;
  size_t last = std::min(lines.size(), first + (bugCheck != std::string::npos ? 2 : 6));
  std::string digest;
  for (size_t i = first; i < last; i++) digest += lines[i] + "\n";
  return digest;
}

// A sanitizer's report in the log: the child ends with _exit, which skips the sanitizer's own
// exit status, so its report is looked for here.
std::string SanitizerReport(const std::string& path) {
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.find("WARNING: ThreadSanitizer") != std::string::npos ||
        line.find("ERROR: AddressSanitizer") != std::string::npos ||
        line.find("runtime error:") != std::string::npos) {
      return line + "\n";
    }
  }
  return "";
}

[[noreturn]] void RunChild(const ScenarioFaults& faults, const std::string& resultPath,
                           const std::string& logPath) {
  FILE* log = std::freopen(logPath.c_str(), "w", stderr);
  if (log == nullptr) _exit(3);
  dup2(fileno(stderr), STDOUT_FILENO);
  ScenarioOutcome outcome;
  {
    hostk::ManagedThreadScope scope("campaign");
    outcome = RunPlan(faults);
  }
  WriteOutcome(outcome, resultPath);
  std::fflush(nullptr);
  _exit(0);
}

}  // namespace

RunPool::RunPool(int jobs, int limitSeconds) : jobs_(jobs), limitSeconds_(limitSeconds) {
  char pattern[] = "/tmp/kx-reliability-XXXXXX";
  const char* made = mkdtemp(pattern);
  directory_ = made != nullptr ? made : "/tmp";
}

RunPool::~RunPool() {
  Drain();
  std::string command = "rm -rf '" + directory_ + "'";
  if (directory_ != "/tmp" && std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "kxsim: %s not removed\n", directory_.c_str());
  }
}

void RunPool::Submit(const ScenarioFaults& faults, std::function<void(const RunVerdict&)> done) {
  while (int(running_.size()) >= jobs_) ReapOne(true);
  Child* child = new Child;
  std::string base = directory_ + "/run" + std::to_string(serial_++);
  child->resultPath = base + ".result";
  child->logPath = base + ".log";
  child->done = std::move(done);
  child->limitSeconds = LimitFor(faults);
  child->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(child->limitSeconds);
  std::fflush(nullptr);
  child->pid = fork();
  if (child->pid == 0) RunChild(faults, child->resultPath, child->logPath);
  running_.push_back(child);
}

int RunPool::LimitFor(const ScenarioFaults& faults) const {
  return limitSeconds_ + int(faults.soakSeconds / 2);
}

void RunPool::Drain() {
  while (!running_.empty()) ReapOne(true);
}

RunVerdict RunPool::RunAndWait(const ScenarioFaults& faults) {
  RunVerdict verdict;
  Submit(faults, [&verdict](const RunVerdict& v) { verdict = v; });
  Drain();
  return verdict;
}

// Reaps one child that ended, or kills one past its limit; with `block`, waits until one of the
// two happens. True when one was reaped.
bool RunPool::ReapOne(bool block) {
  for (;;) {
    for (size_t i = 0; i < running_.size(); i++) {
      Child* child = running_[i];
      int status = 0;
      bool timedOut = false;
      pid_t ended = waitpid(child->pid, &status, WNOHANG);
      if (ended == 0 && std::chrono::steady_clock::now() > child->deadline) {
        kill(child->pid, SIGKILL);
        waitpid(child->pid, &status, 0);
        timedOut = true;
      } else if (ended == 0) {
        continue;
      }
      running_.erase(running_.begin() + long(i));
      RunVerdict verdict = Judge(*child, status, timedOut);
      child->done(verdict);
      std::remove(child->resultPath.c_str());
      std::remove(child->logPath.c_str());
      delete child;
      return true;
    }
    if (!block || running_.empty()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

RunVerdict RunPool::Judge(const Child& child, int status, bool timedOut) {
  RunVerdict verdict;
  bool complete = ReadOutcome(child.resultPath, &verdict.outcome);
  if (timedOut) {
    verdict.hung = true;
    verdict.detail = "no end after " + std::to_string(child.limitSeconds) + " s\n" +
                     LogDigest(child.logPath);
    return verdict;
  }
  bool exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0 && complete;
  if (!exitedCleanly) {
    std::string digest = LogDigest(child.logPath);
    if (digest.find("HOST_DEADLOCK") != std::string::npos) {
      verdict.hung = true;
    } else if (digest.find("*** BUG CHECK") != std::string::npos) {
      verdict.verifier = true;
    } else {
      verdict.crashed = true;
    }
    verdict.detail = digest.empty() ? "ended with status " + std::to_string(status) : digest;
    return verdict;
  }
  std::string sanitizer = SanitizerReport(child.logPath);
  if (!sanitizer.empty()) {
    verdict.crashed = true;
    verdict.detail = sanitizer;
    return verdict;
  }
  // A pool that grows over a soak is a leak the end of the run would not show.
  verdict.leaked = !verdict.outcome.leaks.empty() || !verdict.outcome.poolDrift.empty();
  verdict.notConverged = verdict.outcome.notConverged;
  if (verdict.leaked) verdict.detail = verdict.outcome.leaks + verdict.outcome.poolDrift + "\n";
  if (verdict.notConverged != 0) verdict.detail += verdict.outcome.convergence + "\n";
  return verdict;
}

}  // namespace kxsim
