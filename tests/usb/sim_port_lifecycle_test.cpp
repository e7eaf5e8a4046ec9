// The simulated port's life: its physical device object under a driver, its Plug and Play and
// power answers (device set-power answered later, as a hub answers it), and how it stops.
#include "driver/kxbus.h"
#include "host/hostk/power.h"
#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::UsbFault;

TEST(UsbPortLifecycle, APortLeavesNothingBehind) {
  {
    kxsim::SimulatedUsbPort port(std::make_shared<kxsim::AdapterUsbDevice>());
    EXPECT_NE(nullptr, port.Pdo());
    EXPECT_TRUE(port.Pdo()->Flags & DO_BUS_ENUMERATED_DEVICE);
    EXPECT_FALSE(port.Pdo()->Flags & DO_DEVICE_INITIALIZING);
  }
  EXPECT_EQ("", hostk::LeakReport());
  EXPECT_EQ(0u, hostk::IoLiveIrpCount());
}

TEST(UsbPortLifecycle, TheDriverAttachesOverThePdoAndLeavesAgain) {
  auto device = std::make_shared<kxsim::AdapterUsbDevice>();
  kxsim::SimulatedUsbPort port(device);
  PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  ASSERT_NE(nullptr, driver);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver, port.Pdo()));
  PDEVICE_OBJECT fdo = port.Pdo()->AttachedDevice;
  ASSERT_NE(nullptr, fdo);
  EXPECT_EQ(port.Pdo(), hostk::IoLowerDevice(fdo));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(port.Pdo()));
  EXPECT_EQ(nullptr, port.Pdo()->AttachedDevice);
}

class UsbPortRequests : public UsbPortTest {};

TEST_F(UsbPortRequests, PlugAndPlayAndPowerAnswerAsABusDriverDoes) {
  Open();
  DEVICE_CAPABILITIES capabilities = {};
  capabilities.Size = sizeof capabilities;
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
  EXPECT_EQ(STATUS_SUCCESS,
            hostk::PnpSendRequest(Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &parameters));
  EXPECT_TRUE(capabilities.Removable);
  EXPECT_TRUE(capabilities.SurpriseRemovalOK);
  EXPECT_EQ(PowerDeviceD0, capabilities.DeviceState[PowerSystemWorking]);
  EXPECT_EQ(PowerDeviceD3, capabilities.DeviceState[PowerSystemHibernate]);
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(Pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE));
  // What a bus driver does not handle keeps the status it came with.
  EXPECT_EQ(STATUS_NOT_SUPPORTED, hostk::PnpSendRequest(Pdo(), IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(Pdo(), IRP_MJ_POWER, IRP_MN_SET_POWER));
}

// A device set-power request sent straight to the port, and how it came back.
struct DevicePowerRequest {
  explicit DevicePowerRequest(PDEVICE_OBJECT pdo)
      : pdo(pdo), irp(IoAllocateIrp(pdo->StackSize, FALSE)) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
  }
  ~DevicePowerRequest() { IoFreeIrp(irp); }
  NTSTATUS Send(DEVICE_POWER_STATE state) {
    KeClearEvent(&done);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State.DeviceState = state;
    IoSetCompletionRoutine(irp, Completed, this, TRUE, TRUE, TRUE);
    return IoCallDriver(pdo, irp);
  }
  bool Wait() {
    LARGE_INTEGER wait = Relative(kSecond);
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &wait) == STATUS_SUCCESS;
  }
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    DevicePowerRequest* self = (DevicePowerRequest*)context;
    self->status = irp->IoStatus.Status;
    self->irql = KeGetCurrentIrql();
    self->thread = KeGetCurrentThread();
    self->pendingReturned = irp->PendingReturned;
    KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT pdo;
  PIRP irp;
  KEVENT done;
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = 0xFF;
  PKTHREAD thread = nullptr;
  BOOLEAN pendingReturned = FALSE;
};

