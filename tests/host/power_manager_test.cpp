// The power manager, driven by a small bus driver of the test's own (a function device over a plain
// bus, with two raw children): the order of system power requests through the tree, a veto,
// hibernation, PoRequestPowerIrp with its callback, PoSetPowerState, the rules of
// PoStartNextPowerIrp and PoCallDriver that the platform documents before Windows Vista, the IRQL
// at which devices hear power requests by their DO_POWER_PAGABLE flag, the power flags a stack
// may not mix, and the one request of each kind a device has at a time before Vista.
#include <gtest/gtest.h>

#include <algorithm>
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
  // A child keeps device set-power requests pending, and calls PoStartNextPowerIrp for them only
  // when the test ends them.
  bool childHoldsDevicePower = false;
  std::vector<PIRP> held;
  KEVENT childCalled;                // synchronization: a child's dispatch routine ran
  KIRQL childIrql = HIGH_LEVEL;      // where the last power request reached a child
  PKTHREAD childThread = nullptr;
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
  bool hold = gBus->childHoldsDevicePower && stack->MinorFunction == IRP_MN_SET_POWER &&
              stack->Parameters.Power.Type == DevicePowerState;
  {
    std::lock_guard<std::mutex> guard(gBus->lock);
    gBus->childIrql = KeGetCurrentIrql();
    gBus->childThread = KeGetCurrentThread();
    if (hold) {
      gBus->held.push_back(irp);
      IoMarkIrpPending(irp);
    }
  }
  KeSetEvent(&gBus->childCalled, IO_NO_INCREMENT, FALSE);
  if (hold) return STATUS_PENDING;
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
    KeInitializeEvent(&bus_.childCalled, SynchronizationEvent, FALSE);
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
  std::vector<PIRP> TakeHeld() {
    std::lock_guard<std::mutex> guard(bus_.lock);
    std::vector<PIRP> held;
    held.swap(bus_.held);
    return held;
  }
  bool WaitForChild() {
    LARGE_INTEGER timeout = kxtest::Relative(kxtest::kSecond);
    return KeWaitForSingleObject(&bus_.childCalled, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
  }
  // What a child's driver does once it has finished with a request it kept.
  static void EndHeld(PIRP irp) {
    PoStartNextPowerIrp(irp);
    Complete(irp, STATUS_SUCCESS);
  }
  PDEVICE_OBJECT Fdo() const { return root_->AttachedDevice; }

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
  Callback() { KeInitializeEvent(&called, NotificationEvent, FALSE); }
  bool Wait() {
    LARGE_INTEGER timeout = kxtest::Relative(kxtest::kSecond);
    return KeWaitForSingleObject(&called, Executive, KernelMode, FALSE, &timeout) ==
           STATUS_SUCCESS;
  }
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state = {};
  PVOID context = nullptr;
  NTSTATUS status = STATUS_PENDING;
  KEVENT called;
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
  KeSetEvent(&callback->called, IO_NO_INCREMENT, FALSE);
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


// A device set-power request a test sends to one device itself, as a driver passes one down.
struct DirectRequest {
  explicit DirectRequest(PDEVICE_OBJECT target) : irp(IoAllocateIrp(target->StackSize, FALSE)) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = PowerDeviceD2;
    IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
  }
  ~DirectRequest() { IoFreeIrp(irp); }
  // Sends it with the caller at `irql`; returns what the call returned.
  NTSTATUS SendAt(KIRQL irql, PDEVICE_OBJECT target, bool withPoCallDriver = true) {
    KIRQL before;
    KeRaiseIrql(irql, &before);
    NTSTATUS status = withPoCallDriver ? PoCallDriver(target, irp) : IoCallDriver(target, irp);
    KeLowerIrql(before);
    return status;
  }
  bool Wait() {
    LARGE_INTEGER timeout = kxtest::Relative(kxtest::kSecond);
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    DirectRequest* self = (DirectRequest*)context;
    self->status = irp->IoStatus.Status;
    self->pendingReturned = irp->PendingReturned;
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PIRP irp;
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  BOOLEAN pendingReturned = FALSE;
};

// The power manager calls a pageable driver at PASSIVE_LEVEL only. A request for one that comes
// at DISPATCH_LEVEL, passed by a driver or asked for with PoRequestPowerIrp, is answered
// STATUS_PENDING and reaches the device from the power manager's worker, at PASSIVE_LEVEL; the
// walk still tells the sender that it pended, though the device completed it at once. Windows 98
// and Me treat every device so.
TEST_F(PowerManagerTest, APageableDeviceAskedAtDispatchLevelHearsTheRequestAtPassiveLevel) {
  PDEVICE_OBJECT child = bus_.children[0];
  child->Flags |= DO_POWER_PAGABLE;
  DirectRequest request(child);
  EXPECT_EQ(STATUS_PENDING, request.SendAt(DISPATCH_LEVEL, child));
  ASSERT_TRUE(request.Wait());
  EXPECT_EQ(STATUS_SUCCESS, request.status);
  EXPECT_TRUE(request.pendingReturned);
  EXPECT_EQ(PASSIVE_LEVEL, bus_.childIrql);
  EXPECT_NE(KeGetCurrentThread(), bus_.childThread);

  // From Vista on IoCallDriver hands power requests to the power manager as PoCallDriver does.
  DirectRequest withIoCallDriver(child);
  bus_.childIrql = HIGH_LEVEL;
  EXPECT_EQ(STATUS_PENDING, withIoCallDriver.SendAt(DISPATCH_LEVEL, child, false));
  ASSERT_TRUE(withIoCallDriver.Wait());
  EXPECT_EQ(STATUS_SUCCESS, withIoCallDriver.status);
  EXPECT_EQ(PASSIVE_LEVEL, bus_.childIrql);

  Callback callback;
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  NTSTATUS status = PoRequestPowerIrp(child, IRP_MN_SET_POWER, d3, RecordCallback, &callback,
                                      nullptr);
  KeLowerIrql(irql);
  EXPECT_EQ(STATUS_PENDING, status);
  ASSERT_TRUE(callback.Wait());
  EXPECT_EQ(STATUS_SUCCESS, callback.status);
  EXPECT_EQ(PASSIVE_LEVEL, bus_.childIrql);
  EXPECT_NE(KeGetCurrentThread(), bus_.childThread);
  EXPECT_EQ((Log{"child1 S D2", "child1 S D2", "child1 S D3"}), TakeLog());

  // Windows 98 and Me call no driver above PASSIVE_LEVEL, pageable or not.
  hostk::SetWindowsVersion(hostk::WindowsRelease::Windows98);
  Callback onWindows98;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  status = PoRequestPowerIrp(bus_.children[1], IRP_MN_SET_POWER, d3, RecordCallback, &onWindows98,
                             nullptr);
  KeLowerIrql(irql);
  EXPECT_EQ(STATUS_PENDING, status);
  ASSERT_TRUE(onWindows98.Wait());
  EXPECT_EQ(PASSIVE_LEVEL, bus_.childIrql);
}

// A device without DO_POWER_PAGABLE must be callable at DISPATCH_LEVEL, and the power manager
// calls it there even when asked at PASSIVE_LEVEL; Windows 98 and Me call every driver at
// PASSIVE_LEVEL.
TEST_F(PowerManagerTest, DevicesWithoutDoPowerPagableAreCalledAtDispatchLevel) {
  PDEVICE_OBJECT child = bus_.children[1];
  struct Case {
    hostk::WindowsRelease release;
    ULONG flags;
    KIRQL irql;
  } cases[] = {{hostk::WindowsRelease::Windows10, 0, DISPATCH_LEVEL},
               {hostk::WindowsRelease::WindowsXP, 0, DISPATCH_LEVEL},
               {hostk::WindowsRelease::WindowsXP, DO_POWER_PAGABLE, PASSIVE_LEVEL},
               {hostk::WindowsRelease::Windows98, 0, PASSIVE_LEVEL}};
  for (const Case& c : cases) {
    SCOPED_TRACE("release " + std::to_string((int)c.release) + ", flags " +
                 std::to_string(c.flags));
    hostk::SetWindowsVersion(c.release);
    child->Flags = (child->Flags & ~DO_POWER_PAGABLE) | c.flags;
    Callback callback;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_EQ(STATUS_PENDING,
              PoRequestPowerIrp(child, IRP_MN_SET_POWER, d2, RecordCallback, &callback, nullptr));
    EXPECT_EQ(1, callback.calls) << "delivered on the caller's thread";
    EXPECT_EQ(c.irql, bus_.childIrql);
    EXPECT_EQ(KeGetCurrentThread(), bus_.childThread);
    DirectRequest request(child);
    EXPECT_EQ(STATUS_SUCCESS, request.SendAt(PASSIVE_LEVEL, child));
    EXPECT_EQ(c.irql, bus_.childIrql);
  }
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

// Before Windows Vista a device has one device power request and one system power request active
// at a time: the next device request waits, its sender answered STATUS_PENDING, until the driver
// calls PoStartNextPowerIrp for the one before, even while that one is still pending; a system
// request does not wait behind it. From Vista on nothing waits.
TEST_F(PowerManagerTest, BeforeVistaADevicesNextRequestWaitsForPoStartNextPowerIrp) {
  hostk::SetWindowsVersion(hostk::WindowsRelease::WindowsXP);
  bus_.childHoldsDevicePower = true;
  PDEVICE_OBJECT child = bus_.children[0];
  POWER_STATE d2, d3;
  d2.DeviceState = PowerDeviceD2;
  d3.DeviceState = PowerDeviceD3;
  Callback first, second;
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(child, IRP_MN_SET_POWER, d2, RecordCallback, &first, nullptr));
  ASSERT_EQ(STATUS_PENDING,
            PoRequestPowerIrp(child, IRP_MN_SET_POWER, d3, RecordCallback, &second, nullptr));
  std::vector<PIRP> held = TakeHeld();
  ASSERT_EQ(1u, held.size()) << "the second request reached the device before its turn";
  EXPECT_EQ((Log{"child1 S D2"}), TakeLog());

  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
  Log log = TakeLog();
  EXPECT_EQ(1, std::count(log.begin(), log.end(), "child1 S S3"));
  EXPECT_EQ(0, std::count(log.begin(), log.end(), "child1 S D3"));

  KeClearEvent(&bus_.childCalled);
  PoStartNextPowerIrp(held[0]);
  ASSERT_TRUE(WaitForChild());
  EXPECT_EQ((Log{"child1 S D3"}), TakeLog());
  EXPECT_EQ(0, first.calls) << "the first is still pending";
  Complete(held[0], STATUS_SUCCESS);
  EXPECT_EQ(1, first.calls);
  held = TakeHeld();
  ASSERT_EQ(1u, held.size());
  EndHeld(held[0]);
  EXPECT_EQ(1, second.calls);
  EXPECT_EQ(STATUS_SUCCESS, second.status);

  hostk::SetWindowsVersion(hostk::WindowsRelease::WindowsVista);
  Callback third, fourth;
  PoRequestPowerIrp(child, IRP_MN_SET_POWER, d2, RecordCallback, &third, nullptr);
  PoRequestPowerIrp(child, IRP_MN_SET_POWER, d3, RecordCallback, &fourth, nullptr);
  held = TakeHeld();
  ASSERT_EQ(2u, held.size()) << "from Vista on the power manager holds nothing back";
  for (PIRP irp : held) EndHeld(irp);
  EXPECT_EQ(1, third.calls);
  EXPECT_EQ(1, fourth.calls);
}

// From Vista on the device objects of a stack may have different power flags, as long as no
// pageable one sits above one that is not.
TEST_F(PowerManagerTest, SinceVistaANonPageableDeviceMaySitAboveAPageableOne) {
  root_->Flags |= DO_POWER_PAGABLE;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PoSetSystemPowerState(PowerSystemWorking));
}

