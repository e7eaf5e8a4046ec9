// The driver frame: entry, add device, create and close with their handle selectors, routing, and
// the outstanding-request counter.
#include <gtest/gtest.h>

#include "support/adapter_fixture.h"

namespace {

using kxtest::AdapterFixture;

using DriverFrame = AdapterFixture;

TEST_F(DriverFrame, AddDeviceFillsTheRecordAndAttachesAboveTheBus) {
  EXPECT_EQ(fdo_, bus_->Header.Self);
  EXPECT_EQ(1, bus_->Header.IsFunctionDevice);
  EXPECT_EQ(NotStarted, bus_->Header.DevicePnpState);
  EXPECT_EQ(pdo_, bus_->LowerDeviceObject);
  EXPECT_EQ(pdo_, bus_->PhysicalDeviceObject);
  EXPECT_EQ((ULONG)(DO_DIRECT_IO | DO_POWER_PAGABLE),
            fdo_->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING));
  EXPECT_EQ(1, bus_->OutstandingIo);
  EXPECT_EQ(1, KeReadStateEvent(&bus_->IoIdleEvent));
  EXPECT_EQ(0, KeReadStateEvent(&bus_->RemoveEvent));
  EXPECT_EQ(kMaxTransferSize, bus_->MaxTransferSize);
  EXPECT_EQ(1, bus_->StagingPageable);
  EXPECT_EQ(2u, hostk::PoolLiveCount(kTagFrameBuffers));
  EXPECT_EQ(0u, bus_->ChildCount);
}

TEST_F(DriverFrame, TransferSizeFollowsTheDriverModelGeneration) {
  struct Case {
    hostk::WindowsRelease release;
    ULONG size;
  } cases[] = {{hostk::WindowsRelease::Windows98, kMaxTransferSize},
               {hostk::WindowsRelease::WindowsXP, kMaxTransferSize},
               {hostk::WindowsRelease::WindowsServer2003, kMaxTransferSizePreWdm6},
               {hostk::WindowsRelease::WindowsVista, kMaxTransferSize}};
  for (const Case& c : cases) {
    hostk::SetWindowsVersion(c.release);
    PDEVICE_OBJECT pdo = hostk::PnpCreatePlainBusDevice();
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver_, pdo));
    EXPECT_EQ(c.size, ((BusDeviceContext*)pdo->AttachedDevice->DeviceExtension)->MaxTransferSize);
    EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(pdo));
    hostk::PnpDeletePlainBusDevice(pdo);
  }
}

TEST_F(DriverFrame, CreateRecordsTheHandleSelectorOfTheFileName) {
  MarkStarted();
  struct Case {
    const char* name;
    ULONG selector;
  } cases[] = {
      {"", kControlHandle},
      {"\\DISP03", 0xF003},
      {"\\disp03", 0xF003},
      {"\\dIsP10", 0xF00A},
      {"\\DMASET2", 3},
      {"\\dmaset0", 1},
      {"\\DMASET4", kControlHandle},
      {"\\DMASET", kControlHandle},
      {"\\DISP01xxxxxxxxxxxxxxxxxxxxxxxxx", 0xF001},         // 32 characters: still read
      {"\\DISP01xxxxxxxxxxxxxxxxxxxxxxxxxx", kControlHandle},  // 33: too long
      {"\\other", kControlHandle},
  };
  for (const Case& c : cases) {
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, Open(&handle, c.name)) << c.name;
    EXPECT_EQ(c.selector, SelectorOf(handle)) << c.name;
    EXPECT_EQ(1, bus_->OpenHandleCount);
    EXPECT_EQ(STATUS_SUCCESS, client().Close(handle));
    EXPECT_EQ(0, bus_->OpenHandleCount);
  }
}