// The hub changes the port's power before it answers: the request pends and comes back from the
// host controller, a power-up at DISPATCH_LEVEL and a power-down at PASSIVE_LEVEL, with the state
// reported to the power manager only when it was reached.
TEST_F(UsbPortRequests, DeviceSetPowerIsAnsweredLaterFromTheHostController) {
  Open();
  DevicePowerRequest request(Pdo());
  struct Case {
    DEVICE_POWER_STATE state;
    int failPowerUps;
    NTSTATUS status;
    KIRQL irql;
    DEVICE_POWER_STATE reported;
  } cases[] = {{PowerDeviceD3, 0, STATUS_SUCCESS, PASSIVE_LEVEL, PowerDeviceD3},
               {PowerDeviceD0, 1, STATUS_UNSUCCESSFUL, DISPATCH_LEVEL, PowerDeviceD3},
               {PowerDeviceD0, 0, STATUS_SUCCESS, DISPATCH_LEVEL, PowerDeviceD0}};
  for (const Case& c : cases) {
    SCOPED_TRACE("D" + std::to_string(c.state - PowerDeviceD0) + " failing " +
                 std::to_string(c.failPowerUps));
    port_->FailPowerUps(c.failPowerUps);
    EXPECT_EQ(STATUS_PENDING, request.Send(c.state));
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(c.status, request.status);
    EXPECT_TRUE(request.pendingReturned);
    EXPECT_NE(KeGetCurrentThread(), request.thread);
    EXPECT_EQ(c.irql, request.irql);
    EXPECT_EQ(c.reported, hostk::PoDevicePowerStateOf(Pdo()));
  }
  EXPECT_EQ(3u, port_->PowerRequests().size());
}

TEST_F(UsbPortRequests, PortStatusFollowsTheDevice) {
  Open();
  ULONG status = 0;
  auto portStatus = [this, &status] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, Pdo(), nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &status;
    return IoCallDriver(Pdo(), irp);
  };
  EXPECT_EQ(STATUS_SUCCESS, portStatus());
  EXPECT_EQ(0x3u, status);  // enabled and connected
  port_->Unplug();
  EXPECT_EQ(STATUS_SUCCESS, portStatus());
  EXPECT_EQ(0u, status);
}

TEST_F(UsbPortRequests, StopCompletesEverythingStillQueued) {
  Open();
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  port_->InjectFault(0x01, UsbFault::NoAnswer());
  uint8_t in[8], out[8] = {};
  AsyncUrb waiting(Pdo()), queued(Pdo()), hung(Pdo());
  waiting.BuildBulk(Pipe(0x81), in, 8, USBD_SHORT_TRANSFER_OK);
  queued.BuildBulk(Pipe(0x81), in, 8, USBD_SHORT_TRANSFER_OK);
  hung.BuildBulk(Pipe(0x01), out, 8, 0);
  ASSERT_EQ(STATUS_PENDING, waiting.Send());
  ASSERT_EQ(STATUS_PENDING, queued.Send());
  ASSERT_EQ(STATUS_PENDING, hung.Send());
  Sleep(kMillisecond);
  EXPECT_EQ(3u, port_->PendingCount());

  port_->Stop();
  for (AsyncUrb* request : {&waiting, &queued, &hung}) {
    EXPECT_TRUE(request->Done());
    EXPECT_EQ(STATUS_CANCELLED, request->status);
  }
  EXPECT_EQ(0u, port_->PendingCount());
  EXPECT_FALSE(Script(0x81).HasWaitingTransfer());
  NTSTATUS status;
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &status);
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, status);
}

TEST_F(UsbPortRequests, AFailedMappingFailsTheTransferAndLeaksNothing) {
  Open();
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  hostk::UserBuffer user(64);
  PMDL mdl = IoAllocateMdl(user.Data(), 64, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, UserMode, IoReadAccess);
  hostk::MmFailNextMapping();
  AsyncUrb request(Pdo());
  request.BuildBulk(Pipe(0x01), nullptr, 64, 0, mdl);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, request.Send());
  EXPECT_EQ(USBD_STATUS_INSUFFICIENT_RESOURCES, request.urb.UrbHeader.Status);
  EXPECT_EQ(0u, Script(0x01).ReceivedCount());
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
}

}  // namespace
}  // namespace kxtest
