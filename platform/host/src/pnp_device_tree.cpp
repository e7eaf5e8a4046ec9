// The Plug and Play manager's device tree: a node per physical device object it knows, the states
// requests move them through, and removal children first.
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "host/hostk/bugcheck.h"
#include "host/hostk/client.h"
#include "host/hostk/irql.h"
#include "host/ke.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

struct DeviceNode {
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT parent = nullptr;  // nullptr for a root
  std::vector<PDEVICE_OBJECT> children;
  std::string instanceId;
  std::string state = "Added";
  bool enumerated = false;  // reported by a bus: holds the bus driver's reference
  bool missing = false;     // its bus left it out, or its parent is gone without warning
  bool enumerateOnStart = false;
  std::string stateBeforeQuery;  // set while StopPending or RemovePending
  PnpDeviceNodeInfo info{};
};

struct Tree {
  std::mutex lock;
  std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceNode>> nodes;
  std::vector<PDEVICE_OBJECT> roots;  // in the order added
  KEVENT engine;
};

Tree& T() {
  static Tree* tree = [] {
    Tree* made = new Tree;  // outlives detached threads at exit
    KeInitializeEvent(&made->engine, SynchronizationEvent, TRUE);
    return made;
  }();
  return *tree;
}

DeviceNode* FindLocked(PDEVICE_OBJECT pdo) {
  auto found = T().nodes.find(pdo);
  return found == T().nodes.end() ? nullptr : found->second.get();
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (toupper((unsigned char)a[i]) != toupper((unsigned char)b[i])) return false;
  }
  return true;
}

// Takes the node out of the tree; returns whether the caller must drop the bus driver's reference.
bool ForgetLocked(PDEVICE_OBJECT pdo) {
  DeviceNode* node = FindLocked(pdo);
  if (node == nullptr) return false;
  std::vector<PDEVICE_OBJECT>& siblings =
      node->parent == nullptr ? T().roots : FindLocked(node->parent)->children;
  for (auto it = siblings.begin(); it != siblings.end(); ++it) {
    if (*it == pdo) {
      siblings.erase(it);
      break;
    }
  }
  bool dropReference = node->enumerated;
  T().nodes.erase(pdo);
  return dropReference;
}

void SubtreePostOrderLocked(PDEVICE_OBJECT pdo, std::vector<PDEVICE_OBJECT>* order) {
  DeviceNode* node = FindLocked(pdo);
  if (node == nullptr) return;
  for (PDEVICE_OBJECT child : node->children) SubtreePostOrderLocked(child, order);
  order->push_back(pdo);
}

void ListLocked(PDEVICE_OBJECT pdo, int depth, std::vector<PnpDeviceNodeInfo>* out) {
  DeviceNode* node = FindLocked(pdo);
  PnpDeviceNodeInfo info = node->info;
  info.state = node->state;
  info.depth = depth;
  info.pdo = pdo;
  info.parentInstancePath = node->parent ? FindLocked(node->parent)->info.instancePath : "";
  out->push_back(info);
  for (PDEVICE_OBJECT child : node->children) ListLocked(child, depth + 1, out);
}

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT lower = IoLowerDevice(device); lower != nullptr;
       lower = IoLowerDevice(device)) {
    device = lower;
  }
  return device;
}

}  // namespace

void PnpAcquireEngine() {
  KeWaitForSingleObject(&T().engine, Executive, KernelMode, FALSE, nullptr);
}

void PnpReleaseEngine() { KeSetEvent(&T().engine, IO_NO_INCREMENT, FALSE); }

bool PnpHasNode(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(T().lock);
  return FindLocked(pdo) != nullptr;
}

void PnpAddRootNode(PDEVICE_OBJECT pdo) {
  std::string path = IoDeviceInstancePath(pdo);
  std::lock_guard<std::mutex> guard(T().lock);
  if (FindLocked(pdo) != nullptr) return;
  auto node = std::make_unique<DeviceNode>();
  node->pdo = pdo;
  node->info.instancePath = path;
  T().nodes.emplace(pdo, std::move(node));
  T().roots.push_back(pdo);
}

bool PnpStartedOrDeferEnumeration(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(T().lock);
  DeviceNode* node = FindLocked(pdo);
  if (node == nullptr) return false;
  if (node->state == "Started") return true;
  // A node not started yet, or stopped for a while, runs the enumeration once it is started again.
  for (const char* waiting : {"Added", "StopPending", "Stopped", "RemovePending"}) {
    if (node->state == waiting) node->enumerateOnStart = true;
  }
  return false;
}

std::vector<PDEVICE_OBJECT> PnpChildrenOf(PDEVICE_OBJECT parent) {
  std::lock_guard<std::mutex> guard(T().lock);
  DeviceNode* node = FindLocked(parent);
  return node == nullptr ? std::vector<PDEVICE_OBJECT>() : node->children;
}

PDEVICE_OBJECT PnpParentOf(PDEVICE_OBJECT child) {
  std::lock_guard<std::mutex> guard(T().lock);
  DeviceNode* node = FindLocked(child);
  return node == nullptr ? nullptr : node->parent;
}

