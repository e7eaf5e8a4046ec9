// The Plug and Play manager's enumeration, driven by a small bus driver of the test's own: children
// reported in bus relations are interrogated, started and listed; children gone from a later answer
// are removed; a parent's removal removes its children first; broken rules are bug checks; and
// nothing the manager was handed (answers, references) is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/object.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "support/kernel_test_util.h"

namespace {

constexpr ULONG kRelationsTag = hostk::PoolTag("FbRl");
constexpr ULONG kAnswerTag = hostk::PoolTag("FbId");

struct Child {
  PDEVICE_OBJECT pdo = nullptr;
  std::string deviceId = "KXTEST\\DISPLAY";
  std::string instanceId;
  int index = 0;
  bool reported = false;
  bool failStart = false;
  bool failInstanceId = false;  // its instance identifier query fails for want of memory
  bool deleteWhenRemoved = false;  // deletes its PDO at every removal, reported or not
  bool claimsEveryInterface = false;
  PNP_DEVICE_STATE deviceState = 0;  // answers IRP_MN_QUERY_PNP_DEVICE_STATE when not 0
  std::string containerId;           // answers BusQueryContainerID when not empty
  // What the manager's requests carried.
  DEVICE_CAPABILITIES capabilitiesReceived = {};
  ULONG localeReceived = 0;
};

// One line per request a device of the bus saw, in order across the bus: "<who> <request>".
struct FakeBus {
  std::mutex lock;
  std::vector<std::string> log;
  std::vector<Child*> children;
  POOL_TYPE answerPool = PagedPool;
  // The relations query as it arrived.
  NTSTATUS relationsStatusIn = STATUS_SUCCESS;
  ULONG_PTR relationsInformationIn = 1;
  KIRQL relationsIrql = HIGH_LEVEL;
  // Faults of the bus-relations answer: the first child listed twice, or without its reference.
  bool listFirstTwice = false;
  bool listWithoutReference = false;
  PKTHREAD relationsThread = nullptr;
  // When set, the relations query waits for `release` after setting `entered`.
  bool holdRelations = false;
  KEVENT entered;
  KEVENT release;

  void Log(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    log.push_back(line);
  }
  std::vector<std::string> Lines(const std::string& who) {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> lines;
    for (const std::string& line : log) {
      if (line.compare(0, who.size() + 1, who + " ") == 0) lines.push_back(line.substr(who.size() + 1));
    }
    return lines;
  }
  size_t LastIndexOf(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = std::find(log.rbegin(), log.rend(), line);
    return found == log.rend() ? SIZE_MAX : (size_t)(log.rend() - found - 1);
  }
  size_t IndexOf(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = std::find(log.begin(), log.end(), line);
    return found == log.end() ? SIZE_MAX : (size_t)(found - log.begin());
  }
};

FakeBus* gBus = nullptr;

struct Extension {
  bool isFdo;
  PDEVICE_OBJECT lower;  // FDO only
  Child* child;          // PDO only
};

std::string Who(PDEVICE_OBJECT device) {
  Extension* ext = (Extension*)device->DeviceExtension;
  return ext->isFdo ? "fdo" : "child" + std::to_string(ext->child->index);
}

PWCHAR PoolString(const std::u16string& text) {
  size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(gBus->answerPool, bytes, kAnswerTag);
  memcpy(copy, text.c_str(), bytes);
  return copy;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(((Extension*)fdo->DeviceExtension)->lower, irp);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Extension* ext = (Extension*)fdo->DeviceExtension;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) return PassDown(fdo, irp);
      gBus->Log("fdo QUERY_DEVICE_RELATIONS");
      gBus->relationsStatusIn = irp->IoStatus.Status;
      gBus->relationsInformationIn = irp->IoStatus.Information;
      gBus->relationsIrql = KeGetCurrentIrql();
      gBus->relationsThread = KeGetCurrentThread();
      if (gBus->holdRelations) {
        KeSetEvent(&gBus->entered, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&gBus->release, Executive, KernelMode, FALSE, nullptr);
      }
      std::vector<PDEVICE_OBJECT> reported;
      for (Child* child : gBus->children) {
        if (child->reported) reported.push_back(child->pdo);
      }
      if (gBus->listFirstTwice && !reported.empty()) reported.push_back(reported[0]);
      size_t bytes = offsetof(DEVICE_RELATIONS, Objects) +
                     std::max<size_t>(1, reported.size()) * sizeof(PDEVICE_OBJECT);
      auto* relations =
          (PDEVICE_RELATIONS)ExAllocatePoolWithTag(gBus->answerPool, bytes, kRelationsTag);
      relations->Count = (ULONG)reported.size();
      for (size_t i = 0; i < reported.size(); i++) {
        if (!gBus->listWithoutReference) ObReferenceObject(reported[i]);
        relations->Objects[i] = reported[i];
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = (ULONG_PTR)relations;
      return PassDown(fdo, irp);
    }
    case IRP_MN_START_DEVICE:
      gBus->Log("fdo START_DEVICE");
      return PassDown(fdo, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      gBus->Log("fdo SURPRISE_REMOVAL");
      return PassDown(fdo, irp);
    case IRP_MN_REMOVE_DEVICE: {
      gBus->Log("fdo REMOVE_DEVICE");
      NTSTATUS status = PassDown(fdo, irp);
      // Children still present go with their parent.
      for (Child* child : gBus->children) {
        if (child->pdo != nullptr) IoDeleteDevice(child->pdo);
        child->pdo = nullptr;
      }
      IoDetachDevice(ext->lower);
      IoDeleteDevice(fdo);
      return status;
    }
    default:
      return PassDown(fdo, irp);
  }
}

