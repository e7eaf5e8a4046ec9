// The Plug and Play manager's enumeration: IoInvalidateDeviceRelations queues it, the manager's
// worker asks the bus for its children, interrogates and starts the new ones, and removes the ones
// gone.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

#include "host/hostk/bugcheck.h"
#include "host/hostk/client.h"
#include "host/hostk/clock.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/hostk/pool.h"
#include "host/hostk/registry.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

constexpr ULONG kUnnamedTag = PoolTag("None");  // ExAllocatePool's
constexpr size_t kMaxDeviceIdLength = 200;      // MAX_DEVICE_ID_LEN, the terminator included
constexpr ULONG kLocaleEnglishUs = 0x409;

// An enumeration of a stack, or the removal of a subtree that waited for handles.
struct Item {
  PDEVICE_OBJECT pdo;
  bool removal;
  bool operator==(const Item& other) const {
    return pdo == other.pdo && removal == other.removal;
  }
};

struct Queue {
  std::mutex lock;
  std::deque<Item> items;  // each holds a reference on its device
  PKTHREAD worker = nullptr;         // referenced while alive
};

Queue& Q() {
  static Queue* queue = new Queue;  // outlives detached threads at exit
  return *queue;
}

std::string Narrow(const std::u16string& text) { return Utf16ToUtf8(text); }

// The pool block of an answer, which the manager frees as paged pool.
PoolBlock CheckAnswer(const void* answer, PDEVICE_OBJECT device, const char* what) {
  PoolBlock block;
  if (!PoolBlockAt(answer, &block)) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0, (ULONG_PTR)device, (ULONG_PTR)answer, 0,
                    "%s: the answer %p for %p is not the start of a pool block (the Plug and "
                    "Play manager frees answers with ExFreePool)",
                    what, answer, (void*)device);
  }
  if ((block.type & 1) == 0) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0, (ULONG_PTR)device, (ULONG_PTR)answer,
                    block.type,
                    "%s: the answer %p for %p is from non-paged pool (type %u); answers to Plug "
                    "and Play queries are paged pool",
                    what, answer, (void*)device, (unsigned)block.type);
  }
  if (block.tag == kUnnamedTag) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0, (ULONG_PTR)device, (ULONG_PTR)answer, 0,
                    "%s: the answer %p for %p was allocated without a pool tag", what, answer,
                    (void*)device);
  }
  return block;
}

// Sends a query and returns its answer (nullptr when it failed or gave none).
void* Query(PDEVICE_OBJECT device, UCHAR minor, const IO_STACK_LOCATION& parameters,
            NTSTATUS* status = nullptr) {
  ULONG_PTR information = 0;
  NTSTATUS result = PnpSendRequest(device, IRP_MJ_PNP, minor, &parameters, &information);
  if (status != nullptr) *status = result;
  return NT_SUCCESS(result) ? (void*)information : nullptr;
}

// The strings of an answer: one terminated string, or (multi) a list ended by an empty string.
// False when the terminator is not inside the block.
bool ReadStrings(const void* answer, const PoolBlock& block, bool multi,
                 std::vector<std::u16string>* strings) {
  const WCHAR* text = (const WCHAR*)answer;
  size_t count = block.size / sizeof(WCHAR);
  std::u16string current;
  for (size_t i = 0; i < count; i++) {
    if (text[i] != 0) {
      current += text[i];
      continue;
    }
    if (!multi || current.empty()) {
      if (!multi) strings->push_back(current);
      return true;
    }
    strings->push_back(current);
    current.clear();
  }
  return false;
}

// What is wrong with an identifier, or nullptr.
const char* IdentifierFault(const std::u16string& id, bool instance) {
  if (id.empty()) return "it is empty";
  if (id.size() >= kMaxDeviceIdLength) return "it is not shorter than MAX_DEVICE_ID_LEN (200)";
  for (char16_t c : id) {
    if (c < 0x20) return "it holds a control character";
    if (c == u' ') return "it holds a space";
    if (c > 0x7F) return "it holds a character above 0x7F";
    if (c == u',') return "it holds a comma";
    if (instance && c == u'\\') return "an instance identifier holds no backslash";
  }
  return nullptr;
}

const char* IdName(BUS_QUERY_ID_TYPE type) {
  switch (type) {
    case BusQueryDeviceID: return "BusQueryDeviceID";
    case BusQueryInstanceID: return "BusQueryInstanceID";
    case BusQueryHardwareIDs: return "BusQueryHardwareIDs";
    case BusQueryCompatibleIDs: return "BusQueryCompatibleIDs";
    case BusQueryContainerID: return "BusQueryContainerID";
    default: return "BusQuery?";
  }
}