std::string PnpAddChildNode(PDEVICE_OBJECT parent, PDEVICE_OBJECT child,
                            const PnpChildAnswers& answers) {
  std::string path = answers.deviceId + "\\" + answers.instanceId;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    DeviceNode* parentNode = FindLocked(parent);
    for (PDEVICE_OBJECT sibling : parentNode->children) {
      DeviceNode* other = FindLocked(sibling);
      if (SameText(other->instanceId, answers.instanceId)) {
        BugCheckParamsF(kPnpDetectedFatalError, 0x1, (ULONG_PTR)child, (ULONG_PTR)sibling, 0,
                        "duplicate PDO: the bus over %s reported %p with instance identifier "
                        "\"%s\", which its child %p (%s) has already; an instance identifier is "
                        "unique among the children of a bus",
                        parentNode->info.instancePath.c_str(), (void*)child,
                        answers.instanceId.c_str(), (void*)sibling,
                        other->info.instancePath.c_str());
      }
    }
    auto node = std::make_unique<DeviceNode>();
    node->pdo = child;
    node->parent = parent;
    node->instanceId = answers.instanceId;
    node->enumerated = true;
    node->info = answers.info;
    node->info.instancePath = path;
    parentNode->children.push_back(child);
    T().nodes.emplace(child, std::move(node));
  }
  IoSetDeviceInstancePath(child, path);
  return path;
}

void PnpSetState(PDEVICE_OBJECT pdo, const char* state) {
  std::lock_guard<std::mutex> guard(T().lock);
  if (DeviceNode* node = FindLocked(pdo)) node->state = state;
}

void PnpSetDeviceState(PDEVICE_OBJECT pdo, PNP_DEVICE_STATE state) {
  std::lock_guard<std::mutex> guard(T().lock);
  if (DeviceNode* node = FindLocked(pdo)) node->info.deviceState = state;
}

std::string PnpStateOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(T().lock);
  DeviceNode* node = FindLocked(pdo);
  return node == nullptr ? "" : node->state;
}

void PnpEnterPending(PDEVICE_OBJECT pdo, const char* pending) {
  std::lock_guard<std::mutex> guard(T().lock);
  DeviceNode* node = FindLocked(pdo);
  if (node == nullptr) return;
  node->stateBeforeQuery = node->state;
  node->state = pending;
}

void PnpCancelPending(PDEVICE_OBJECT pdo) {
  bool enumerate = false;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    DeviceNode* node = FindLocked(pdo);
    if (node == nullptr || node->stateBeforeQuery.empty()) return;
    node->state = node->stateBeforeQuery;
    node->stateBeforeQuery.clear();
    if (node->state == "Started") {
      enumerate = node->enumerateOnStart;
      node->enumerateOnStart = false;
    }
  }
  if (enumerate) PnpQueueEnumeration(pdo);
}

std::vector<PDEVICE_OBJECT> PnpSubtreePostOrder(PDEVICE_OBJECT top) {
  std::lock_guard<std::mutex> guard(T().lock);
  std::vector<PDEVICE_OBJECT> order;
  SubtreePostOrderLocked(top, &order);
  return order;
}

void PnpNoteRequestDone(PDEVICE_OBJECT device, UCHAR minor, NTSTATUS status) {
  PDEVICE_OBJECT pdo = BottomOf(device);
  bool enumerate = false;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    DeviceNode* node = FindLocked(pdo);
    if (node == nullptr) return;
    if (minor == IRP_MN_START_DEVICE && NT_SUCCESS(status)) {
      node->state = "Started";
      node->stateBeforeQuery.clear();
      enumerate = node->enumerateOnStart;
      node->enumerateOnStart = false;
    } else if (minor == IRP_MN_SURPRISE_REMOVAL) {
      node->state = "SurpriseRemoved";
    }
  }
  if (enumerate) PnpQueueEnumeration(pdo);
}

// A bus driver deletes a child's device object in the removal that follows the report of its
// absence, or when its parent is removed; one still present keeps it, as its node does.
bool DeletionAllowedLocked(const DeviceNode* node) {
  if (node->state == "Removing" && node->missing) return true;
  const DeviceNode* parent = node->parent == nullptr ? nullptr : FindLocked(node->parent);
  return parent != nullptr && parent->state == "Removing";
}

void PnpNoteDeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(T().lock);
  DeviceNode* node = FindLocked(device);
  if (node == nullptr) return;
  if (node->enumerated && !DeletionAllowedLocked(node)) {
    BugCheckParamsF(kPnpDetectedFatalError, 0x2, (ULONG_PTR)device,
                    (ULONG_PTR)device->DriverObject, 0,
                    "IoDeleteDevice: the bus driver deleted its child %p (%s, %s) while the Plug "
                    "and Play manager still has it in the tree; a PDO is deleted only in the "
                    "IRP_MN_REMOVE_DEVICE that follows a bus-relations answer leaving it out, or "
                    "when its parent is removed",
                    (void*)device, node->info.instancePath.c_str(), node->state.c_str());
  }
  if (!node->enumerated && !node->children.empty()) {
    BugCheckF(kPnpDetectedFatalError, "IoDeleteDevice: %p (%s) deleted with children in the tree",
              (void*)device, node->info.instancePath.c_str());
  }
  // A child being removed leaves the tree once its removal request is done.
  if (!node->enumerated) ForgetLocked(device);
}

