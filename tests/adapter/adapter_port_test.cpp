// The identity switch as the Plug and Play manager sees it: the first-stage bridge leaves the bus,
// the stack over it is surprise-removed and removed, and a device with the new identity arrives.
// A small function driver stands in for the adapter's driver and records what reaches it.
#include <mutex>

#include "adapter_test_util.h"
#include "sim/adapter/adapter_port.h"

namespace kxtest {
namespace {

struct PnpRecord {
  PDEVICE_OBJECT pdo;
  UCHAR minor;
};

std::mutex recordLock;
std::vector<PnpRecord> records;

struct FakeExtension {
  PDEVICE_OBJECT lower;
  PDEVICE_OBJECT pdo;
};

NTSTATUS NTAPI FakePnp(PDEVICE_OBJECT device, PIRP irp) {
  FakeExtension* extension = (FakeExtension*)device->DeviceExtension;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  {
    std::lock_guard<std::mutex> guard(recordLock);
    records.push_back({extension->pdo, minor});
  }
  if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
      minor == IRP_MN_REMOVE_DEVICE) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(extension->lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(extension->lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI FakeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FakeExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  FakeExtension* extension = (FakeExtension*)device->DeviceExtension;
  extension->pdo = pdo;
  extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI FakeUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = FakePnp;
  driver->DriverExtension->AddDevice = FakeAddDevice;
  driver->DriverUnload = FakeUnload;
  return STATUS_SUCCESS;
}

void AddAndStart(PDEVICE_OBJECT pdo) {
  PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxFakeAdapterDriver", FakeEntry);
  ASSERT_NE(nullptr, driver);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver, pdo));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE));
}

// The pipes of the first configuration, selected with a URB sent straight to the device.
std::map<UCHAR, USBD_PIPE_HANDLE> SelectPipes(PDEVICE_OBJECT pdo) {
  std::vector<uint8_t> buffer(256);
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), nullptr,
                               (ULONG)buffer.size(), nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitUrbSync(pdo, &urb));
  auto descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)buffer.data();
  USBD_INTERFACE_LIST_ENTRY list[2] = {
      {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, -1, 0, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB select = USBD_CreateConfigurationRequestEx(descriptor, list);
  EXPECT_EQ(STATUS_SUCCESS, SubmitUrbSync(pdo, select));
  std::map<UCHAR, USBD_PIPE_HANDLE> pipes;
  for (ULONG p = 0; p < list[0].Interface->NumberOfPipes; p++) {
    pipes[list[0].Interface->Pipes[p].EndpointAddress] = list[0].Interface->Pipes[p].PipeHandle;
  }
  ExFreePool(select);
  return pipes;
}

NTSTATUS RegisterWrite(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, USHORT reg, ULONG value) {
  std::vector<uint8_t> packet = Cat({{0x5F, 0, (uint8_t)reg, (uint8_t)(reg >> 8)}, Le32(value)});
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         pipe, packet.data(), nullptr, 8, 0, nullptr);
  return SubmitUrbSync(pdo, &urb);
}

USHORT ProductIdOf(PDEVICE_OBJECT pdo) {
  std::vector<uint8_t> descriptor(18);
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor.data(), nullptr, 18,
                               nullptr);
  EXPECT_EQ(STATUS_SUCCESS, SubmitUrbSync(pdo, &urb));
  return (USHORT)(descriptor[10] | descriptor[11] << 8);
}

class AdapterPortTest : public testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> guard(recordLock);
    records.clear();
  }
  std::vector<PnpRecord> Records() {
    std::lock_guard<std::mutex> guard(recordLock);
    return records;
  }
};

TEST_F(AdapterPortTest, IdentitySwitchSurpriseRemovesTheOldStackAndAddsTheNewDevice) {
  kxsim::VirtualAdapterOptions options;
  options.firstStageImage = true;
  auto adapter = std::make_shared<kxsim::VirtualAdapter>(options);
  kxsim::AdapterPort port(adapter);
  PDEVICE_OBJECT oldPdo = port.Pdo();
  EXPECT_EQ(0x3380, ProductIdOf(oldPdo));
  AddAndStart(oldPdo);
  PDEVICE_OBJECT arrived = nullptr;
  port.SetArrivalHandler([&arrived](PDEVICE_OBJECT pdo) {
    arrived = pdo;
    AddAndStart(pdo);
  });

  std::map<UCHAR, USBD_PIPE_HANDLE> pipes = SelectPipes(oldPdo);
  ASSERT_EQ(STATUS_SUCCESS, RegisterWrite(oldPdo, pipes[0x0D], 0x84, 0x33810525));
  ASSERT_EQ(STATUS_SUCCESS, RegisterWrite(oldPdo, pipes[0x0D], 0x8C, 0x200));
  ASSERT_TRUE(port.WaitForReenumerations(1, 10 * kSecond));

  PDEVICE_OBJECT newPdo = port.Pdo();
  EXPECT_EQ(arrived, newPdo);
  EXPECT_EQ(0x3381, ProductIdOf(newPdo));
  EXPECT_EQ(0x3381, adapter->ProductId());
  std::vector<PnpRecord> seen = Records();
  ASSERT_EQ(4u, seen.size());
  EXPECT_EQ(IRP_MN_START_DEVICE, seen[0].minor);
  EXPECT_EQ(IRP_MN_SURPRISE_REMOVAL, seen[1].minor);
  EXPECT_EQ(IRP_MN_REMOVE_DEVICE, seen[2].minor);
  EXPECT_EQ(IRP_MN_START_DEVICE, seen[3].minor);
  EXPECT_EQ(newPdo, seen[3].pdo);

  // The new device is the adapter at power-on, answering on its new port.
  pipes = SelectPipes(newPdo);
  ASSERT_EQ(STATUS_SUCCESS, RegisterWrite(newPdo, pipes[0x0D], 0x50, 0xB0));
  EXPECT_TRUE(adapter->WaitUntil([&] { return adapter->BridgeRegister(0x50) == 0xB0; }, kSecond));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(newPdo));
}

TEST_F(AdapterPortTest, TransfersToTheDepartedDeviceFailAsFromAGoneDevice) {
  kxsim::VirtualAdapterOptions options;
  options.firstStageImage = true;
  auto adapter = std::make_shared<kxsim::VirtualAdapter>(options);
  kxsim::AdapterPort port(adapter);
  PDEVICE_OBJECT oldPdo = port.Pdo();
  std::map<UCHAR, USBD_PIPE_HANDLE> pipes = SelectPipes(oldPdo);
  // Nobody adds a driver: the port only swaps the devices.
  std::vector<uint8_t> buffer(4);
  AsyncUrb pending(oldPdo);
  pending.BuildBulk(pipes[0x8D], buffer.data(), 4,
                    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(STATUS_PENDING, pending.Send());
  ASSERT_EQ(STATUS_SUCCESS, RegisterWrite(oldPdo, pipes[0x0D], 0x84, 0x33810525));
  ASSERT_EQ(STATUS_SUCCESS, RegisterWrite(oldPdo, pipes[0x0D], 0x8C, 0x200));
  ASSERT_TRUE(pending.Wait());
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, pending.status);
  EXPECT_EQ(USBD_STATUS_DEVICE_GONE, pending.urb.UrbHeader.Status);
  ASSERT_TRUE(port.WaitForReenumerations(1, 10 * kSecond));
  EXPECT_EQ(0x3381, ProductIdOf(port.Pdo()));
  EXPECT_TRUE(Records().empty());
}

}  // namespace
}  // namespace kxtest
