// Removal after surprise removal waits for open handles: a device gone without warning hears
// IRP_MN_SURPRISE_REMOVAL at once, but its IRP_MN_REMOVE_DEVICE only once the last handle to any
// device of its stack (or of a stack under it) is closed. The close that ends the wait queues the
// removal on the manager's worker.
#include <algorithm>
#include <mutex>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/ke.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

struct Waits {
  std::mutex lock;
  std::vector<PDEVICE_OBJECT> removals;  // the tops of subtrees whose removal waits
  KEVENT none;                           // signalled while `removals` is empty
};

Waits& W() {
  static Waits* waits = [] {
    Waits* made = new Waits;  // outlives detached threads at exit
    KeInitializeEvent(&made->none, NotificationEvent, TRUE);
    return made;
  }();
  return *waits;
}

LONG StackHandles(PDEVICE_OBJECT pdo) {
  LONG count = 0;
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
    count += __atomic_load_n(&RecordOf(device)->openHandles, __ATOMIC_SEQ_CST);
  }
  return count;
}

LONG SubtreeHandles(PDEVICE_OBJECT top) {
  LONG count = 0;
  for (PDEVICE_OBJECT pdo : PnpSubtreePostOrder(top)) count += StackHandles(pdo);
  return count;
}

}  // namespace

void PnpNoteHandleOpened(PDEVICE_OBJECT device) {
  __atomic_add_fetch(&RecordOf(device)->openHandles, 1, __ATOMIC_SEQ_CST);
}

void PnpNoteHandleClosed(PDEVICE_OBJECT device) {
  __atomic_sub_fetch(&RecordOf(device)->openHandles, 1, __ATOMIC_SEQ_CST);
  std::vector<PDEVICE_OBJECT> ready;
  {
    std::lock_guard<std::mutex> guard(W().lock);
    for (PDEVICE_OBJECT top : W().removals) {
      if (SubtreeHandles(top) == 0) ready.push_back(top);
    }
  }
  for (PDEVICE_OBJECT top : ready) PnpQueueRemoval(top);
}

bool PnpDeferRemovalForHandles(PDEVICE_OBJECT top) {
  std::lock_guard<std::mutex> guard(W().lock);
  if (SubtreeHandles(top) == 0) return false;
  if (std::find(W().removals.begin(), W().removals.end(), top) == W().removals.end()) {
    W().removals.push_back(top);
  }
  KeClearEvent(&W().none);
  return true;
}

void PnpFinishDeferredRemoval(PDEVICE_OBJECT top) {
  {
    std::lock_guard<std::mutex> guard(W().lock);
    auto found = std::find(W().removals.begin(), W().removals.end(), top);
    // Queued twice by two closes: the first one did it.
    if (found == W().removals.end()) return;
    W().removals.erase(found);
  }
  PnpRemoveWhatSurpriseRemovalLeft(top);
  std::lock_guard<std::mutex> guard(W().lock);
  if (W().removals.empty()) KeSetEvent(&W().none, IO_NO_INCREMENT, FALSE);
}

void PnpDropDeferredRemoval(PDEVICE_OBJECT top) {
  std::lock_guard<std::mutex> guard(W().lock);
  auto found = std::find(W().removals.begin(), W().removals.end(), top);
  if (found == W().removals.end()) return;
  W().removals.erase(found);
  if (W().removals.empty()) KeSetEvent(&W().none, IO_NO_INCREMENT, FALSE);
}

void PnpWaitForRemovals() {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpWaitForRemovals");
  KeWaitForSingleObject(&W().none, Executive, KernelMode, FALSE, nullptr);
  PnpWaitForEnumeration();
}

std::string PnpRemovalWaitReport() {
  std::lock_guard<std::mutex> guard(W().lock);
  std::string report;
  for (PDEVICE_OBJECT top : W().removals) {
    report += "the removal of " + IoDeviceInstancePath(top) + " still waits for " +
              std::to_string(SubtreeHandles(top)) + " open handles\n";
  }
  return report;
}

void PnpRemovalWaitResetForNextTest() {
  std::lock_guard<std::mutex> guard(W().lock);
  W().removals.clear();
  KeSetEvent(&W().none, IO_NO_INCREMENT, FALSE);
}

}  // namespace hostk