// The platform's numbering of identifiers in an invalid-ID report.
ULONG_PTR IdKind(BUS_QUERY_ID_TYPE type) {
  switch (type) {
    case BusQueryDeviceID: return 1;
    case BusQueryInstanceID: return 2;
    case BusQueryHardwareIDs: return 3;
    default: return 4;
  }
}

[[noreturn]] void InvalidId(PDEVICE_OBJECT child, const void* answer, BUS_QUERY_ID_TYPE type,
                            const std::string& id, const char* fault) {
  BugCheckParamsF(kPnpDetectedFatalError, 0x3, (ULONG_PTR)child, (ULONG_PTR)answer, IdKind(type),
                  "invalid ID: child %p answered IRP_MN_QUERY_ID (%s) with \"%s\": %s",
                  (void*)child, IdName(type), id.c_str(), fault);
}

// IRP_MN_QUERY_ID. The device and instance identifiers are required, but a bus may fail their
// query (for want of memory, say): then the answer is empty. The lists may be missing.
std::vector<std::string> QueryIds(PDEVICE_OBJECT child, BUS_QUERY_ID_TYPE type) {
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.QueryId.IdType = type;
  NTSTATUS status;
  void* answer = Query(child, IRP_MN_QUERY_ID, parameters, &status);
  bool single = type == BusQueryDeviceID || type == BusQueryInstanceID;
  if (answer == nullptr) {
    if (single && NT_SUCCESS(status)) {
      char fault[64];
      snprintf(fault, sizeof fault, "no answer (status 0x%08X)", (unsigned)status);
      InvalidId(child, nullptr, type, "", fault);
    }
    return {};
  }
  PoolBlock block = CheckAnswer(answer, child, "IRP_MN_QUERY_ID");
  std::vector<std::u16string> ids;
  if (!ReadStrings(answer, block, !single, &ids)) {
    InvalidId(child, answer, type, "", "not terminated inside its pool block");
  }
  std::vector<std::string> out;
  for (const std::u16string& id : ids) {
    if (const char* fault = IdentifierFault(id, type == BusQueryInstanceID)) {
      InvalidId(child, answer, type, Narrow(id), fault);
    }
    out.push_back(Narrow(id));
  }
  ExFreePool(answer);
  return out;
}

// The container identifier a bus may give (Windows 7 on): a GUID in braces, or nothing.
std::string QueryContainerId(PDEVICE_OBJECT child) {
  if (GetWindowsVersion() < WindowsRelease::Windows7) return "";
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.QueryId.IdType = BusQueryContainerID;
  void* answer = Query(child, IRP_MN_QUERY_ID, parameters);
  if (answer == nullptr) return "";
  PoolBlock block = CheckAnswer(answer, child, "IRP_MN_QUERY_ID");
  std::vector<std::u16string> ids;
  if (!ReadStrings(answer, block, false, &ids)) {
    InvalidId(child, answer, BusQueryContainerID, "", "not terminated inside its pool block");
  }
  std::string id = Narrow(ids[0]);
  GUID guid;
  if (id.size() != 38 || id.front() != '{' || !GuidFromString(id, &guid)) {
    InvalidId(child, answer, BusQueryContainerID, id, "it is not a GUID in braces");
  }
  ExFreePool(answer);
  return id;
}

std::string QueryText(PDEVICE_OBJECT child, DEVICE_TEXT_TYPE type) {
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.QueryDeviceText.DeviceTextType = type;
  parameters.Parameters.QueryDeviceText.LocaleId = kLocaleEnglishUs;
  void* answer = Query(child, IRP_MN_QUERY_DEVICE_TEXT, parameters);
  if (answer == nullptr) return "";
  PoolBlock block = CheckAnswer(answer, child, "IRP_MN_QUERY_DEVICE_TEXT");
  std::vector<std::u16string> text;
  if (!ReadStrings(answer, block, false, &text)) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0, (ULONG_PTR)child, (ULONG_PTR)answer, 0,
                    "IRP_MN_QUERY_DEVICE_TEXT: the text of %p is not terminated inside its "
                    "pool block",
                    (void*)child);
  }
  ExFreePool(answer);
  return Narrow(text[0]);
}