NTSTATUS ChildPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Child* child = ((Extension*)pdo->DeviceExtension)->child;
  std::string who = Who(pdo);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
      gBus->Log(who + " QUERY_ID " + std::to_string(type));
      std::string index = std::to_string(child->index);
      switch (type) {
        case BusQueryDeviceID:
          return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(Wide(child->deviceId)));
        case BusQueryInstanceID:
          if (child->failInstanceId) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
          return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(Wide(child->instanceId)));
        case BusQueryHardwareIDs: {
          std::u16string ids = Wide(child->deviceId + "&REV_" + index) + u'\0' +
                               Wide(child->deviceId) + u'\0';
          return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(ids));
        }
        case BusQueryCompatibleIDs:
          return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(u"KXTEST\\GENERIC" + std::u16string(1, u'\0')));
        case BusQueryContainerID:
          if (child->containerId.empty()) break;
          return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(Wide(child->containerId)));
        default:
          break;
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      gBus->Log(who + " QUERY_CAPABILITIES");
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      child->capabilitiesReceived = *caps;
      caps->Address = (ULONG)child->index;
      caps->UINumber = (ULONG)child->index;
      caps->RawDeviceOK = 1;
      caps->SurpriseRemovalOK = 1;
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      DEVICE_TEXT_TYPE type = stack->Parameters.QueryDeviceText.DeviceTextType;
      gBus->Log(who + " QUERY_DEVICE_TEXT " + std::to_string(type));
      child->localeReceived = stack->Parameters.QueryDeviceText.LocaleId;
      std::string text = type == DeviceTextDescription ? "Test display " : "Port ";
      return Complete(irp, STATUS_SUCCESS,
                      (ULONG_PTR)PoolString(Wide(text + std::to_string(child->index))));
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
      gBus->Log(who + " QUERY_BUS_INFORMATION");
      auto* info = (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(
          gBus->answerPool, sizeof(PNP_BUS_INFORMATION), kAnswerTag);
      memset(info, 0, sizeof *info);
      info->LegacyBusType = PNPBus;
      info->BusNumber = 7;
      return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)info);
    }
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: {
      gBus->Log(who + " QUERY_RESOURCE_REQUIREMENTS");
      auto* list = (PIO_RESOURCE_REQUIREMENTS_LIST)ExAllocatePoolWithTag(
          gBus->answerPool, sizeof(IO_RESOURCE_REQUIREMENTS_LIST), kAnswerTag);
      memset(list, 0, sizeof *list);
      list->ListSize = sizeof(IO_RESOURCE_REQUIREMENTS_LIST);
      list->AlternativeLists = 1;
      list->List[0].Version = 1;
      list->List[0].Revision = 1;
      return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)list);
    }
    case IRP_MN_START_DEVICE:
      gBus->Log(who + " START_DEVICE");
      return Complete(irp, child->failStart ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
      gBus->Log(who + " SURPRISE_REMOVAL");
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE:
      gBus->Log(who + " REMOVE_DEVICE");
      // Reported missing: the PDO goes now. Still present: it stays until its parent goes.
      if (!child->reported || child->deleteWhenRemoved) {
        IoDeleteDevice(pdo);
        child->pdo = nullptr;
      }
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_INTERFACE:
      gBus->Log(who + " QUERY_INTERFACE");
      // A bus that claims every interface, known to it or not.
      if (child->claimsEveryInterface) return Complete(irp, STATUS_SUCCESS, 0);
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      gBus->Log(who + " QUERY_DEVICE_RELATIONS " +
                std::to_string(stack->Parameters.QueryDeviceRelations.Type));
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      gBus->Log(who + (stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ? " QUERY_REMOVE_DEVICE"
                                                                          : " CANCEL_REMOVE_DEVICE"));
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_EJECT:
      gBus->Log(who + " EJECT");
      child->reported = false;  // the device has left: the next answer leaves it out
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      gBus->Log(who + " QUERY_PNP_DEVICE_STATE");
      return Complete(irp, child->deviceState != 0 ? STATUS_SUCCESS : irp->IoStatus.Status,
                      child->deviceState);
    default:
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  return ((Extension*)device->DeviceExtension)->isFdo ? FdoPnp(device, irp) : ChildPnp(device, irp);
}

