// A started device's life cycle as the Plug and Play manager runs it, seen by a small function
// driver of the test's own that records every life-cycle request and can be told to fail one: the
// removal after a failed start, a rebalance, query-stop refused or vetoed, and a removal asked for,
// children first, with its cancels in reverse.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/hostk/object.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "support/kernel_test_util.h"

namespace {

const std::map<UCHAR, const char*> kMinorNames = {
    {IRP_MN_START_DEVICE, "START"},
    {IRP_MN_QUERY_REMOVE_DEVICE, "QUERY_REMOVE"},
    {IRP_MN_REMOVE_DEVICE, "REMOVE"},
    {IRP_MN_CANCEL_REMOVE_DEVICE, "CANCEL_REMOVE"},
    {IRP_MN_STOP_DEVICE, "STOP"},
    {IRP_MN_QUERY_STOP_DEVICE, "QUERY_STOP"},
    {IRP_MN_CANCEL_STOP_DEVICE, "CANCEL_STOP"},
    {IRP_MN_SURPRISE_REMOVAL, "SURPRISE_REMOVAL"},
};

constexpr NTSTATUS kRefusal = STATUS_DEVICE_BUSY;
constexpr NTSTATUS kStartFailure = STATUS_DEVICE_CONFIGURATION_ERROR;
constexpr UCHAR kNoMinor = 0xFF;

// A device of the driver: the function device over the plain bus, or a child it reports.
struct Device {
  char name[16];
  PDEVICE_OBJECT lower = nullptr;  // the function device's
  int index = 0;                   // a child's
  UCHAR failMinor = kNoMinor;
  NTSTATUS failStatus = kRefusal;
};

// "<device> <request>" for every life-cycle request, in the order they arrived.
struct Recorder {
  std::mutex lock;
  std::vector<std::string> log;
  std::vector<PDEVICE_OBJECT> children;  // reported in bus relations
  UCHAR fdoFailMinor = kNoMinor;         // taken by each new function device
  NTSTATUS fdoFailStatus = kRefusal;
  bool unloaded = false;

  void Note(const Device& device, UCHAR minor) {
    auto name = kMinorNames.find(minor);
    if (name == kMinorNames.end()) return;
    std::lock_guard<std::mutex> guard(lock);
    log.push_back(std::string(device.name) + " " + name->second);
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> taken;
    taken.swap(log);
    return taken;
  }
};

Recorder* gRecorder = nullptr;

Device* DeviceOf(PDEVICE_OBJECT device) { return (Device*)device->DeviceExtension; }

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWCHAR PoolString(const std::u16string& text) {
  size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  auto* copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, bytes, hostk::PoolTag("KxLt"));
  memcpy(copy, text.c_str(), bytes);
  return copy;
}

PDEVICE_RELATIONS Relations() {
  std::vector<PDEVICE_OBJECT>& children = gRecorder->children;
  size_t bytes = sizeof(DEVICE_RELATIONS) + children.size() * sizeof(PDEVICE_OBJECT);
  auto* relations =
      (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, bytes, hostk::PoolTag("KxLr"));
  relations->Count = (ULONG)children.size();
  for (size_t i = 0; i < children.size(); i++) {
    ObReferenceObject(children[i]);
    relations->Objects[i] = children[i];
  }
  return relations;
}

NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp, UCHAR minor) {
  Device* device = DeviceOf(fdo);
  if (minor == device->failMinor) return Complete(irp, device->failStatus);
  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS &&
      IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type == BusRelations) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)Relations();
  } else if (kMinorNames.count(minor) != 0) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  PDEVICE_OBJECT lower = device->lower;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    // The children go with their parent.
    for (PDEVICE_OBJECT child : gRecorder->children) IoDeleteDevice(child);
    gRecorder->children.clear();
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
  }
  return status;
}

NTSTATUS ChildPnp(PDEVICE_OBJECT pdo, PIRP irp, UCHAR minor) {
  Device* device = DeviceOf(pdo);
  if (minor == device->failMinor) return Complete(irp, device->failStatus);
  if (minor == IRP_MN_QUERY_ID) {
    BUS_QUERY_ID_TYPE type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType;
    if (type == BusQueryDeviceID)
      return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(u"KXTEST\\LIFE"));
    if (type == BusQueryInstanceID) {
      std::string id = std::to_string(device->index);
      return Complete(irp, STATUS_SUCCESS,
                      (ULONG_PTR)PoolString(std::u16string(id.begin(), id.end())));
    }
  }
  // Still reported, a child stays until its parent goes.
  if (minor == IRP_MN_QUERY_CAPABILITIES || kMinorNames.count(minor) != 0) {
    return Complete(irp, STATUS_SUCCESS);
  }
  return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  gRecorder->Note(*DeviceOf(device), minor);
  return DeviceOf(device)->lower != nullptr ? FdoPnp(device, irp, minor)
                                            : ChildPnp(device, irp, minor);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Device), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Device* device = (Device*)fdo->DeviceExtension;
  *device = Device{};
  snprintf(device->name, sizeof device->name, "fdo");
  device->failMinor = gRecorder->fdoFailMinor;
  device->failStatus = gRecorder->fdoFailStatus;
  device->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { gRecorder->unloaded = true; }

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  return STATUS_SUCCESS;
}