// An answer that must hold at least `size` bytes.
void CheckAnswerSize(const void* answer, const PoolBlock& block, size_t size,
                     PDEVICE_OBJECT child, const char* what) {
  if (block.size < size) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0, (ULONG_PTR)child, (ULONG_PTR)answer,
                    block.size, "%s: the answer for %p is %zu bytes, %zu expected", what,
                    (void*)child, (size_t)block.size, size);
  }
}

// The objects of a relations answer (none for no answer), checked to fit its pool block, which
// is freed; their references are the caller's.
std::vector<PDEVICE_OBJECT> TakeRelations(void* answer, PDEVICE_OBJECT device) {
  if (answer == nullptr) return {};
  const char* what = "IRP_MN_QUERY_DEVICE_RELATIONS";
  PoolBlock block = CheckAnswer(answer, device, what);
  size_t header = offsetof(DEVICE_RELATIONS, Objects);
  CheckAnswerSize(answer, block, header, device, what);
  const DEVICE_RELATIONS* relations = (const DEVICE_RELATIONS*)answer;
  CheckAnswerSize(answer, block, header + (size_t)relations->Count * sizeof(PDEVICE_OBJECT),
                  device, what);
  std::vector<PDEVICE_OBJECT> objects(relations->Objects, relations->Objects + relations->Count);
  ExFreePool(answer);
  return objects;
}

void QueryBusInformation(PDEVICE_OBJECT child, PnpDeviceNodeInfo* info) {
  void* answer = Query(child, IRP_MN_QUERY_BUS_INFORMATION, IO_STACK_LOCATION{});
  if (answer == nullptr) return;
  PoolBlock block = CheckAnswer(answer, child, "IRP_MN_QUERY_BUS_INFORMATION");
  CheckAnswerSize(answer, block, sizeof(PNP_BUS_INFORMATION), child,
                  "IRP_MN_QUERY_BUS_INFORMATION");
  info->busInformation = true;
  memcpy(&info->busInformationAnswer, answer, sizeof(PNP_BUS_INFORMATION));
  ExFreePool(answer);
}

void QueryResourceRequirements(PDEVICE_OBJECT child, PnpDeviceNodeInfo* info) {
  void* answer = Query(child, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IO_STACK_LOCATION{});
  if (answer == nullptr) return;
  const char* what = "IRP_MN_QUERY_RESOURCE_REQUIREMENTS";
  PoolBlock block = CheckAnswer(answer, child, what);
  CheckAnswerSize(answer, block, offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List), child, what);
  ULONG listSize = ((const IO_RESOURCE_REQUIREMENTS_LIST*)answer)->ListSize;
  CheckAnswerSize(answer, block, listSize, child, what);
  info->resourceRequirementsSize = listSize;
  ExFreePool(answer);
}

// A child whose bus failed an identifier query gets a node the platform marks as failed: never
// started, and removed once its bus no longer reports it. Its name is made up, unique to it.
void AddUnidentifiedChild(PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
  PnpChildAnswers answers{};
  char instance[32];
  snprintf(instance, sizeof instance, "%p", (void*)child);
  answers.deviceId = "HOSTK\\UNIDENTIFIED";
  answers.instanceId = instance;
  PnpAddChildNode(parent, child, answers);
  PnpSetState(child, "Failed");
}

// Interrogates a new child, gives it a node under `parent`, and starts it.
void AddChild(PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
  PnpChildAnswers answers{};
  std::vector<std::string> deviceId = QueryIds(child, BusQueryDeviceID);
  std::vector<std::string> instanceId =
      deviceId.empty() ? std::vector<std::string>() : QueryIds(child, BusQueryInstanceID);
  if (instanceId.empty()) {
    AddUnidentifiedChild(parent, child);
    return;
  }
  answers.deviceId = deviceId[0];
  answers.instanceId = instanceId[0];
  answers.info.hardwareIds = QueryIds(child, BusQueryHardwareIDs);
  answers.info.compatibleIds = QueryIds(child, BusQueryCompatibleIDs);
  answers.info.containerId = QueryContainerId(child);
  DEVICE_CAPABILITIES capabilities;
  NTSTATUS capabilitiesStatus = PnpQueryCapabilities(child, &capabilities);
  answers.info.capabilities = capabilities;
  answers.info.description = QueryText(child, DeviceTextDescription);
  answers.info.location = QueryText(child, DeviceTextLocationInformation);
  QueryBusInformation(child, &answers.info);
  QueryResourceRequirements(child, &answers.info);
  PnpAddChildNode(parent, child, answers);
  if (!NT_SUCCESS(capabilitiesStatus)) {
    PnpSetState(child, "Failed");
    return;
  }
  PnpQueryUnknownInterface(child);
  // No resources to assign on this bus: both lists are empty.
  IO_STACK_LOCATION start = {};
  NTSTATUS status = PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_START_DEVICE, &start);
  if (!NT_SUCCESS(status)) {
    // The platform removes a device that failed to start; its bus still reports it.
    PnpRemoveSubtree(child, false, false);
    PnpSetState(child, "StartFailed");
    return;
  }
  PnpQueryAfterStart(child);
}

