// USBD.SYS's routines as the host kernel provides them: descriptor parsing and the select URB.
#include "sim/usb/usb_descriptors.h"
#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::UsbInterfaceLayout;

// Interface 0 with three endpoints, its alternate setting 1 with none, interface 1 of class 3
// with two; SuperSpeed, so companion descriptors sit between the endpoints.
std::vector<uint8_t> ThreeInterfaceConfiguration() {
  kxsim::UsbConfigurationLayout layout;
  UsbInterfaceLayout first;
  first.endpoints = {{0x01}, {0x81}, {0x82, USB_ENDPOINT_TYPE_INTERRUPT}};
  UsbInterfaceLayout alternate;
  alternate.alternateSetting = 1;
  UsbInterfaceLayout second;
  second.number = 1;
  second.interfaceClass = 3;
  second.endpoints = {{0x02}, {0x83}};
  layout.interfaces = {first, alternate, second};
  layout.declaredInterfaces = 2;
  return kxsim::BuildConfigurationDescriptor(layout, kxsim::UsbSpeed::Super);
}

class Usbd : public testing::Test {
 protected:
  std::vector<uint8_t> bytes_ = ThreeInterfaceConfiguration();
  PUSB_CONFIGURATION_DESCRIPTOR config_ = (PUSB_CONFIGURATION_DESCRIPTOR)bytes_.data();

  PUSB_INTERFACE_DESCRIPTOR Find(LONG number, LONG alternate, LONG cls = -1,
                                 PVOID start = nullptr) {
    return USBD_ParseConfigurationDescriptorEx(config_, start ? start : config_, number, alternate,
                                               cls, -1, -1);
  }
};

TEST_F(Usbd, ParseConfigurationDescriptorExMatchesEveryGivenCriterion) {
  PUSB_INTERFACE_DESCRIPTOR first = Find(0, 0);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(3, first->bNumEndpoints);
  PUSB_INTERFACE_DESCRIPTOR alternate = Find(0, 1);
  ASSERT_NE(nullptr, alternate);
  EXPECT_EQ(1, alternate->bAlternateSetting);
  PUSB_INTERFACE_DESCRIPTOR second = Find(-1, -1, 3);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(1, second->bInterfaceNumber);
  EXPECT_EQ(nullptr, Find(2, -1));
  EXPECT_EQ(nullptr, Find(0, 0, 3));
  // The search starts where it is told to.
  EXPECT_EQ(alternate, Find(0, -1, -1, (PUCHAR)first + first->bLength));
  EXPECT_EQ(nullptr, Find(0, 0, -1, (PUCHAR)second));
}

TEST_F(Usbd, ParseDescriptorsStopsAtTheEndAndAtZeroLengths) {
  ULONG total = config_->wTotalLength;
  auto endpoint = (PUSB_ENDPOINT_DESCRIPTOR)USBD_ParseDescriptors(config_, total, config_,
                                                                  USB_ENDPOINT_DESCRIPTOR_TYPE);
  ASSERT_NE(nullptr, endpoint);
  EXPECT_EQ(0x01, endpoint->bEndpointAddress);
  EXPECT_NE(nullptr, USBD_ParseDescriptors(config_, total, config_, 0x30));  // a companion
  // The last endpoint's header does not fit a buffer that ends one byte into it.
  EXPECT_EQ(nullptr, USBD_ParseDescriptors(config_, total - 12, (PUCHAR)config_ + total - 13,
                                           USB_ENDPOINT_DESCRIPTOR_TYPE));
  EXPECT_NE(nullptr, USBD_ParseDescriptors(config_, total - 11, (PUCHAR)config_ + total - 13,
                                           USB_ENDPOINT_DESCRIPTOR_TYPE));
  bytes_[9] = 0;  // the first interface descriptor claims zero length
  EXPECT_EQ(nullptr, USBD_ParseDescriptors(config_, total, config_, USB_ENDPOINT_DESCRIPTOR_TYPE));
}

