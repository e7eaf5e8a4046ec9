// The simulated stack's default pipe: descriptor reads, configuration selection and deselection,
// and what pipe handles are worth afterwards.
#include <set>

#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

using kxsim::AdapterUsbOptions;
using kxsim::UsbSpeed;

class UsbConfiguration : public UsbPortTest {};

TEST_F(UsbConfiguration, DeviceDescriptorCarriesIdentityAndReadsPartially) {
  AdapterUsbOptions options;
  options.idVendor = 0x1234;
  options.idProduct = 0xABCD;
  options.numConfigurations = 2;
  Open(options);

  NTSTATUS status;
  std::vector<uint8_t> full = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 64, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(18u, full.size());  // a longer buffer gets the descriptor's own length
  EXPECT_EQ(18, full[0]);
  EXPECT_EQ(USB_DEVICE_DESCRIPTOR_TYPE, full[1]);
  EXPECT_EQ(0x1234, full[8] | full[9] << 8);
  EXPECT_EQ(0xABCD, full[10] | full[11] << 8);
  EXPECT_EQ(2, full[17]);

  std::vector<uint8_t> head = ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 8, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(std::vector<uint8_t>(full.begin(), full.begin() + 8), head);
}

TEST_F(UsbConfiguration, ConfigurationHeaderGivesTotalLengthOfWholeDescriptor) {
  Open();
  NTSTATUS status;
  std::vector<uint8_t> header = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, &status);
  ASSERT_EQ(STATUS_SUCCESS, status);
  ASSERT_EQ(9u, header.size());
  ULONG total = header[2] | header[3] << 8;
  EXPECT_EQ(9u + 9u + 12u * 7u, total);  // one interface, twelve endpoints
  EXPECT_EQ(1, header[4]);
  std::vector<uint8_t> full = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, total, &status);
  EXPECT_EQ(total, full.size());
  EXPECT_EQ(std::vector<uint8_t>(full.begin(), full.begin() + 9), header);
}

TEST_F(UsbConfiguration, MissingDescriptorsStallWithoutHaltingTheDefaultPipe) {
  Open();
  NTSTATUS status;
  USBD_STATUS urbStatus;
  ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 9, &status, &urbStatus);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
  EXPECT_EQ(USBD_STATUS_STALL_PID, urbStatus);
  ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, 255, &status, &urbStatus);
  EXPECT_EQ(USBD_STATUS_STALL_PID, urbStatus);
  // Control transfers clear their own errors: the next read works.
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, &status, &urbStatus);
  EXPECT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(USBD_STATUS_SUCCESS, urbStatus);
  EXPECT_FALSE(port_->IsHalted(0x00));
}

TEST_F(UsbConfiguration, PacketSizesFollowTheSpeed) {
  const std::pair<UsbSpeed, USHORT> cases[] = {
      {UsbSpeed::Full, 64}, {UsbSpeed::High, 512}, {UsbSpeed::Super, 1024}};
  for (const auto& [speed, size] : cases) {
    AdapterUsbOptions options;
    options.speed = speed;
    Open(options);
    ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
    ASSERT_EQ(12u, pipes_.size());
    for (const auto& [address, pipe] : pipes_) {
      EXPECT_EQ(size, pipe.MaximumPacketSize) << "endpoint " << (int)address;
      EXPECT_EQ(UsbdPipeTypeBulk, pipe.PipeType);
    }
    port_.reset();
  }
}

TEST_F(UsbConfiguration, SelectionReportsEveryPipeAndHonoursTheClientsTransferSize) {
  AdapterUsbOptions options;
  options.MakeInterrupt(0x0D, 4).RemoveEndpoint(0x84);
  Open(options);
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration(0, 0x10000));
  EXPECT_EQ(1, port_->ConfigurationValue());
  EXPECT_EQ(1, device_->SelectedConfiguration());
  EXPECT_EQ(11u, pipes_.size());
  EXPECT_EQ(nullptr, Pipe(0x84));
  ASSERT_NE(nullptr, PipeInfo(0x0D));
  EXPECT_EQ(UsbdPipeTypeInterrupt, PipeInfo(0x0D)->PipeType);
  EXPECT_EQ(4, PipeInfo(0x0D)->Interval);
  EXPECT_EQ(0x10000u, PipeInfo(0x81)->MaximumTransferSize);
  EXPECT_EQ(Pipe(0x81), port_->PipeHandle(0x81));
  // Handles are distinct and none is null.
  std::set<USBD_PIPE_HANDLE> handles;
  for (const auto& [address, pipe] : pipes_) handles.insert(pipe.PipeHandle);
  EXPECT_EQ(pipes_.size(), handles.size());
  EXPECT_EQ(0u, handles.count(nullptr));
}