bool IsDeviceObject(PDEVICE_OBJECT device) {
  const ObjectType* type = ObTypeOf(device);
  return type != nullptr && strcmp(type->name, "Device") == 0;
}

[[noreturn]] void InvalidPdo(PDEVICE_OBJECT device, const char* rule) {
  bool object = IsDeviceObject(device);
  BugCheckParamsF(kPnpDetectedFatalError, 0x2, (ULONG_PTR)device,
                  object ? (ULONG_PTR)device->DriverObject : 0, 0, "invalid PDO %p: %s",
                  (void*)device, rule);
}

void CheckReported(PDEVICE_OBJECT parent, PDEVICE_OBJECT child) {
  if (!IsDeviceObject(child)) InvalidPdo(child, "reported in bus relations, not a device object");
  if (IoIsDeviceDeleted(child)) InvalidPdo(child, "reported in bus relations after its deletion");
  if (IoLowerDevice(child) != nullptr) {
    InvalidPdo(child, "reported in bus relations, but attached over another device");
  }
  PDEVICE_OBJECT owner = PnpParentOf(child);
  if ((owner == nullptr && PnpHasNode(child)) || (owner != nullptr && owner != parent)) {
    InvalidPdo(child, "reported in bus relations, but already in the tree under another parent");
  }
}

// Each object of a relations answer is listed once and carries a reference of its own for the
// manager: besides it, a device object has its creator's reference, and a known child its node's.
void CheckReportedOnceEachWithReference(PDEVICE_OBJECT parent,
                                        const std::vector<PDEVICE_OBJECT>& reported) {
  std::set<PDEVICE_OBJECT> seen;
  std::vector<PDEVICE_OBJECT> known = PnpChildrenOf(parent);
  for (PDEVICE_OBJECT child : reported) {
    if (!seen.insert(child).second) {
      InvalidPdo(child, "listed twice in one bus-relations answer");
    }
    bool isKnown = std::find(known.begin(), known.end(), child) != known.end();
    if (ObReferenceCount(child) < 2 + (isKnown ? 1 : 0)) {
      InvalidPdo(child, "listed in bus relations without a reference taken for the Plug and Play "
                        "manager (ObReferenceObject before the answer)");
    }
  }
}

}  // namespace

// One enumeration of the stack over `parent`, with the engine held.
void PnpEnumerateHeld(PDEVICE_OBJECT parent) {
  if (!PnpStartedOrDeferEnumeration(parent)) return;
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.QueryDeviceRelations.Type = BusRelations;
  NTSTATUS status;
  void* answer = Query(parent, IRP_MN_QUERY_DEVICE_RELATIONS, parameters, &status);
  if (!NT_SUCCESS(status)) return;  // the children stay as they were
  std::vector<PDEVICE_OBJECT> reported = TakeRelations(answer, parent);
  for (PDEVICE_OBJECT child : reported) CheckReported(parent, child);
  CheckReportedOnceEachWithReference(parent, reported);
  // The ones gone first, so that a new child may take over an instance identifier.
  for (PDEVICE_OBJECT known : PnpChildrenOf(parent)) {
    if (std::find(reported.begin(), reported.end(), known) == reported.end()) {
      PnpRemoveSubtree(known, true, false);
    }
  }
  std::vector<PDEVICE_OBJECT> known = PnpChildrenOf(parent);
  for (PDEVICE_OBJECT child : reported) {
    // A node holds the reference of the report that made it; later reports' are dropped.
    if (std::find(known.begin(), known.end(), child) != known.end()) {
      ObfDereferenceObject(child);
      continue;
    }
    AddChild(parent, child);
  }
}

namespace {

void WorkerMain(void*) {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> guard(Q().lock);
      if (Q().items.empty()) {
        PKTHREAD self = Q().worker;
        Q().worker = nullptr;
        guard.unlock();
        ObfDereferenceObject(self);
        return;
      }
      item = Q().items.front();
      Q().items.pop_front();
    }
    PnpAcquireEngine();
    if (item.removal) {
      PnpFinishDeferredRemoval(item.pdo);
    } else {
      PnpEnumerateHeld(item.pdo);
    }
    PnpReleaseEngine();
    ObfDereferenceObject(item.pdo);
  }
}

}  // namespace