// Opens and closes of the bus's devices: nothing to refuse.
NTSTATUS NTAPI BusOpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Extension* ext = (Extension*)fdo->DeviceExtension;
  ext->isFdo = true;
  ext->child = nullptr;
  ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = BusAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    driver->MajorFunction[major] = BusOpenClose;
  }
  return STATUS_SUCCESS;
}

class PnpEnumerationTest : public testing::Test {
 protected:
  void SetUp() override {
    gBus = &bus_;
    KeInitializeEvent(&bus_.entered, NotificationEvent, FALSE);
    KeInitializeEvent(&bus_.release, NotificationEvent, FALSE);
    driver_ = hostk::PnpLoadDriver("KxTestBus", BusEntry);
    ASSERT_NE(nullptr, driver_);
    root_ = hostk::PnpCreatePlainBusDevice();
    hostk::IoSetDeviceInstancePath(root_, "USB\\VID_1234&PID_5678\\5&1a2b&0&1");
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, root_));
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(root_, IRP_MJ_PNP, IRP_MN_START_DEVICE));
  }
  void TearDown() override {
    hostk::PnpWaitForEnumeration();
    if (!removed_) {
      EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(root_));
    }
    hostk::PnpDeletePlainBusDevice(root_);
    gBus = nullptr;
  }

  Child* NewChild(int index, const std::string& instanceId) {
    children_.push_back(std::make_unique<Child>());
    Child* child = children_.back().get();
    child->index = index;
    child->instanceId = instanceId;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(Extension), nullptr,
                                             FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                             FALSE, &child->pdo));
    Extension* ext = (Extension*)child->pdo->DeviceExtension;
    ext->isFdo = false;
    ext->lower = nullptr;
    ext->child = child;
    child->pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    child->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    child->reported = true;
    bus_.children.push_back(child);
    return child;
  }

  void Enumerate() {
    IoInvalidateDeviceRelations(root_, BusRelations);
    hostk::PnpWaitForEnumeration();
  }

  std::vector<hostk::PnpDeviceNodeInfo> Tree() { return hostk::PnpDeviceTree(); }

  FakeBus bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT root_ = nullptr;
  bool removed_ = false;
  std::vector<std::unique_ptr<Child>> children_;
};

const std::vector<std::string> kInterrogation = {
    "QUERY_ID 0",  // BusQueryDeviceID
    "QUERY_ID 3",  // BusQueryInstanceID
    "QUERY_ID 1",  // BusQueryHardwareIDs
    "QUERY_ID 2",  // BusQueryCompatibleIDs
    "QUERY_ID 5",  // BusQueryContainerID
    "QUERY_CAPABILITIES",
    "QUERY_DEVICE_TEXT 0",  // DeviceTextDescription
    "QUERY_DEVICE_TEXT 1",  // DeviceTextLocationInformation
    "QUERY_BUS_INFORMATION",
    "QUERY_RESOURCE_REQUIREMENTS",
    "QUERY_INTERFACE",  // for an interface nobody offers: left unanswered
    "START_DEVICE",
};

