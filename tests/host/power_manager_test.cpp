// The power manager, driven by a small bus driver of the test's own (a function device over a plain
// bus, with two raw children): the order of system power requests through the tree, a veto,
// hibernation, PoRequestPowerIrp with its callback, PoSetPowerState, and the rules of
// PoStartNextPowerIrp and PoCallDriver that the platform documents before Windows Vista.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/power.h"
#include "support/kernel_test_util.h"

namespace {

// How the function device handles a query- or set-power request.
enum class FdoPower { Proper, NoStartNext, StartNextAfterSkip, WithIoCallDriver };

struct PowerBus {
  std::mutex lock;
  std::vector<std::string> log;  // "<who> <Q|S> <S|D><n>" per query- or set-power request
  PDEVICE_OBJECT children[2] = {};
  int vetoingChild = -1;  // fails the system query
  FdoPower fdoPower = FdoPower::Proper;
  void Log(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock);
    log.push_back(line);
  }
};
PowerBus* gBus = nullptr;

struct Extension {
  PDEVICE_OBJECT lower;  // null for a child
  int index;             // 1 or 2 for a child
};

Extension* Ext(PDEVICE_OBJECT device) { return (Extension*)device->DeviceExtension; }

std::string Describe(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack) {
  std::string who = Ext(device)->lower ? "fdo" : "child" + std::to_string(Ext(device)->index);
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  int state = system ? stack->Parameters.Power.State.SystemState - PowerSystemWorking
                     : stack->Parameters.Power.State.DeviceState - PowerDeviceD0;
  return who + (stack->MinorFunction == IRP_MN_QUERY_POWER ? " Q " : " S ") +
         (system ? "S" : "D") + std::to_string(state);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWCHAR PoolString(const std::u16string& text) {
  size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, bytes, hostk::PoolTag("PwId"));
  memcpy(copy, text.c_str(), bytes);
  return copy;
}

NTSTATUS FdoPowerDispatch(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    gBus->Log(Describe(fdo, stack));
  }
  switch (gBus->fdoPower) {
    case FdoPower::Proper: PoStartNextPowerIrp(irp); break;
    case FdoPower::NoStartNext: break;
    case FdoPower::StartNextAfterSkip:
      IoSkipCurrentIrpStackLocation(irp);
      PoStartNextPowerIrp(irp);
      return PoCallDriver(Ext(fdo)->lower, irp);
    case FdoPower::WithIoCallDriver:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(Ext(fdo)->lower, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(fdo)->lower, irp);
}

NTSTATUS ChildPowerDispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_SUCCESS;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    gBus->Log(Describe(pdo, stack));
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && gBus->vetoingChild == Ext(pdo)->index) {
      status = STATUS_UNSUCCESSFUL;
    }
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
  return Ext(device)->lower ? FdoPowerDispatch(device, irp) : ChildPowerDispatch(device, irp);
}

NTSTATUS FdoPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = Ext(fdo)->lower;
  if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
      stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
    auto* relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, offsetof(DEVICE_RELATIONS, Objects) + 2 * sizeof(PDEVICE_OBJECT),
        hostk::PoolTag("PwRl"));
    relations->Count = 2;
    for (int i = 0; i < 2; i++) {
      ObReferenceObject(gBus->children[i]);
      relations->Objects[i] = gBus->children[i];
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = (ULONG_PTR)relations;
  }
  if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    for (PDEVICE_OBJECT& child : gBus->children) {
      IoDeleteDevice(child);
      child = nullptr;
    }
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return status;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      if (stack->Parameters.QueryId.IdType == BusQueryDeviceID) {
        return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(u"KXTEST\\POWER"));
      }
      if (stack->Parameters.QueryId.IdType == BusQueryInstanceID) {
        std::u16string id(1, (char16_t)(u'0' + Ext(pdo)->index));
        return Complete(irp, STATUS_SUCCESS, (ULONG_PTR)PoolString(id));
      }
      return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_START_DEVICE:
    case IRP_MN_REMOVE_DEVICE: return Complete(irp, STATUS_SUCCESS);
    default: return Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
  }
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  return Ext(device)->lower ? FdoPnp(device, irp) : ChildPnp(device, irp);
}

NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                   0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Ext(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  for (int i = 0; i < 2; i++) {
    PDEVICE_OBJECT& child = gBus->children[i];
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(Extension), nullptr,
                                             FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                             FALSE, &child));
    *Ext(child) = {nullptr, i + 1};
    child->Flags |= DO_BUS_ENUMERATED_DEVICE;
    child->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = BusAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  return STATUS_SUCCESS;
}

class PowerManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    gBus = &bus_;
    driver_ = hostk::PnpLoadDriver("KxPowerBus", BusEntry);
    ASSERT_NE(nullptr, driver_);
    root_ = hostk::PnpCreatePlainBusDevice();
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, root_));
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStartDevice(root_));
    IoInvalidateDeviceRelations(root_, BusRelations);
    hostk::PnpWaitForEnumeration();
    ASSERT_EQ(3u, hostk::PnpDeviceTree().size());
  }
  void TearDown() override {
    EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(root_));
    hostk::PnpDeletePlainBusDevice(root_);
    gBus = nullptr;
  }
  std::vector<std::string> TakeLog() {
    std::lock_guard<std::mutex> guard(bus_.lock);
    std::vector<std::string> log;
    log.swap(bus_.log);
    return log;
  }

  PowerBus bus_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT root_ = nullptr;
};