TEST_F(DriverFrame, CreateIsRefusedUntilStartedAndCloseAlwaysSucceeds) {
  HANDLE handle;
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Open(&handle, "\\DISP01"));
  EXPECT_EQ(0, bus_->OpenHandleCount);
  MarkStarted();
  ASSERT_EQ(STATUS_SUCCESS, Open(&handle, "\\DISP01"));
  SetBusPnpState(bus_, Stopped);
  EXPECT_EQ(STATUS_SUCCESS, client().Close(handle));
  EXPECT_EQ(0, bus_->OpenHandleCount);
  SetBusPnpState(bus_, Started);
  EXPECT_EQ(STATUS_SUCCESS, Open(&handle, "\\DISP01"));
  EXPECT_EQ(STATUS_SUCCESS, client().Close(handle));
}

// The lower device counts what reaches it, so a test sees whether a request was routed at all.
struct CountingLower {
  static inline int seen = 0;
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    seen++;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
};

TEST_F(DriverFrame, RequestsReachTheLowerDeviceUntilRemovedAndNothingAfter) {
  PDRIVER_OBJECT busDriver = pdo_->DriverObject;
  PDRIVER_DISPATCH saved[IRP_MJ_MAXIMUM_FUNCTION + 1];
  memcpy(saved, busDriver->MajorFunction, sizeof saved);
  for (auto& routine : busDriver->MajorFunction) routine = CountingLower::Dispatch;
  CountingLower::seen = 0;
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(fdo_, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(fdo_, IRP_MJ_POWER, IRP_MN_QUERY_POWER));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(fdo_, IRP_MJ_SYSTEM_CONTROL, 0));
  EXPECT_EQ(3, CountingLower::seen);
  EXPECT_EQ(1, bus_->OutstandingIo);

  // A record marked removed refuses Plug and Play and power requests and passes nothing on.
  SetBusPnpState(bus_, Removed);
  ULONG_PTR information = 1;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE,
            hostk::PnpSendRequest(fdo_, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr,
                                  &information));
  EXPECT_EQ(0u, information);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, hostk::PnpSendRequest(fdo_, IRP_MJ_POWER, IRP_MN_QUERY_POWER));
  EXPECT_EQ(3, CountingLower::seen);
  RestoreBusPnpState(bus_);
  memcpy(busDriver->MajorFunction, saved, sizeof saved);
}

TEST_F(DriverFrame, ChildDevicesRefuseCreateCloseReadAndWrite) {
  PDEVICE_OBJECT child;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(ChildDeviceContext), nullptr,
                                           FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child));
  ((ChildDeviceContext*)child->DeviceExtension)->Header.Self = child;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  HANDLE handle;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, client().OpenDevice(child, &handle));
  char buffer[16];
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp = IoBuildSynchronousFsdRequest(major, child, buffer, sizeof buffer, nullptr, &event,
                                            &iosb);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoCallDriver(child, irp));
  }
  IoDeleteDevice(child);
}

// A child is the bottom of its stack and provides no WMI data: system control ends there with the
// status it carries, whatever that is, and never reaches the adapter's stack.
TEST_F(DriverFrame, AChildEndsSystemControlWithTheStatusItCarries) {
  PDEVICE_OBJECT child;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(ChildDeviceContext), nullptr,
                                           FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child));
  ((ChildDeviceContext*)child->DeviceExtension)->Header.Self = child;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  for (NTSTATUS carried : {STATUS_NOT_SUPPORTED, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, child, nullptr, 0, nullptr,
                                            &event, &iosb);
    ASSERT_NE(nullptr, irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = 0;  // IRP_MN_QUERY_ALL_DATA
    irp->IoStatus.Status = carried;
    EXPECT_EQ(carried, IoCallDriver(child, irp));
  }
  IoDeleteDevice(child);
}

