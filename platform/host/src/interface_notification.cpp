// Device interface notifications: the history of arrivals and removals, the watches clients
// register, and the worker that calls them.
//
// The worker starts when a change is queued for a watch and ends once the queue is empty, as the
// Plug and Play manager's enumeration worker does: it never waits for work, so an idle host kernel
// has no notification thread at all. A change nobody watches only goes into the history.
#include "interface_notification.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "host/hostk/bugcheck.h"
#include "host/hostk/clock.h"
#include "host/hostk/irql.h"
#include "host/ke.h"
#include "host/ntstatus.h"

namespace hostk {
namespace {

struct Watch {
  int id;
  GUID classGuid;
  std::function<void(const DeviceInterfaceEvent&)> callback;
  uint64_t since;  // changes numbered above this are its to hear
};

struct Pending {
  DeviceInterfaceEvent event;
  uint64_t number;
  int onlyWatch;  // an existing interface told to one new watch; 0 for a change
};

struct Notifications {
  std::mutex lock;
  std::vector<DeviceInterfaceEvent> history;
  std::vector<Watch> watches;
  std::deque<Pending> queue;
  uint64_t changes = 0;
  int nextWatch = 1;
  PKTHREAD worker = nullptr;  // referenced while alive
  int delivering = 0;         // the watch whose callback runs now
  KEVENT idle;                // signalled while no callback runs
};

Notifications& N() {
  static Notifications* notifications = [] {
    Notifications* made = new Notifications;  // outlives detached threads at exit
    KeInitializeEvent(&made->idle, NotificationEvent, TRUE);
    return made;
  }();
  return *notifications;
}

Watch* FindLocked(int id) {
  for (Watch& watch : N().watches) {
    if (watch.id == id) return &watch;
  }
  return nullptr;
}

bool HearsLocked(const Watch& watch, const Pending& item) {
  if (!GuidEqual(watch.classGuid, item.event.classGuid)) return false;
  return item.onlyWatch != 0 ? item.onlyWatch == watch.id : item.number > watch.since;
}

// Calls one watch's callback, unless it was ended meanwhile.
void Deliver(int id, const DeviceInterfaceEvent& event) {
  std::function<void(const DeviceInterfaceEvent&)> callback;
  {
    std::lock_guard<std::mutex> guard(N().lock);
    Watch* watch = FindLocked(id);
    if (watch == nullptr) return;
    callback = watch->callback;  // a copy: the callback may end its own watch
    N().delivering = id;
    KeClearEvent(&N().idle);
  }
  callback(event);
  std::lock_guard<std::mutex> guard(N().lock);
  N().delivering = 0;
  KeSetEvent(&N().idle, IO_NO_INCREMENT, FALSE);
}

void WorkerMain(void*) {
  for (;;) {
    Pending item;
    std::vector<int> listeners;
    {
      std::unique_lock<std::mutex> guard(N().lock);
      if (N().queue.empty()) {
        PKTHREAD self = N().worker;
        N().worker = nullptr;
        guard.unlock();
        ObfDereferenceObject(self);
        return;
      }
      item = N().queue.front();
      N().queue.pop_front();
      for (const Watch& watch : N().watches) {
        if (HearsLocked(watch, item)) listeners.push_back(watch.id);
      }
    }
    for (int id : listeners) Deliver(id, item.event);
  }
}

// The caller holds the lock.
void QueueLocked(const Pending& item) {
  N().queue.push_back(item);
  if (N().worker == nullptr) {
    N().worker = StartHostThreadObject("device interface notifications", WorkerMain, nullptr);
  }
}

bool OnWorker() {
  std::lock_guard<std::mutex> guard(N().lock);
  return N().worker != nullptr && N().worker == KeGetCurrentThread();
}

}  // namespace

void IoNoteInterfaceChange(bool arrival, const GUID& classGuid, const std::string& symbolicLink) {
  std::lock_guard<std::mutex> guard(N().lock);
  Pending item = {{arrival, classGuid, symbolicLink}, ++N().changes, 0};
  N().history.push_back(item.event);
  bool watched = std::any_of(N().watches.begin(), N().watches.end(),
                             [&](const Watch& watch) { return HearsLocked(watch, item); });
  if (watched) QueueLocked(item);
}

int IoWatchDeviceInterfaces(const GUID& classGuid,
                            std::function<void(const DeviceInterfaceEvent&)> callback,
                            bool includeExisting) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoWatchDeviceInterfaces");
  int id = 0;
  // Under the table's lock: no change slips between the existing interfaces and the watch.
  IoVisitEnabledInterfaces(classGuid, [&](const std::vector<std::string>& links) {
    std::lock_guard<std::mutex> guard(N().lock);
    id = N().nextWatch++;
    N().watches.push_back({id, classGuid, std::move(callback), N().changes});
    if (!includeExisting) return;
    for (const std::string& link : links) QueueLocked({{true, classGuid, link}, 0, id});
  });
  return id;
}

void IoUnwatchDeviceInterfaces(int watch) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoUnwatchDeviceInterfaces");
  // A callback ending its own watch is the callback in progress: nothing to wait for.
  bool fromCallback = OnWorker();
  std::unique_lock<std::mutex> guard(N().lock);
  auto& watches = N().watches;
  watches.erase(std::remove_if(watches.begin(), watches.end(),
                               [&](const Watch& entry) { return entry.id == watch; }),
                watches.end());
  while (!fromCallback && N().delivering == watch) {
    guard.unlock();
    KeWaitForSingleObject(&N().idle, Executive, KernelMode, FALSE, nullptr);
    guard.lock();
  }
}

void IoWaitForInterfaceNotifications() {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoWaitForInterfaceNotifications");
  if (OnWorker()) {
    BugCheck(kDriverVerifierDetectedViolation,
             "IoWaitForInterfaceNotifications called from a notification "
             "callback: the worker "
             "would wait for itself");
  }
  for (;;) {
    PKTHREAD worker;
    {
      std::lock_guard<std::mutex> guard(N().lock);
      worker = N().worker;
      if (worker == nullptr) return;
      ObfReferenceObject(worker);
    }
    KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(worker);
  }
}

std::vector<DeviceInterfaceEvent> IoDeviceInterfaceEvents(const GUID& classGuid) {
  std::lock_guard<std::mutex> guard(N().lock);
  std::vector<DeviceInterfaceEvent> events;
  for (const DeviceInterfaceEvent& event : N().history) {
    if (GuidEqual(event.classGuid, classGuid)) events.push_back(event);
  }
  return events;
}

std::string IoInterfaceNotificationReport() {
  std::lock_guard<std::mutex> guard(N().lock);
  std::string report;
  for (const Watch& watch : N().watches) {
    report += "device interface watch " + std::to_string(watch.id) + " for " +
              GuidToString(watch.classGuid) +
              " still registered (IoUnwatchDeviceInterfaces ends it)\n";
  }
  if (N().worker != nullptr) {
    report += "device interface notifications still being delivered, " +
              std::to_string(N().queue.size()) +
              " more queued (IoWaitForInterfaceNotifications waits for them)\n";
  }
  return report;
}

void IoInterfaceNotificationsResetForNextTest() {
  std::lock_guard<std::mutex> guard(N().lock);
  N().history.clear();
  N().watches.clear();
  // A worker still running ends after the callback in progress; the report named it.
  N().queue.clear();
}

}  // namespace hostk