class PnpLifeCycle : public testing::Test {
 protected:
  void SetUp() override {
    gRecorder = &recorder_;
    pdo_ = hostk::PnpCreatePlainBusDevice();
    hostk::IoSetDeviceInstancePath(pdo_, "USB\\VID_1234&PID_5678\\5&1a2b&0&1");
    Load();
  }
  void TearDown() override {
    hostk::PnpWaitForEnumeration();
    if (!hostk::PnpDeviceTree().empty()) {
      EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(pdo_));
    }
    hostk::PnpDeletePlainBusDevice(pdo_);
    gRecorder = nullptr;
  }

  void Load() {
    recorder_.unloaded = false;
    driver_ = hostk::PnpLoadDriver("KxTestLife", Entry);
    ASSERT_NE(nullptr, driver_);
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, pdo_));
  }

  // A child the function device reports from now on.
  Device* NewChild() {
    PDEVICE_OBJECT child = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(Device), nullptr, FILE_DEVICE_UNKNOWN,
                                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child));
    recorder_.children.push_back(child);
    Device* device = DeviceOf(child);
    *device = Device{};
    device->index = (int)recorder_.children.size();
    snprintf(device->name, sizeof device->name, "child%d", device->index);
    child->Flags |= DO_BUS_ENUMERATED_DEVICE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }

  // A started function device with `count` enumerated children (the one numbered `failsStart` fails
  // its start), the log emptied.
  void StartWithChildren(int count, int failsStart = 0) {
    for (int i = 1; i <= count; i++) {
      if (i == failsStart)
        NewChild()->failMinor = IRP_MN_START_DEVICE;
      else
        NewChild();
    }
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(pdo_));
    IoInvalidateDeviceRelations(pdo_, BusRelations);
    hostk::PnpWaitForEnumeration();
    ASSERT_EQ((size_t)count + 1, hostk::PnpDeviceTree().size());
    recorder_.Take();
  }

  Device* Fdo() {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
    ObDereferenceObject(top);  // the function device lives while the test holds the stack
    return DeviceOf(top);
  }
  Device* Child(int index) { return DeviceOf(recorder_.children[index - 1]); }

  std::vector<std::string> States() {
    std::vector<std::string> states;
    for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree())
      states.push_back(node.state);
    return states;
  }

  Recorder recorder_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

using Log = std::vector<std::string>;

TEST_F(PnpLifeCycle, AFailedStartIsFollowedByRemovalAndTheDriverCanBeLoadedAgain) {
  Fdo()->failMinor = IRP_MN_START_DEVICE;
  Fdo()->failStatus = kStartFailure;
  EXPECT_EQ(kStartFailure, hostk::PnpStartDevice(pdo_));
  EXPECT_EQ((Log{"fdo START", "fdo REMOVE"}), recorder_.Take());
  EXPECT_TRUE(recorder_.unloaded);
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_EQ(nullptr, pdo_->AttachedDevice);

  Load();
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(pdo_));
  EXPECT_EQ(Log{"fdo START"}, recorder_.Take());
  EXPECT_EQ(Log{"Started"}, States());
}

TEST_F(PnpLifeCycle, ARebalanceStopsAndRestartsTheDevice) {
  StartWithChildren(0);
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRebalance(pdo_));
  EXPECT_EQ((Log{"fdo QUERY_STOP", "fdo STOP", "fdo START"}), recorder_.Take());
  EXPECT_EQ(Log{"Started"}, States());

  // The restart fails: the device is removed, and the result is the start's.
  Fdo()->failMinor = IRP_MN_START_DEVICE;
  Fdo()->failStatus = kStartFailure;
  EXPECT_EQ(kStartFailure, hostk::PnpRebalance(pdo_));
  EXPECT_EQ((Log{"fdo QUERY_STOP", "fdo STOP", "fdo START", "fdo REMOVE"}), recorder_.Take());
  EXPECT_TRUE(recorder_.unloaded);
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
}