void PnpQueryUnknownInterface(PDEVICE_OBJECT pdo) {
  // {4e1f7ad2-96b3-4c0a-9d25-6b1e0f3c8a71}: the host kernel's own, offered by no driver.
  static const GUID kNobodysInterface = {0x4e1f7ad2, 0x96b3, 0x4c0a,
                                         {0x9d, 0x25, 0x6b, 0x1e, 0x0f, 0x3c, 0x8a, 0x71}};
  INTERFACE answer = {};
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.QueryInterface.InterfaceType = &kNobodysInterface;
  parameters.Parameters.QueryInterface.Size = sizeof answer;
  parameters.Parameters.QueryInterface.Version = 1;
  parameters.Parameters.QueryInterface.Interface = &answer;
  ULONG_PTR information = 0;
  NTSTATUS status =
      PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, &parameters, &information);
  if (status != STATUS_NOT_SUPPORTED || answer.Size != 0 || answer.InterfaceReference != nullptr) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0, (ULONG_PTR)pdo, (ULONG_PTR)status, 0,
                    "IRP_MN_QUERY_INTERFACE for an interface no driver offers came back from the "
                    "stack of %p with 0x%08X%s; a driver passes down, or completes with the "
                    "request's own status, what it does not handle",
                    (void*)pdo, (unsigned)status,
                    answer.Size != 0 || answer.InterfaceReference != nullptr
                        ? " and the interface filled in"
                        : "");
  }
}

void PnpQueryAfterStart(PDEVICE_OBJECT pdo) {
  // A function driver may learn its capabilities from the stack below only now.
  DEVICE_CAPABILITIES capabilities;
  PnpQueryCapabilities(pdo, &capabilities);
  IO_STACK_LOCATION none = {};
  ULONG_PTR information = 0;
  NTSTATUS status =
      PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, &none, &information);
  PnpSetDeviceState(pdo, NT_SUCCESS(status) ? (PNP_DEVICE_STATE)information : 0);
}

void PnpQueryOtherRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.QueryDeviceRelations.Type = type;
  void* answer = Query(pdo, IRP_MN_QUERY_DEVICE_RELATIONS, parameters);
  // The devices a removal or ejection takes along: none of this bus's own, so only their
  // references come back.
  for (PDEVICE_OBJECT related : TakeRelations(answer, pdo)) ObfDereferenceObject(related);
}

NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
  *capabilities = {};
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.DeviceCapabilities.Capabilities = capabilities;
  return PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &parameters);
}

namespace {

void Queue(Item item) {
  std::lock_guard<std::mutex> guard(Q().lock);
  // A request already waiting covers this one.
  if (std::find(Q().items.begin(), Q().items.end(), item) != Q().items.end()) return;
  ObfReferenceObject(item.pdo);
  Q().items.push_back(item);
  if (Q().worker == nullptr) {
    Q().worker = StartHostThreadObject("Plug and Play manager", WorkerMain, nullptr);
  }
}

}  // namespace

void PnpQueueEnumeration(PDEVICE_OBJECT pdo) { Queue({pdo, false}); }

void PnpQueueRemoval(PDEVICE_OBJECT top) { Queue({top, true}); }

void PnpWaitForEnumeration() {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpWaitForEnumeration");
  for (;;) {
    PKTHREAD worker;
    {
      std::lock_guard<std::mutex> guard(Q().lock);
      worker = Q().worker;
      if (worker == nullptr) return;
      ObfReferenceObject(worker);
    }
    KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(worker);
  }
}

std::string PnpWorkerReport() {
  std::lock_guard<std::mutex> guard(Q().lock);
  if (Q().worker == nullptr) return "";
  return "Plug and Play enumeration still running, " + std::to_string(Q().items.size()) +
         " more queued (PnpWaitForEnumeration waits for them)\n";
}

}  // namespace hostk

using namespace hostk;

VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
  if (!PnpHasNode(DeviceObject)) {
    InvalidPdo(DeviceObject, "IoInvalidateDeviceRelations needs a physical device object the Plug "
                             "and Play manager knows (one given to AddDevice or reported by a bus)");
  }
  // Only bus relations change what the manager enumerates here.
  if (Type != BusRelations) return;
  PnpQueueEnumeration(DeviceObject);
}
