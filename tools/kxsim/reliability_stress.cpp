// The stress and the soak: four displays of one adapter, driven from several threads at random,
// or steadily for a long time.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "host/hostk.h"
#include "pool_growth.h"
#include "reliability_desk.h"
#include "reliability_scenario.h"

namespace kxsim {
namespace {

constexpr int kDisplays = 4;

// One display of the stress: its state behind a kernel mutex, since any thread may act on it.
struct StressSlot {
  LONG id = 0;
  KMUTEX lock;
  std::unique_ptr<DeskDisplayState> state;  // null while detached
};

void Lock(KMUTEX* mutex) { KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr); }
void Unlock(KMUTEX* mutex) { KeReleaseMutex(mutex, FALSE); }

class FourDisplays {
 public:
  bool Start(const ScenarioFaults& plan);
  void Finish(const char* where);
  ScenarioOutcome Outcome();

  CampaignDesk desk;
  StressSlot slots[kDisplays];
  KMUTEX pnpLock;  // one detach, attach, query-stop or power transition at a time
  LONGLONG began = 0;
};

bool FourDisplays::Start(const ScenarioFaults& plan) {
  hostk::AllocationSitesReset();
  KeInitializeMutex(&pnpLock, 0);
  for (int i = 0; i < kDisplays; i++) {
    slots[i].id = i + 1;
    KeInitializeMutex(&slots[i].lock, 0);
  }
  began = hostk::ClockNow();
  if (!desk.Plug(plan) || desk.Gone()) return false;
  for (StressSlot& slot : slots) {
    desk.Session().Adapter().AnnounceDisplay(CampaignDesk::DisplayReport(slot.id));
  }
  desk.WaitForChildren(kDisplays);
  for (const std::string& path : desk.StartedChildren()) {
    std::unique_ptr<DeskDisplayState> state = desk.OpenDisplay(path);
    if (state == nullptr || state->id < 1 || state->id > kDisplays) continue;
    slots[state->id - 1].state = std::move(state);
  }
  return true;
}

void FourDisplays::Finish(const char* where) {
  std::vector<DeskDisplayState*> displays;
  for (StressSlot& slot : slots) {
    if (slot.state != nullptr) displays.push_back(slot.state.get());
  }
  desk.Checkpoint(where, displays);
  for (StressSlot& slot : slots) {
    if (slot.state != nullptr) desk.StopDisplay(*slot.state);
    slot.state.reset();
  }
  desk.Unplug();
}

ScenarioOutcome FourDisplays::Outcome() {
  ScenarioOutcome outcome = desk.Outcome();
  outcome.kernelSeconds = double(hostk::ClockNow() - began) / double(kOneSecond);
  outcome.leaks = hostk::LeakReport();
  return outcome;
}

// --- The stress ---

struct StressThread {
  FourDisplays* desk = nullptr;
  int actions = 0;
  uint32_t seed = 0;
  KEVENT done;  // set as the thread's last act as the kernel's
  uint64_t presents = 0;
};

PixelRect RandomRect(std::mt19937& random, int width, int height) {
  int left = int(random() % uint32_t(width));
  int top = int(random() % uint32_t(height));
  int right = left + 1 + int(random() % uint32_t(width - left));
  int bottom = top + 1 + int(random() % uint32_t(height - top));
  return {left, top, right, bottom};
}

// The display stack lets go of the output, the adapter forgets the display, and it comes back by
// the attach control code: a new child, a display driver on it.
void DetachAndAttach(FourDisplays& four, StressSlot& slot) {
  CampaignDesk& desk = four.desk;
  AdapterClient* client = desk.Client();
  if (client == nullptr || desk.Gone()) return;
  size_t attached = 0;
  for (StressSlot& other : four.slots) attached += other.state != nullptr;
  if (slot.state != nullptr) {
    desk.StopDisplay(*slot.state);
    slot.state.reset();
    desk.Note("detach", client->DetachDisplay(ULONG(slot.id)));
    desk.WaitForChildren(--attached);
  }
  NTSTATUS status = client->AttachDisplay(CampaignDesk::DisplayReport(slot.id));
  desk.Note("attach", status);
  if (!NT_SUCCESS(status)) return;
  desk.WaitForChildren(attached + 1);
  for (const std::string& path : desk.StartedChildren()) {
    bool known = false;
    for (StressSlot& other : four.slots) {
      known |= other.state != nullptr && other.state->instancePath == path;
    }
    if (known) continue;
    std::unique_ptr<DeskDisplayState> state = desk.OpenDisplay(path);
    if (state != nullptr && state->id == slot.id) slot.state = std::move(state);
  }
}

void StressAction(StressThread& self, std::mt19937& random) {
  FourDisplays& four = *self.desk;
  CampaignDesk& desk = four.desk;
  StressSlot& slot = four.slots[random() % kDisplays];
  uint32_t pick = random() % 100;
  if (pick < 72) {
    Lock(&slot.lock);
    if (slot.state != nullptr && slot.state->shown.width != 0) {
      PixelRect rect = RandomRect(random, slot.state->shown.width, slot.state->shown.height);
      self.presents += desk.Present(*slot.state, rect, true);
    }
    Unlock(&slot.lock);
  } else if (pick < 80) {
    Lock(&slot.lock);
    DeskMode mode = pick % 2 ? kDeskPreferred : kDeskSecondMode;
    if (slot.state != nullptr) desk.SetMode(*slot.state, mode);
    Unlock(&slot.lock);
  } else if (pick < 86) {
    Lock(&four.pnpLock);
    Lock(&slot.lock);
    DetachAndAttach(four, slot);
    Unlock(&slot.lock);
    Unlock(&four.pnpLock);
  } else if (pick < 92) {
    Lock(&four.pnpLock);
    if (!desk.Gone()) hostk::PnpQueryStopDevice(desk.Session().Port().Pdo(), true);
    Unlock(&four.pnpLock);
  } else if (pick < 96) {
    Lock(&four.pnpLock);
    desk.Note("sleep", hostk::PoSetSystemPowerState(PowerSystemSleeping3));
    desk.Note("wake", hostk::PoSetSystemPowerState(PowerSystemWorking));
    Unlock(&four.pnpLock);
  }
  desk.Session().Settle(LONGLONG(random() % 20) * kOneSecond / 1000);
}

void StressBody(StressThread& self) {
  std::mt19937 random(self.seed);
  for (int i = 0; i < self.actions && !self.desk->desk.Gone(); i++) StressAction(self, random);
}

// A thread of the display stack's process (its user buffers are valid only there), returned once
// it is the kernel's, so that virtual time waits for it.
std::thread StartStressThread(StressThread* self) {
  std::atomic<bool> attached{false};
  std::thread thread([self, &attached] {
    hostk::ManagedThreadScope scope("stress");
    attached = true;
    StressBody(*self);
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
  });
  while (!attached) std::this_thread::yield();
  return thread;
}

}  // namespace