using Log = std::vector<std::string>;

TEST_F(PowerManagerTest, SleepGoesChildrenFirstAndWakingParentsFirst) {
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemSleeping3, hostk::PoCurrentSystemPowerState());
  EXPECT_EQ((Log{"child2 Q S3", "child1 Q S3", "fdo Q S3", "child2 S S3", "child1 S S3",
                 "fdo S S3"}),
            TakeLog());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, hostk::PoSetSystemPowerState(PowerSystemHibernate));
  EXPECT_TRUE(TakeLog().empty()) << "no move from one sleeping state to another";

  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ((Log{"fdo S S0", "child1 S S0", "child2 S S0"}), TakeLog());
  EXPECT_EQ(PowerSystemWorking, hostk::PoCurrentSystemPowerState());

  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemHibernate));
  EXPECT_EQ("fdo S S4", TakeLog().back());
  EXPECT_NE("", hostk::PoReport()) << "a system left asleep is reported";
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ("", hostk::PoReport());
}

TEST_F(PowerManagerTest, ANodeFailingTheQueryVetoesTheSleep) {
  bus_.vetoingChild = 1;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemWorking, hostk::PoCurrentSystemPowerState());
  // Those asked hear that the system stays working, parents first; nobody else hears anything.
  EXPECT_EQ((Log{"child2 Q S3", "child1 Q S3", "child1 S S0", "child2 S S0"}), TakeLog());
}

struct Callback {
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state = {};
  PVOID context = nullptr;
  NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI RecordCallback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                          PIO_STATUS_BLOCK status) {
  Callback* callback = (Callback*)context;
  callback->calls++;
  callback->device = device;
  callback->minor = minor;
  callback->state = state;
  callback->context = context;
  callback->status = status->Status;
}

TEST_F(PowerManagerTest, RequestedDevicePowerReachesTheTopOfTheStackAndCallsBack) {
  Callback callback;
  POWER_STATE d2;
  d2.DeviceState = PowerDeviceD2;
  PIRP irp = nullptr;
  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(root_, IRP_MN_SET_POWER, d2, RecordCallback,
                                              &callback, &irp));
  EXPECT_NE(nullptr, irp);
  EXPECT_EQ((Log{"fdo S D2"}), TakeLog());
  EXPECT_EQ(1, callback.calls);
  EXPECT_EQ(root_, callback.device);
  EXPECT_EQ(IRP_MN_SET_POWER, callback.minor);
  EXPECT_EQ(PowerDeviceD2, callback.state.DeviceState);
  EXPECT_EQ(&callback, callback.context);
  EXPECT_EQ(STATUS_SUCCESS, callback.status);

  hostk::PoFailRequestPowerIrp(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            PoRequestPowerIrp(root_, IRP_MN_SET_POWER, d2, RecordCallback, &callback, nullptr));
  EXPECT_EQ(STATUS_INVALID_PARAMETER_2,
            PoRequestPowerIrp(root_, IRP_MN_POWER_SEQUENCE, d2, RecordCallback, &callback, nullptr));
  hostk::IoFailIrpAllocation(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            PoRequestPowerIrp(root_, IRP_MN_SET_POWER, d2, RecordCallback, &callback, nullptr));
  EXPECT_EQ(1, callback.calls) << "a request that was never sent calls nobody back";
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_EQ(STATUS_PENDING, PoRequestPowerIrp(root_, IRP_MN_QUERY_POWER, d2, RecordCallback,
                                              &callback, nullptr));
  EXPECT_EQ(2, callback.calls) << "failures asked for are used up";
}

TEST_F(PowerManagerTest, PoSetPowerStateAnswersThePreviousState) {
  PDEVICE_OBJECT child = bus_.children[0];
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PowerDeviceD0, PoSetPowerState(child, DevicePowerState, d3).DeviceState);
  EXPECT_EQ(PowerDeviceD3, hostk::PoDevicePowerStateOf(child));
  EXPECT_EQ(PowerDeviceD0, hostk::PoDevicePowerStateOf(bus_.children[1]));
}

// From Vista on, a driver owes the power manager nothing: the same sloppy driver passes.
TEST_F(PowerManagerTest, SinceVistaNeitherRuleBinds) {
  for (FdoPower sloppy :
       {FdoPower::NoStartNext, FdoPower::StartNextAfterSkip, FdoPower::WithIoCallDriver}) {
    bus_.fdoPower = sloppy;
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
    ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  }
}

using PowerManagerDeathTest = PowerManagerTest;

TEST_F(PowerManagerDeathTest, BeforeVistaEveryPowerRequestNeedsStartNextAndPoCallDriver) {
  hostk::SetWindowsVersion(hostk::WindowsRelease::WindowsXP);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  bus_.fdoPower = FdoPower::NoStartNext;
  EXPECT_DEATH(hostk::PoSetSystemPowerState(PowerSystemSleeping3),
               "passed down without PoStartNextPowerIrp");
  bus_.fdoPower = FdoPower::StartNextAfterSkip;
  EXPECT_DEATH(hostk::PoSetSystemPowerState(PowerSystemSleeping3),
               "passed down without PoStartNextPowerIrp");
  bus_.fdoPower = FdoPower::WithIoCallDriver;
  EXPECT_DEATH(hostk::PoSetSystemPowerState(PowerSystemSleeping3), "with IoCallDriver");
}

}  // namespace