TEST_F(PnpLifeCycle, AStoppedParentKeepsItsChildrenAndEnumeratesWhenStartedAgain) {
  StartWithChildren(1);
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(pdo_));
  EXPECT_EQ((Log{"fdo QUERY_STOP", "fdo STOP"}), recorder_.Take());
  EXPECT_EQ((Log{"Stopped", "Started"}), States());

  // Asked for while stopped, the enumeration waits for the restart.
  NewChild();
  IoInvalidateDeviceRelations(pdo_, BusRelations);
  hostk::PnpWaitForEnumeration();
  EXPECT_TRUE(recorder_.Take().empty());
  EXPECT_EQ(2u, hostk::PnpDeviceTree().size());
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(pdo_));
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ((Log{"fdo START", "child2 START"}), recorder_.Take());
  EXPECT_EQ((Log{"Started", "Started", "Started"}), States());
}

TEST_F(PnpLifeCycle, AQueryStopRefusedOrVetoedIsCancelledAndTheStateRestored) {
  StartWithChildren(0);
  Fdo()->failMinor = IRP_MN_QUERY_STOP_DEVICE;
  EXPECT_EQ(kRefusal, hostk::PnpQueryStopDevice(pdo_));
  EXPECT_EQ((Log{"fdo QUERY_STOP", "fdo CANCEL_STOP"}), recorder_.Take());
  EXPECT_EQ(Log{"Started"}, States());
  // Refused, the stop goes no further.
  EXPECT_EQ(kRefusal, hostk::PnpStopDevice(pdo_));
  EXPECT_EQ((Log{"fdo QUERY_STOP", "fdo CANCEL_STOP"}), recorder_.Take());

  Fdo()->failMinor = kNoMinor;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PnpQueryStopDevice(pdo_, true));
  EXPECT_EQ((Log{"fdo QUERY_STOP", "fdo CANCEL_STOP"}), recorder_.Take());
  EXPECT_EQ(Log{"Started"}, States());

  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpQueryStopDevice(pdo_));
  EXPECT_EQ(Log{"fdo QUERY_STOP"}, recorder_.Take());
  EXPECT_EQ(Log{"StopPending"}, States());
}

TEST_F(PnpLifeCycle, AVetoedQueryRemoveIsCancelledParentFirst) {
  // A child that failed its start returns to that state, not to Started.
  StartWithChildren(2, 2);
  EXPECT_EQ(STATUS_PLUGPLAY_QUERY_VETOED, hostk::PnpQueryRemoveDevice(pdo_, true));
  EXPECT_FALSE(NT_SUCCESS(STATUS_PLUGPLAY_QUERY_VETOED));
  EXPECT_EQ((Log{"child1 QUERY_REMOVE", "child2 QUERY_REMOVE", "fdo QUERY_REMOVE",
                 "fdo CANCEL_REMOVE", "child2 CANCEL_REMOVE", "child1 CANCEL_REMOVE"}),
            recorder_.Take());
  EXPECT_EQ((Log{"Started", "Started", "StartFailed"}), States());
}

TEST_F(PnpLifeCycle, AQueryRemoveAChildRefusesStopsThereAndCancelsTheQueriedOnes) {
  StartWithChildren(2);
  Child(2)->failMinor = IRP_MN_QUERY_REMOVE_DEVICE;
  EXPECT_EQ(kRefusal, hostk::PnpQueryRemoveDevice(pdo_));
  EXPECT_EQ((Log{"child1 QUERY_REMOVE", "child2 QUERY_REMOVE", "child2 CANCEL_REMOVE",
                 "child1 CANCEL_REMOVE"}),
            recorder_.Take());
  EXPECT_EQ((Log{"Started", "Started", "Started"}), States());
}

TEST_F(PnpLifeCycle, AnAgreedQueryRemoveRemovesChildrenFirst) {
  StartWithChildren(1);
  PDEVICE_OBJECT child = recorder_.children[0];
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpQueryRemoveDevice(pdo_));
  EXPECT_EQ((Log{"child1 QUERY_REMOVE", "fdo QUERY_REMOVE", "child1 REMOVE", "fdo REMOVE"}),
            recorder_.Take());
  EXPECT_TRUE(hostk::PnpDeviceTree().empty());
  EXPECT_TRUE(recorder_.unloaded);
  EXPECT_EQ(nullptr, hostk::ObTypeOf(child));
}

using PnpLifeCycleDeathTest = PnpLifeCycle;

TEST_F(PnpLifeCycleDeathTest, ADriverFailingAStopOrACancelIsReported) {
  StartWithChildren(0);
  EXPECT_DEATH(
      {
        Fdo()->failMinor = IRP_MN_STOP_DEVICE;
        hostk::PnpStopDevice(pdo_);
      },
      "IRP_MN_STOP_DEVICE failed .*must not fail it");
  EXPECT_DEATH(
      {
        Fdo()->failMinor = IRP_MN_CANCEL_REMOVE_DEVICE;
        hostk::PnpQueryRemoveDevice(pdo_, true);
      },
      "IRP_MN_CANCEL_REMOVE_DEVICE failed .*must not fail it");
}

}  // namespace