NTSTATUS PnpSendRemove(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PDRIVER_OBJECT driver = top == pdo ? nullptr : top->DriverObject;
  ObfDereferenceObject(top);
  NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
  if (driver != nullptr && driver->DeviceObject == nullptr) PnpUnloadDriver(driver);
  return status;
}

void PnpMarkMissing(PDEVICE_OBJECT top) {
  std::lock_guard<std::mutex> guard(T().lock);
  std::vector<PDEVICE_OBJECT> order;
  SubtreePostOrderLocked(top, &order);
  for (PDEVICE_OBJECT pdo : order) FindLocked(pdo)->missing = true;
}

namespace {

void SendSurpriseRemovals(const std::vector<PDEVICE_OBJECT>& order, PDEVICE_OBJECT top,
                          bool surpriseTopAlways) {
  for (PDEVICE_OBJECT pdo : order) {
    if (PnpStateOf(pdo) != "Started" && !(surpriseTopAlways && pdo == top)) continue;
    NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
    if (!NT_SUCCESS(status)) {
      BugCheck(kDriverVerifierDetectedViolation,
               "IRP_MN_SURPRISE_REMOVAL failed: drivers must not fail it", status,
               (ULONG_PTR)pdo);
    }
  }
}

// Takes the node out of the tree and drops the reference its bus report gave it.
void ForgetNode(PDEVICE_OBJECT pdo) {
  bool dropReference;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    dropReference = ForgetLocked(pdo);
  }
  if (dropReference) ObfDereferenceObject(pdo);
}

// Whether a node had its removal already and is kept only because its bus still reports it.
bool KeptAfterRemovalLocked(const DeviceNode* node) {
  return node->state == "Removed" || node->state == "StartFailed";
}

// One node's removal. A child still present keeps its node ("Removed") until its bus leaves it
// out, which brings the second removal, or until its parent is removed, which takes the child's
// node with it.
NTSTATUS RemoveNode(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard<std::mutex> guard(T().lock);
    DeviceNode* node = FindLocked(pdo);
    if (node != nullptr && KeptAfterRemovalLocked(node) && !node->missing) return STATUS_SUCCESS;
    if (node != nullptr) node->state = "Removing";
  }
  PnpDropDeferredRemoval(pdo);
  NTSTATUS status = PnpSendRemove(pdo);
  for (PDEVICE_OBJECT child : PnpChildrenOf(pdo)) ForgetNode(child);
  bool keep;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    DeviceNode* node = FindLocked(pdo);
    keep = node != nullptr && node->enumerated && !node->missing;
    if (keep) node->state = "Removed";
  }
  if (!keep) ForgetNode(pdo);
  return status;
}

}  // namespace

void PnpRemoveWhatSurpriseRemovalLeft(PDEVICE_OBJECT top) {
  for (PDEVICE_OBJECT pdo : PnpSubtreePostOrder(top)) RemoveNode(pdo);
}

NTSTATUS PnpRemoveSubtree(PDEVICE_OBJECT top, bool surprise, bool surpriseTopAlways) {
  std::vector<PDEVICE_OBJECT> order = PnpSubtreePostOrder(top);
  if (surprise) {
    PnpMarkMissing(top);
    SendSurpriseRemovals(order, top, surpriseTopAlways);
    if (PnpDeferRemovalForHandles(top)) return STATUS_PENDING;
  }
  NTSTATUS status = STATUS_SUCCESS;
  for (PDEVICE_OBJECT pdo : order) status = RemoveNode(pdo);
  return status;
}

std::vector<PnpDeviceNodeInfo> PnpDeviceTree() {
  std::lock_guard<std::mutex> guard(T().lock);
  std::vector<PnpDeviceNodeInfo> out;
  for (PDEVICE_OBJECT root : T().roots) ListLocked(root, 0, &out);
  return out;
}

PDEVICE_OBJECT PnpFindDevice(const std::string& instancePath) {
  std::lock_guard<std::mutex> guard(T().lock);
  for (const auto& entry : T().nodes) {
    if (SameText(entry.second->info.instancePath, instancePath)) return entry.first;
  }
  return nullptr;
}

std::string PnpReport() {
  std::string report = PnpWorkerReport() + PnpRemovalWaitReport();
  for (const PnpDeviceNodeInfo& node : PnpDeviceTree()) {
    report += "device node " + node.instancePath + " (" + node.state + ") still in the tree\n";
  }
  return report;
}

void PnpResetForNextTest() {
  PnpRemovalWaitResetForNextTest();
  std::vector<PDEVICE_OBJECT> references;
  {
    std::lock_guard<std::mutex> guard(T().lock);
    for (const auto& entry : T().nodes) {
      if (entry.second->enumerated) references.push_back(entry.first);
    }
    T().nodes.clear();
    T().roots.clear();
  }
  for (PDEVICE_OBJECT pdo : references) ObfDereferenceObject(pdo);
}

}  // namespace hostk