// A start that succeeded is followed by two more questions.
std::vector<std::string> Started() {
  std::vector<std::string> lines = kInterrogation;
  lines.push_back("QUERY_CAPABILITIES");
  lines.push_back("QUERY_PNP_DEVICE_STATE");
  return lines;
}

TEST_F(PnpEnumerationTest, ReportedChildrenAreInterrogatedStartedAndListedUnderTheirParent) {
  Child* first = NewChild(1, "1");
  Child* second = NewChild(2, "2");
  second->containerId = "{00112233-4455-6677-8899-aabbccddeeff}";
  second->deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
  // Asked for at DISPATCH_LEVEL, the enumeration runs later on the manager's own thread.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoInvalidateDeviceRelations(root_, BusRelations);
  KeLowerIrql(old);
  hostk::PnpWaitForEnumeration();

  EXPECT_EQ(STATUS_NOT_SUPPORTED, bus_.relationsStatusIn);
  EXPECT_EQ(0u, bus_.relationsInformationIn);
  EXPECT_EQ(PASSIVE_LEVEL, bus_.relationsIrql);
  EXPECT_NE(KeGetCurrentThread(), bus_.relationsThread);

  EXPECT_EQ(Started(), bus_.Lines("child1"));
  EXPECT_EQ(Started(), bus_.Lines("child2"));
  EXPECT_EQ(64, first->capabilitiesReceived.Size);
  EXPECT_EQ(1, first->capabilitiesReceived.Version);
  EXPECT_EQ(0xFFFFFFFFu, first->capabilitiesReceived.Address);
  EXPECT_EQ(0xFFFFFFFFu, first->capabilitiesReceived.UINumber);
  EXPECT_EQ(0x409u, first->localeReceived);

  auto tree = Tree();
  ASSERT_EQ(3u, tree.size());
  EXPECT_EQ("USB\\VID_1234&PID_5678\\5&1a2b&0&1", tree[0].instancePath);
  EXPECT_EQ(0, tree[0].depth);
  EXPECT_EQ("Started", tree[0].state);
  EXPECT_EQ(root_, tree[0].pdo);
  const hostk::PnpDeviceNodeInfo& node = tree[1];
  EXPECT_EQ("KXTEST\\DISPLAY\\1", node.instancePath);
  EXPECT_EQ(1, node.depth);
  EXPECT_EQ("Started", node.state);
  EXPECT_EQ(first->pdo, node.pdo);
  EXPECT_EQ(tree[0].instancePath, node.parentInstancePath);
  EXPECT_EQ((std::vector<std::string>{"KXTEST\\DISPLAY&REV_1", "KXTEST\\DISPLAY"}),
            node.hardwareIds);
  EXPECT_EQ(std::vector<std::string>{"KXTEST\\GENERIC"}, node.compatibleIds);
  EXPECT_EQ("Test display 1", node.description);
  EXPECT_EQ("Port 1", node.location);
  EXPECT_EQ(1u, node.capabilities.Address);
  EXPECT_EQ(1u, node.capabilities.RawDeviceOK);
  EXPECT_TRUE(node.busInformation);
  EXPECT_EQ(7u, node.busInformationAnswer.BusNumber);
  EXPECT_EQ(sizeof(IO_RESOURCE_REQUIREMENTS_LIST), node.resourceRequirementsSize);
  EXPECT_EQ("", node.containerId);
  EXPECT_EQ(0u, node.deviceState);
  EXPECT_EQ("KXTEST\\DISPLAY\\2", tree[2].instancePath);
  EXPECT_EQ(second->containerId, tree[2].containerId);
  EXPECT_EQ((ULONG)PNP_DEVICE_DONT_DISPLAY_IN_UI, tree[2].deviceState);
  EXPECT_EQ(second->pdo, hostk::PnpFindDevice("kxtest\\display\\2"));
  // The child's interfaces are named after its instance path.
  EXPECT_EQ("KXTEST\\DISPLAY\\1", hostk::IoDeviceInstancePath(first->pdo));

  // Every answer was freed; the bus driver's reference is the node's while it is in the tree.
  EXPECT_EQ(0u, hostk::PoolLiveCount(kAnswerTag));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kRelationsTag));
  EXPECT_EQ(2, hostk::ObReferenceCount(first->pdo));

  // A second enumeration with the same children asks only for the relations, and drops the
  // references of the second report.
  Enumerate();
  EXPECT_EQ(Started(), bus_.Lines("child1"));
  EXPECT_EQ(2u, bus_.Lines("fdo").size() - 1);  // START, two relations queries
  EXPECT_EQ(2, hostk::ObReferenceCount(first->pdo));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kRelationsTag));
}