// Power flags the platform forbids: a pageable device object above one that is not (every
// release), different flags within one stack and both flags on one device object (before Vista).
TEST_F(PowerManagerDeathTest, PowerFlagsTheStackMustNotMix) {
  auto sleep = [this](hostk::WindowsRelease release, PDEVICE_OBJECT device, ULONG flags) {
    hostk::SetWindowsVersion(release);
    device->Flags |= flags;
    hostk::PoSetSystemPowerState(PowerSystemSleeping3);
  };
  EXPECT_DEATH(sleep(hostk::WindowsRelease::Windows10, Fdo(), DO_POWER_PAGABLE),
               "DO_POWER_PAGABLE above one without it");
  EXPECT_DEATH(sleep(hostk::WindowsRelease::WindowsXP, root_, DO_POWER_PAGABLE),
               "every device object of a stack has the same power flags");
  EXPECT_DEATH(sleep(hostk::WindowsRelease::WindowsXP, bus_.children[1],
                     DO_POWER_PAGABLE | DO_POWER_INRUSH),
               "both DO_POWER_PAGABLE and DO_POWER_INRUSH");
}

// Before Vista only PoCallDriver queues a request for PASSIVE_LEVEL: one sent to a pageable
// device at DISPATCH_LEVEL with IoCallDriver reaches it there, which the platform never does.
// Windows 98 and Me call no driver above PASSIVE_LEVEL, and PoCallDriver must be called at
// PASSIVE_LEVEL.
TEST_F(PowerManagerDeathTest, APowerRequestAbovePassiveLevelWhereThePlatformForbidsIt) {
  PDEVICE_OBJECT child = bus_.children[0];
  auto send = [child](hostk::WindowsRelease release, ULONG flags, bool withPoCallDriver) {
    hostk::SetWindowsVersion(release);
    child->Flags |= flags;
    DirectRequest request(child);
    request.SendAt(DISPATCH_LEVEL, child, withPoCallDriver);
  };
  EXPECT_DEATH(send(hostk::WindowsRelease::WindowsXP, DO_POWER_PAGABLE, false),
               "above PASSIVE_LEVEL to a device with DO_POWER_PAGABLE");
  EXPECT_DEATH(send(hostk::WindowsRelease::Windows98, 0, true),
               "on Windows 98 and Me drivers call PoCallDriver at PASSIVE_LEVEL");
  EXPECT_DEATH(send(hostk::WindowsRelease::WindowsMe, 0, false),
               "on Windows 98 and Me drivers pass power requests at PASSIVE_LEVEL");
}

}  // namespace