TEST_F(DriverFrame, CounterEventsFollowTheBaseReference) {
  EXPECT_EQ(2, IoCountIncrement(bus_));
  EXPECT_EQ(0, KeReadStateEvent(&bus_->IoIdleEvent));
  EXPECT_EQ(3, IoCountIncrement(bus_));
  EXPECT_EQ(2, IoCountDecrement(bus_));
  EXPECT_EQ(0, KeReadStateEvent(&bus_->IoIdleEvent));
  EXPECT_EQ(1, IoCountDecrement(bus_));
  EXPECT_EQ(1, KeReadStateEvent(&bus_->IoIdleEvent));
  EXPECT_EQ(0, KeReadStateEvent(&bus_->RemoveEvent));
  // The base reference is the removal's to drop; put it back so removal finds it.
  EXPECT_EQ(0, IoCountDecrement(bus_));
  EXPECT_EQ(1, KeReadStateEvent(&bus_->RemoveEvent));
  KeClearEvent(&bus_->RemoveEvent);
  IoCountIncrement(bus_);
  KeSetEvent(&bus_->IoIdleEvent, IO_NO_INCREMENT, FALSE);
}

TEST_F(DriverFrame, AcquireIfStartedRefusesInEveryOtherState) {
  for (LONG state : {NotStarted, Stopped, StopPending, RemovePending, SurpriseRemoved, Removed}) {
    SetBusPnpState(bus_, state);
    EXPECT_FALSE(IoCountAcquireIfStarted(bus_)) << state;
    EXPECT_EQ(1, bus_->OutstandingIo);
  }
  SetBusPnpState(bus_, Started);
  EXPECT_TRUE(IoCountAcquireIfStarted(bus_));
  EXPECT_EQ(2, bus_->OutstandingIo);
  IoCountDecrement(bus_);
}

TEST_F(DriverFrame, CancelRestoresOnlyFromTheMatchingPendingState) {
  SetBusPnpState(bus_, Started);
  SetBusPnpState(bus_, StopPending);
  CancelPendingBusPnpState(bus_, RemovePending);
  EXPECT_EQ(StopPending, bus_->Header.DevicePnpState);
  EXPECT_EQ(Started, bus_->Header.PreviousPnpState);
  CancelPendingBusPnpState(bus_, StopPending);
  EXPECT_EQ(Started, bus_->Header.DevicePnpState);
}

TEST_F(DriverFrame, ResetChannelsFreesEveryChannel) {
  bus_->Channels[4].DisplayId = 7;
  bus_->Channels[4].Free = 0;
  bus_->Channels[4].Width = 1920;
  ResetChannels(bus_);
  for (ULONG i = 0; i < kChannelCount; i++) {
    EXPECT_EQ(i, bus_->Channels[i].Index);
    EXPECT_EQ(1, bus_->Channels[i].Free);
    EXPECT_EQ(kNoDisplay, bus_->Channels[i].DisplayId);
    EXPECT_EQ(bus_, bus_->Channels[i].Owner);
    EXPECT_EQ(0u, bus_->Channels[i].Width);
  }
}

// Allocation failures: AddDevice leaves nothing behind, and takes non-paged pool when paged fails.
TEST(DriverFrameFaults, FrameBufferFailuresLeaveNoHalfMadeAdapter) {
  PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  PDEVICE_OBJECT pdo = hostk::PnpCreatePlainBusDevice();
  // Paged pool refuses the first buffer, non-paged pool too: nothing is left.
  hostk::PoolFailTag(kTagFrameBuffers);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, hostk::PnpAddDevice(driver, pdo));
  hostk::PoolClearFaults();
  EXPECT_EQ(nullptr, pdo->AttachedDevice);
  // The driver had no device left and was unloaded; load it again.
  driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  // The second buffer fails both ways (the 2nd and 3rd allocation from now): the first is freed.
  hostk::PoolFailNth(2);
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver, pdo));  // paged failed, non-paged served
  BusDeviceContext* bus = (BusDeviceContext*)pdo->AttachedDevice->DeviceExtension;
  EXPECT_EQ(1, bus->StagingPageable);
  EXPECT_EQ(0, bus->EncodePageable);
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(pdo));
  driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  hostk::PoolFailNth(2);
  hostk::PoolFailNth(3);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, hostk::PnpAddDevice(driver, pdo));
  hostk::PoolClearFaults();
  EXPECT_EQ(nullptr, pdo->AttachedDevice);
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagFrameBuffers));
  hostk::PnpDeletePlainBusDevice(pdo);
}

}  // namespace