TEST_F(PnpEnumerationTest, AChildGoneFromALaterAnswerIsRemovedAndLeavesTheTree) {
  Child* gone = NewChild(1, "1");
  Child* stays = NewChild(2, "2");
  Child* neverStarted = NewChild(3, "3");
  neverStarted->failStart = true;
  Enumerate();
  // A failed start is followed by a removal; the child stays in the tree as its bus reports it.
  std::vector<std::string> failed = kInterrogation;
  failed.push_back("REMOVE_DEVICE");
  EXPECT_EQ(failed, bus_.Lines("child3"));
  ASSERT_EQ(4u, Tree().size());
  EXPECT_EQ("StartFailed", Tree()[3].state);

  PDEVICE_OBJECT gonePdo = gone->pdo;
  PDEVICE_OBJECT neverStartedPdo = neverStarted->pdo;
  gone->reported = false;
  neverStarted->reported = false;
  Enumerate();

  std::vector<std::string> removed = Started();
  removed.push_back("SURPRISE_REMOVAL");
  removed.push_back("REMOVE_DEVICE");
  EXPECT_EQ(removed, bus_.Lines("child1"));
  // Not started: no surprise removal, only the removal that lets its bus delete it.
  failed.push_back("REMOVE_DEVICE");
  EXPECT_EQ(failed, bus_.Lines("child3"));
  EXPECT_EQ(Started(), bus_.Lines("child2"));
  auto tree = Tree();
  ASSERT_EQ(2u, tree.size());
  EXPECT_EQ(stays->pdo, tree[1].pdo);
  EXPECT_EQ(nullptr, hostk::PnpFindDevice("KXTEST\\DISPLAY\\1"));
  // The bus deleted them and the manager dropped the references it held: both objects are gone.
  EXPECT_EQ(nullptr, hostk::ObTypeOf(gonePdo));
  EXPECT_EQ(nullptr, hostk::ObTypeOf(neverStartedPdo));
}

// A child removed while its bus still reports it (disabled, say) keeps its node: enumerations that
// list it again leave it alone, and the answer that leaves it out brings the removal after which
// its bus deletes it.
TEST_F(PnpEnumerationTest, AChildRemovedWhileReportedKeepsItsNodeUntilItsBusLeavesItOut) {
  Child* child = NewChild(1, "1");
  Enumerate();
  PDEVICE_OBJECT pdo = child->pdo;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpQueryRemoveDevice(pdo));
  std::vector<std::string> lines = Started();
  for (const char* line : {"QUERY_DEVICE_RELATIONS 3", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE"}) {
    lines.push_back(line);  // removal relations first
  }
  EXPECT_EQ(lines, bus_.Lines("child1"));
  ASSERT_EQ(2u, Tree().size());
  EXPECT_EQ("Removed", Tree()[1].state);

  Enumerate();
  EXPECT_EQ(lines, bus_.Lines("child1"));
  EXPECT_EQ("Removed", Tree()[1].state);

  child->reported = false;
  Enumerate();
  lines.push_back("REMOVE_DEVICE");  // not started: no surprise removal
  EXPECT_EQ(lines, bus_.Lines("child1"));
  EXPECT_EQ(1u, Tree().size());
  EXPECT_EQ(nullptr, hostk::ObTypeOf(pdo));
}

