// Driver and device objects: creation, stacks, deferred deletion, and what unload checks.
#include <gtest/gtest.h>

#include "support/kernel_test_util.h"

namespace {

TEST(DeviceObject, StacksGrowByOneLocationAndDetachUndoes) {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxStack");
  PDEVICE_OBJECT bottom, middle, top;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\KxBottom");
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &bottom));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION,
            IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &middle));
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &middle));
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top));
  EXPECT_EQ(bottom, hostk::IoFindDeviceByName("\\Device\\KxBottom"));
  EXPECT_EQ(nullptr, middle->DeviceExtension);

  EXPECT_EQ(bottom, IoAttachDeviceToDeviceStack(middle, bottom));
  // Attaching to any device of a stack attaches to its top.
  EXPECT_EQ(middle, IoAttachDeviceToDeviceStack(top, bottom));
  EXPECT_EQ(2, middle->StackSize);
  EXPECT_EQ(3, top->StackSize);
  EXPECT_EQ(middle, hostk::IoLowerDevice(top));

  PDEVICE_OBJECT attached = IoGetAttachedDeviceReference(bottom);
  EXPECT_EQ(top, attached);
  EXPECT_EQ(2, hostk::ObReferenceCount(top));
  ObDereferenceObject(attached);

  IoDetachDevice(middle);
  EXPECT_EQ(nullptr, middle->AttachedDevice);
  EXPECT_EQ(nullptr, hostk::IoLowerDevice(top));
  EXPECT_DEATH(IoDeleteDevice(bottom), "still attached above");
  IoDetachDevice(bottom);
  IoDeleteDevice(top);
  IoDeleteDevice(middle);
  IoDeleteDevice(bottom);
  EXPECT_EQ(nullptr, hostk::IoFindDeviceByName("\\Device\\KxBottom"));
  hostk::IoDeleteDriverObject(driver);
}

TEST(DeviceObject, UnknownMajorFunctionsAnswerInvalidDeviceRequest) {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxDefault");
  PDEVICE_OBJECT device;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_NEITHER, 0),
                                           device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoCallDriver(device, irp));
  IoDeleteDevice(device);
  hostk::IoDeleteDriverObject(driver);
}

// The platform deletes a device object only at PASSIVE_LEVEL: a driver that deletes one inside a
// fast mutex (APC_LEVEL) or under a spin lock breaks the rule even when nothing goes wrong at once.
TEST(DeviceObject, DeletionAbovePassiveLevelIsAViolation) {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxIrql");
  PDEVICE_OBJECT device;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  EXPECT_DEATH(
      {
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        IoDeleteDevice(device);
      },
      "IoDeleteDevice called at IRQL 1; it runs only at PASSIVE_LEVEL");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoDeleteDevice(device);
      },
      "IoDeleteDevice called at IRQL 2");
  IoDeleteDevice(device);  // at PASSIVE_LEVEL it is allowed
  EXPECT_EQ(nullptr, driver->DeviceObject);
  hostk::IoDeleteDriverObject(driver);
}

TEST(DeviceObject, DeletionIsDeferredWhileReferenced) {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxRef");
  PDEVICE_OBJECT device;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  EXPECT_EQ(device, driver->DeviceObject);
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  ObReferenceObject(device);
  IoDeleteDevice(device);
  EXPECT_EQ(nullptr, driver->DeviceObject);
  EXPECT_TRUE(hostk::IoIsDeviceDeleted(device));
  memset(device->DeviceExtension, 0xAB, 64);  // still valid memory while referenced
  EXPECT_DEATH(IoDeleteDevice(device), "deleted twice");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoCallDriver(device, irp);
      },
      "deleted device object");
  ObDereferenceObject(device);
  EXPECT_EQ(nullptr, hostk::ObTypeOf(device));
  hostk::IoDeleteDriverObject(driver);
}

using UnloadDeathTest = testing::Test;

TEST_F(UnloadDeathTest, DeviceObjectsOrPoolLeftAtUnload) {
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxLeaky");
        PDEVICE_OBJECT device;
        IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        hostk::IoUnloadDriver(driver);
      },
      "unloaded with device objects still present");
  EXPECT_DEATH(
      {
        PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxLeaky");
        driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {};
        ExAllocatePoolWithTag(NonPagedPoolNx, 24, hostk::PoolTag("200M"));
        hostk::IoUnloadDriver(driver);
      },
      "pool still allocated:(.|\n)*200M: 1 blocks, 24 bytes");
}

TEST(DeviceObject, CleanUnloadCallsDriverUnload) {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxClean");
  static bool unloaded;
  unloaded = false;
  driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { unloaded = true; };
  hostk::IoUnloadDriver(driver);
  EXPECT_TRUE(unloaded);
}

}  // namespace