TEST_F(Usbd, CreateConfigurationRequestExLaysOutOneInformationPerListedInterface) {
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {Find(0, 1), nullptr}, {Find(1, 0), nullptr}, {Find(0, 0), nullptr}, {nullptr, nullptr}};
  size_t before = hostk::PoolLiveCount(hostk::PoolTag("USBD"));
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  ASSERT_NE(nullptr, urb);
  EXPECT_EQ(before + 1, hostk::PoolLiveCount(hostk::PoolTag("USBD")));
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 5), urb->UrbHeader.Length);
  EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, urb->UrbHeader.Function);
  EXPECT_EQ(config_, urb->UrbSelectConfiguration.ConfigurationDescriptor);

  PUCHAR expected = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
  const UCHAR numbers[] = {0, 1, 0}, alternates[] = {1, 0, 0}, pipes[] = {0, 2, 3};
  for (int i = 0; i < 3; i++) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    EXPECT_EQ((PUSBD_INTERFACE_INFORMATION)expected, info) << i;
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(pipes[i]), info->Length);
    EXPECT_EQ(numbers[i], info->InterfaceNumber);
    EXPECT_EQ(alternates[i], info->AlternateSetting);
    EXPECT_EQ(pipes[i], info->NumberOfPipes);
    for (ULONG p = 0; p < info->NumberOfPipes; p++) {
      EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, info->Pipes[p].MaximumTransferSize);
      EXPECT_EQ(nullptr, info->Pipes[p].PipeHandle);
    }
    expected += info->Length;
  }
  EXPECT_EQ((PUCHAR)urb + urb->UrbHeader.Length, expected);
  ExFreePool(urb);
}

TEST_F(Usbd, CreateConfigurationRequestExFailsCleanlyWhenThePoolIsEmpty) {
  USBD_INTERFACE_LIST_ENTRY list[] = {{Find(0, 0), nullptr}, {nullptr, nullptr}};
  hostk::PoolFailNth(1);
  EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(config_, list));
  EXPECT_EQ(nullptr, list[0].Interface);
  EXPECT_EQ(0u, hostk::PoolLiveCount());
}

TEST_F(Usbd, TheBuiltRequestSelectsOnTheSimulatedStack) {
  // The stack accepts the interfaces in any order and fills in every pipe.
  kxsim::AdapterUsbOptions options;
  options.interfaces = {};
  kxsim::UsbConfigurationLayout layout;
  UsbInterfaceLayout zero;
  zero.endpoints = {{0x01}, {0x81}};
  UsbInterfaceLayout one;
  one.number = 1;
  one.endpoints = {{0x82, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}};
  options.interfaces = {zero, one};
  auto device = std::make_shared<kxsim::AdapterUsbDevice>(options);
  kxsim::SimulatedUsbPort port(device);
  std::vector<uint8_t> bytes = device->ConfigurationDescriptor(0);
  auto config = (PUSB_CONFIGURATION_DESCRIPTOR)bytes.data();
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
      {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(nullptr, urb);
  ASSERT_EQ(STATUS_SUCCESS, SubmitUrbSync(port.Pdo(), urb));
  EXPECT_EQ(USBD_STATUS_SUCCESS, urb->UrbHeader.Status);
  EXPECT_NE(nullptr, urb->UrbSelectConfiguration.ConfigurationHandle);
  EXPECT_EQ(0x82, list[0].Interface->Pipes[0].EndpointAddress);
  EXPECT_EQ(UsbdPipeTypeInterrupt, list[0].Interface->Pipes[0].PipeType);
  EXPECT_EQ(10, list[0].Interface->Pipes[0].Interval);
  EXPECT_EQ(0xFF, list[1].Interface->Class);
  EXPECT_EQ(port.PipeHandle(0x81), list[1].Interface->Pipes[1].PipeHandle);
  EXPECT_NE(nullptr, list[1].Interface->InterfaceHandle);
  ExFreePool(urb);
}

}  // namespace
}  // namespace kxtest