TEST_F(UsbConfiguration, SecondConfigurationIsSelectedByItsValue) {
  AdapterUsbOptions options;
  options.numConfigurations = 2;
  Open(options);
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration(1));
  EXPECT_EQ(2, port_->ConfigurationValue());
}

TEST_F(UsbConfiguration, SuperSpeedCompanionsDoNotHideEndpoints) {
  AdapterUsbOptions options;
  options.speed = UsbSpeed::Super;
  options.MakeInterrupt(0x81);
  Open(options);
  NTSTATUS status;
  std::vector<uint8_t> header = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, &status);
  EXPECT_EQ(9u + 9u + 12u * (7u + 6u), (ULONG)(header[2] | header[3] << 8));
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  EXPECT_EQ(12u, pipes_.size());
  EXPECT_EQ(UsbdPipeTypeInterrupt, PipeInfo(0x81)->PipeType);
}

TEST_F(UsbConfiguration, SecondInterfaceBringsItsOwnPipes) {
  AdapterUsbOptions options;
  kxsim::UsbInterfaceLayout second;
  second.number = 1;
  second.endpoints = {{0x05}, {0x85, USB_ENDPOINT_TYPE_INTERRUPT, 16, 8}};
  options.AddInterface(second);
  Open(options);
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  EXPECT_EQ(14u, pipes_.size());
  EXPECT_EQ(16, PipeInfo(0x85)->MaximumPacketSize);
  EXPECT_EQ(UsbdPipeTypeInterrupt, PipeInfo(0x85)->PipeType);
}

TEST_F(UsbConfiguration, DeselectionAndReselectionInvalidateOldHandles) {
  Open();
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  USBD_PIPE_HANDLE first = Pipe(0x01);
  ASSERT_EQ(STATUS_SUCCESS, Deconfigure());
  EXPECT_EQ(0, port_->ConfigurationValue());
  EXPECT_EQ(0, device_->SelectedConfiguration());
  EXPECT_EQ(nullptr, port_->PipeHandle(0x01));

  uint8_t byte = 0x5A;
  USBD_STATUS urbStatus;
  ULONG moved = 99;
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         first, &byte, nullptr, 1, 0, nullptr);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitUrbSync(Pdo(), &urb));
  EXPECT_EQ(USBD_STATUS_INVALID_PIPE_HANDLE, urb.UrbHeader.Status);

  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
  EXPECT_NE(first, Pipe(0x01));
  UsbBuildInterruptOrBulkTransferRequest(&urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         first, &byte, nullptr, 1, 0, nullptr);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitUrbSync(Pdo(), &urb));
  EXPECT_EQ(STATUS_SUCCESS, Bulk(0x01, &byte, 1, &moved, &urbStatus));
  EXPECT_EQ(1u, moved);
  EXPECT_EQ(3u, port_->Counters().selections);  // the deselection counts
}

TEST_F(UsbConfiguration, SelectionRejectsInterfacesTheConfigurationLacks) {
  Open();
  NTSTATUS status;
  std::vector<uint8_t> header = ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, &status);
  std::vector<uint8_t> full =
      ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, header[2] | header[3] << 8, &status);
  auto descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)full.data();
  USBD_INTERFACE_LIST_ENTRY list[2] = {
      {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, 0, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
  ASSERT_NE(nullptr, urb);
  list[0].Interface->InterfaceNumber = 3;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SubmitUrbSync(Pdo(), urb));
  EXPECT_EQ(USBD_STATUS_INTERFACE_NOT_FOUND, urb->UrbHeader.Status);
  EXPECT_EQ(0, port_->ConfigurationValue());

  // A configuration value the device does not have: SET_CONFIGURATION stalls.
  list[0].Interface->InterfaceNumber = 0;
  full[5] = 7;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SubmitUrbSync(Pdo(), urb));
  EXPECT_EQ(USBD_STATUS_SET_CONFIG_FAILED, urb->UrbHeader.Status);
  ExFreePool(urb);
}

TEST_F(UsbConfiguration, UnknownFunctionsAnswerAsTheStackDoes) {
  Open();
  URB urb = {};
  urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_INTERFACE);
  urb.UrbHeader.Function = 0x0017;  // vendor request to the device, not offered here
  EXPECT_EQ(STATUS_NOT_SUPPORTED, SubmitUrbSync(Pdo(), &urb));
  EXPECT_EQ(USBD_STATUS_INVALID_URB_FUNCTION, urb.UrbHeader.Status);
}

TEST_F(UsbConfiguration, SelectionAbovePassiveLevelIsABugCheck) {
  Open();
  EXPECT_DEATH(
      {
        AsyncUrb request(Pdo());
        request.urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
        request.urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        request.Send();
      },
      "URB_FUNCTION_SELECT_CONFIGURATION");
}

}  // namespace
}  // namespace kxtest