ScenarioOutcome RunStress(const ScenarioFaults& plan) {
  FourDisplays four;
  uint64_t presents = 0;
  if (four.Start(plan)) {
    std::vector<StressThread> threads(size_t(plan.stressThreads));
    std::vector<std::thread> running;
    for (size_t i = 0; i < threads.size(); i++) {
      threads[i].desk = &four;
      threads[i].actions = plan.stressActions;
      threads[i].seed = plan.seed * 7919u + uint32_t(i);
      KeInitializeEvent(&threads[i].done, NotificationEvent, FALSE);
      running.push_back(StartStressThread(&threads[i]));
    }
    // Waited for in the kernel, so that the clock moves; joined once each is done.
    for (size_t i = 0; i < threads.size(); i++) {
      KeWaitForSingleObject(&threads[i].done, Executive, KernelMode, FALSE, nullptr);
      running[i].join();
      presents += threads[i].presents;
    }
    // A present the last query-stop or sleep held is sent once the adapter runs again.
    for (StressSlot& slot : four.slots) {
      if (slot.state != nullptr) four.desk.Present(*slot.state, {0, 0, 16, 16});
    }
  }
  four.Finish("after the stress");
  ScenarioOutcome outcome = four.Outcome();
  outcome.presents = presents;
  return outcome;
}

// --- The soak ---

namespace {

// One second of presents: each display a 64 x 64 rectangle moving over it, 60 times, each frame
// at its own time from `start` (the clock moves in ticks, so a frame waits only for what is left).
uint64_t PresentOneSecond(FourDisplays& four, LONGLONG start, LONGLONG second) {
  uint64_t presents = 0;
  for (int frame = 0; frame < 60 && !four.desk.Gone(); frame++) {
    LONGLONG due = start + (second * 60 + frame) * kOneSecond / 60;
    if (hostk::ClockNow() < due) four.desk.Session().Settle(due - hostk::ClockNow());
    for (StressSlot& slot : four.slots) {
      if (slot.state == nullptr || slot.state->shown.width == 0) continue;
      int step = int(second * 60 + frame);
      int left = (step * 16) % (slot.state->shown.width - 64);
      int top = (step * 8 + slot.id * 40) % (slot.state->shown.height - 64);
      presents += four.desk.Present(*slot.state, {left, top, left + 64, top + 64});
    }
  }
  return presents;
}

}  // namespace

ScenarioOutcome RunSoak(const ScenarioFaults& plan) {
  FourDisplays four;
  uint64_t presents = 0;
  std::vector<PoolLevel> samples;
  if (four.Start(plan)) {
    LONGLONG start = hostk::ClockNow();
    for (LONGLONG second = 0; second < plan.soakSeconds && !four.desk.Gone(); second++) {
      presents += PresentOneSecond(four, start, second);
      LONGLONG every = plan.soakSampleSeconds;
      if ((second + 1) % every != 0) continue;
      four.desk.WaitUntilIdle(10 * kOneSecond);
      samples.push_back(SamplePool());
    }
  }
  four.Finish("after the soak");
  ScenarioOutcome outcome = four.Outcome();
  outcome.presents = presents;
  outcome.poolDrift = SustainedGrowth(samples);
  return outcome;
}

}  // namespace kxsim