// An eject: the removal, the eject itself, the bus's next answer without the child, and the final
// removal in which the bus deletes it.
TEST_F(PnpEnumerationTest, AnEjectRemovesEjectsAndTheNextAnswerBringsTheFinalRemoval) {
  Child* child = NewChild(1, "1");
  NewChild(2, "2");
  Enumerate();
  PDEVICE_OBJECT pdo = child->pdo;
  size_t relationsBefore = bus_.Lines("fdo").size();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpEjectDevice(pdo));
  std::vector<std::string> lines = Started();
  for (const char* line : {"QUERY_DEVICE_RELATIONS 1", "QUERY_DEVICE_RELATIONS 3",
                           "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "EJECT", "REMOVE_DEVICE"}) {
    lines.push_back(line);
  }
  EXPECT_EQ(lines, bus_.Lines("child1"));
  // The bus was asked once more, between the eject and the final removal.
  EXPECT_EQ(relationsBefore + 1, bus_.Lines("fdo").size());
  size_t answer = bus_.LastIndexOf("fdo QUERY_DEVICE_RELATIONS");
  EXPECT_LT(bus_.IndexOf("child1 EJECT"), answer);
  EXPECT_LT(answer, bus_.LastIndexOf("child1 REMOVE_DEVICE"));
  auto tree = Tree();
  ASSERT_EQ(2u, tree.size());
  EXPECT_EQ("KXTEST\\DISPLAY\\2", tree[1].instancePath);
  EXPECT_EQ(nullptr, hostk::ObTypeOf(pdo));
}

// A device gone without warning hears so at once, but its removal waits for the last handle to
// it: a child its bus left out stays in the tree until its client closes, and so does the whole
// subtree of a parent pulled out, whose surprise removal returns only then.
TEST_F(PnpEnumerationTest, TheRemovalAfterASurpriseRemovalWaitsForTheLastHandle) {
  Child* child = NewChild(1, "1");
  Enumerate();
  PDEVICE_OBJECT pdo = child->pdo;
  hostk::Client client;
  HANDLE first, second;
  ASSERT_EQ(STATUS_SUCCESS, client.OpenDevice(pdo, &first));
  ASSERT_EQ(STATUS_SUCCESS, client.OpenDevice(pdo, &second));
  child->reported = false;
  Enumerate();
  std::vector<std::string> lines = Started();
  lines.push_back("SURPRISE_REMOVAL");
  EXPECT_EQ(lines, bus_.Lines("child1"));
  ASSERT_EQ(2u, Tree().size());
  EXPECT_EQ("SurpriseRemoved", Tree()[1].state);
  EXPECT_NE(std::string::npos, hostk::PnpReport().find("still waits for 2 open handles"));
  EXPECT_EQ(STATUS_SUCCESS, client.Close(first));
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(lines, bus_.Lines("child1"));
  EXPECT_EQ(STATUS_SUCCESS, client.Close(second));
  hostk::PnpWaitForRemovals();
  lines.push_back("REMOVE_DEVICE");
  EXPECT_EQ(lines, bus_.Lines("child1"));
  EXPECT_EQ(1u, Tree().size());
  EXPECT_EQ(nullptr, hostk::ObTypeOf(pdo));

  // The parent pulled out with a handle open on its function device.
  NewChild(2, "2");
  Enumerate();
  HANDLE handle;
  ASSERT_EQ(STATUS_SUCCESS, client.OpenDevice(root_, &handle));
  removed_ = true;
  NTSTATUS status = STATUS_PENDING;
  {
    kxtest::SystemThread pull([&] { status = hostk::PnpSurpriseRemoveDevice(root_); });
    kxtest::Sleep(1000000);  // 100 ms of virtual time
    EXPECT_NE(SIZE_MAX, bus_.IndexOf("fdo SURPRISE_REMOVAL"));
    EXPECT_EQ(SIZE_MAX, bus_.IndexOf("child2 REMOVE_DEVICE"));
    EXPECT_EQ(STATUS_PENDING, status);
    EXPECT_EQ(STATUS_SUCCESS, client.Close(handle));
  }
  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_LT(bus_.IndexOf("child2 REMOVE_DEVICE"), bus_.IndexOf("fdo REMOVE_DEVICE"));
  EXPECT_TRUE(Tree().empty());
}

// A bus may fail an identifier query (for want of memory): the child gets a failed node, is never
// started, and leaves with a removal once its bus stops reporting it.
TEST_F(PnpEnumerationTest, AChildWhoseIdentifierQueryFailsIsKeptAsFailedNeverStarted) {
  Child* unnamed = NewChild(1, "1");
  unnamed->failInstanceId = true;
  Enumerate();
  auto tree = Tree();
  ASSERT_EQ(2u, tree.size());
  EXPECT_EQ(unnamed->pdo, tree[1].pdo);
  EXPECT_EQ("Failed", tree[1].state);
  std::vector<std::string> asked = {"QUERY_ID 0", "QUERY_ID 3"};  // device, instance
  EXPECT_EQ(asked, bus_.Lines("child1"));

  PDEVICE_OBJECT pdo = unnamed->pdo;
  unnamed->reported = false;
  Enumerate();
  asked.push_back("REMOVE_DEVICE");
  EXPECT_EQ(asked, bus_.Lines("child1"));
  EXPECT_EQ(1u, Tree().size());
  EXPECT_EQ(nullptr, hostk::ObTypeOf(pdo));
}

TEST_F(PnpEnumerationTest, RemovingTheParentRemovesItsChildrenFirst) {
  Child* first = NewChild(1, "1");
  NewChild(2, "2");
  Enumerate();
  PDEVICE_OBJECT firstPdo = first->pdo;
  removed_ = true;
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(root_));
  size_t parent = bus_.IndexOf("fdo REMOVE_DEVICE");
  ASSERT_NE(SIZE_MAX, parent);
  EXPECT_LT(bus_.IndexOf("child1 REMOVE_DEVICE"), parent);
  EXPECT_LT(bus_.IndexOf("child2 REMOVE_DEVICE"), parent);
  EXPECT_EQ(SIZE_MAX, bus_.IndexOf("child1 SURPRISE_REMOVAL"));
  EXPECT_TRUE(Tree().empty());
  EXPECT_EQ(nullptr, hostk::ObTypeOf(firstPdo));
}

TEST_F(PnpEnumerationTest, SurpriseRemovalOfTheParentReachesTheChildrenFirst) {
  NewChild(1, "1");
  NewChild(2, "2");
  Enumerate();
  removed_ = true;
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSurpriseRemoveDevice(root_));
  size_t parentSurprise = bus_.IndexOf("fdo SURPRISE_REMOVAL");
  size_t parentRemove = bus_.IndexOf("fdo REMOVE_DEVICE");
  ASSERT_NE(SIZE_MAX, parentSurprise);
  ASSERT_NE(SIZE_MAX, parentRemove);
  for (const char* child : {"child1", "child2"}) {
    SCOPED_TRACE(child);
    size_t surprise = bus_.IndexOf(std::string(child) + " SURPRISE_REMOVAL");
    size_t remove = bus_.IndexOf(std::string(child) + " REMOVE_DEVICE");
    EXPECT_LT(surprise, parentSurprise);
    EXPECT_LT(parentSurprise, remove);
    EXPECT_LT(remove, parentRemove);
  }
  EXPECT_TRUE(Tree().empty());
}

TEST_F(PnpEnumerationTest, AnEnumerationAskedForBeforeStartRunsOnceTheDeviceStarted) {
  // A second stack of the same bus, not started yet.
  PDEVICE_OBJECT other = hostk::PnpCreatePlainBusDevice();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, other));
  NewChild(1, "1");
  IoInvalidateDeviceRelations(other, BusRelations);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(std::vector<std::string>{"START_DEVICE"}, bus_.Lines("fdo"));
  EXPECT_EQ("Added", Tree()[1].state);

  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(other, IRP_MJ_PNP, IRP_MN_START_DEVICE));
  hostk::PnpWaitForEnumeration();
  auto tree = Tree();
  ASSERT_EQ(3u, tree.size());
  EXPECT_EQ("KXTEST\\DISPLAY\\1", tree[2].instancePath);
  EXPECT_EQ(1, tree[2].depth);
  EXPECT_EQ(tree[1].instancePath, tree[2].parentInstancePath);
  // The child goes with its parent; the other stack's FDO leaves the bus driver loaded.
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(other));
  EXPECT_EQ(1u, Tree().size());
  hostk::PnpDeletePlainBusDevice(other);
}

TEST_F(PnpEnumerationTest, AnEnumerationInProgressIsReportedUntilItEnds) {
  NewChild(1, "1");
  bus_.holdRelations = true;
  IoInvalidateDeviceRelations(root_, BusRelations);
  // The call returned while the bus has not answered yet.
  KeWaitForSingleObject(&bus_.entered, Executive, KernelMode, FALSE, nullptr);
  EXPECT_NE(std::string::npos, hostk::PnpReport().find("enumeration still running"));
  KeSetEvent(&bus_.release, IO_NO_INCREMENT, FALSE);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(std::string::npos, hostk::PnpReport().find("enumeration"));
  EXPECT_EQ(2u, Tree().size());
}

using PnpEnumerationDeathTest = PnpEnumerationTest;

TEST_F(PnpEnumerationDeathTest, MalformedIdentifiersAreReported) {
  EXPECT_DEATH(
      {
        NewChild(1, "1")->deviceId = "KXTEST\\BAD DISPLAY";
        Enumerate();
      },
      "PNP_DETECTED_FATAL_ERROR.*\n.*BusQueryDeviceID.*holds a space");
  EXPECT_DEATH(
      {
        NewChild(1, "1")->deviceId = "KXTEST\\DISPLAY,2";
        Enumerate();
      },
      "BusQueryDeviceID.*holds a comma");
  EXPECT_DEATH(
      {
        NewChild(1, "1")->deviceId = "KXTEST\\DISPL\x01Y";
        Enumerate();
      },
      "BusQueryDeviceID.*control character");
  EXPECT_DEATH(
      {
        NewChild(1, "port\\1");
        Enumerate();
      },
      "BusQueryInstanceID.*holds no backslash");
  EXPECT_DEATH(
      {
        NewChild(1, "");
        Enumerate();
      },
      "BusQueryInstanceID.*it is empty");
}

TEST_F(PnpEnumerationDeathTest, ADuplicateInstanceIdentifierAmongSiblingsIsReported) {
  EXPECT_DEATH(
      {
        NewChild(1, "7");
        NewChild(2, "7")->deviceId = "KXTEST\\OTHER";
        Enumerate();
      },
      "PNP_DETECTED_FATAL_ERROR.*\n.*duplicate PDO.*instance identifier \"7\"");
  // The same identifier later, after its first owner left, is no duplicate.
  Child* first = NewChild(1, "7");
  Enumerate();
  first->reported = false;
  NewChild(2, "7");
  Enumerate();
  auto tree = Tree();
  ASSERT_EQ(2u, tree.size());
  EXPECT_EQ(children_.back()->pdo, tree[1].pdo);
}

TEST_F(PnpEnumerationDeathTest, AnswersMustBeTaggedPagedPool) {
  bus_.answerPool = NonPagedPoolNx;
  EXPECT_DEATH(Enumerate(), "IRP_MN_QUERY_DEVICE_RELATIONS.*non-paged pool");
  bus_.answerPool = PagedPool;
}

TEST_F(PnpEnumerationDeathTest, OnlyKnownPhysicalDevicesCanBeInvalidated) {
  PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(root_);
  EXPECT_DEATH(IoInvalidateDeviceRelations(fdo, BusRelations), "invalid PDO");
  ObDereferenceObject(fdo);
}

TEST_F(PnpEnumerationDeathTest, ABusDeletingAChildStillInTheTreeIsReported) {
  Child* child = NewChild(1, "1");
  Enumerate();
  EXPECT_DEATH(IoDeleteDevice(child->pdo), "deleted its child .* while the Plug and Play manager");
  // Nor may it delete a child it still reports at that child's first removal.
  child->deleteWhenRemoved = true;
  EXPECT_DEATH(hostk::PnpQueryRemoveDevice(child->pdo),
               "PNP_DETECTED_FATAL_ERROR.*\n.*deleted its child .*Removing");
  child->deleteWhenRemoved = false;
}

TEST_F(PnpEnumerationDeathTest, ARelationsAnswerListsEachChildOnceWithItsOwnReference) {
  NewChild(1, "1");
  bus_.listFirstTwice = true;
  EXPECT_DEATH(Enumerate(), "PNP_DETECTED_FATAL_ERROR.*\n.*invalid PDO .*listed twice");
  bus_.listFirstTwice = false;
  bus_.listWithoutReference = true;
  EXPECT_DEATH(Enumerate(), "invalid PDO .*without a reference");
  // A known child reported again without a reference is caught as well.
  bus_.listWithoutReference = false;
  Enumerate();
  bus_.listWithoutReference = true;
  EXPECT_DEATH(Enumerate(), "invalid PDO .*without a reference");
  bus_.listWithoutReference = false;
}

TEST_F(PnpEnumerationDeathTest, AStackAnsweringAnInterfaceNobodyOffersIsReported) {
  NewChild(1, "1")->claimsEveryInterface = true;
  EXPECT_DEATH(Enumerate(), "IRP_MN_QUERY_INTERFACE for an interface no driver offers.*0x00000000");
  children_.back()->claimsEveryInterface = false;
}

}  // namespace
