// Client-side helpers for the simulated USB stack's tests.
#include "sim_usb_test_util.h"

namespace kxtest {

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT pdo, PURB urb) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr,
                                           0, TRUE, &event, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

AsyncUrb::AsyncUrb(PDEVICE_OBJECT pdo) : pdo_(pdo), irp_(IoAllocateIrp(pdo->StackSize, FALSE)) {
  KeInitializeEvent(&done_, NotificationEvent, FALSE);
}

AsyncUrb::~AsyncUrb() {
  if (irp_ != nullptr) IoFreeIrp(irp_);
}

void AsyncUrb::BuildBulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags, PMDL mdl) {
  UsbBuildInterruptOrBulkTransferRequest(&urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         pipe, buffer, mdl, length, flags, nullptr);
}

void AsyncUrb::BuildDescriptorRead(UCHAR type, UCHAR index, void* buffer, ULONG length) {
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                               index, 0, buffer, nullptr, length, nullptr);
}

NTSTATUS AsyncUrb::Send(bool cancelled) {
  KeClearEvent(&done_);
  IoReuseIrp(irp_, STATUS_NOT_SUPPORTED);
  irp_->Cancel = cancelled;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
  return IoCallDriver(pdo_, irp_);
}

bool AsyncUrb::Wait(LONGLONG timeout) {
  LARGE_INTEGER wait = Relative(timeout);
  return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &wait) == STATUS_SUCCESS;
}

NTSTATUS NTAPI AsyncUrb::Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  AsyncUrb* self = (AsyncUrb*)context;
  self->status = irp->IoStatus.Status;
  self->completionIrql = KeGetCurrentIrql();
  self->completionThread = KeGetCurrentThread();
  self->pendingReturned = irp->PendingReturned;
  KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void UsbPortTest::Open(kxsim::AdapterUsbOptions options, kxsim::UsbPortOptions portOptions) {
  device_ = std::make_shared<kxsim::AdapterUsbDevice>(std::move(options));
  port_ = std::make_unique<kxsim::SimulatedUsbPort>(device_, portOptions);
}

std::vector<uint8_t> UsbPortTest::ReadDescriptor(UCHAR type, UCHAR index, ULONG length,
                                                 NTSTATUS* status, USBD_STATUS* urbStatus) {
  std::vector<uint8_t> buffer(length);
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                               index, 0, buffer.data(), nullptr, length, nullptr);
  NTSTATUS result = SubmitUrbSync(Pdo(), &urb);
  if (status != nullptr) *status = result;
  if (urbStatus != nullptr) *urbStatus = urb.UrbHeader.Status;
  buffer.resize(NT_SUCCESS(result) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
  return buffer;
}

NTSTATUS UsbPortTest::SelectConfiguration(UCHAR index, ULONG maxTransferSize) {
  NTSTATUS status;
  std::vector<uint8_t> header =
      ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, 9, &status);
  if (!NT_SUCCESS(status)) return status;
  std::vector<uint8_t> full =
      ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, index, header[2] | header[3] << 8, &status);
  if (!NT_SUCCESS(status)) return status;
  auto descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)full.data();
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (PVOID at = descriptor;;) {
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(descriptor, at, -1, 0, -1, -1, -1);
    if (found == nullptr) break;
    list.push_back({found, nullptr});
    at = (PUCHAR)found + found->bLength;
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  for (size_t i = 0; i + 1 < list.size(); i++) {
    for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; p++) {
      list[i].Interface->Pipes[p].MaximumTransferSize = maxTransferSize;
    }
  }
  status = SubmitUrbSync(Pdo(), urb);
  pipes_.clear();
  for (size_t i = 0; NT_SUCCESS(status) && i + 1 < list.size(); i++) {
    for (ULONG p = 0; p < list[i].Interface->NumberOfPipes; p++) {
      pipes_[list[i].Interface->Pipes[p].EndpointAddress] = list[i].Interface->Pipes[p];
    }
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS UsbPortTest::Deconfigure() {
  URB urb = {};
  urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
  urb.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  return SubmitUrbSync(Pdo(), &urb);
}

NTSTATUS UsbPortTest::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS* urbStatus) {
  URB urb = {};
  urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  NTSTATUS status = SubmitUrbSync(Pdo(), &urb);
  if (urbStatus != nullptr) *urbStatus = urb.UrbHeader.Status;
  return status;
}

USBD_PIPE_HANDLE UsbPortTest::Pipe(UCHAR endpoint) const {
  auto it = pipes_.find(endpoint);
  return it == pipes_.end() ? nullptr : it->second.PipeHandle;
}

const USBD_PIPE_INFORMATION* UsbPortTest::PipeInfo(UCHAR endpoint) const {
  auto it = pipes_.find(endpoint);
  return it == pipes_.end() ? nullptr : &it->second;
}

NTSTATUS UsbPortTest::Bulk(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved,
                           USBD_STATUS* urbStatus, ULONG flags) {
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb,
                                         (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         Pipe(endpoint), buffer, nullptr, length, flags, nullptr);
  NTSTATUS status = SubmitUrbSync(Pdo(), &urb);
  if (moved != nullptr) *moved = urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (urbStatus != nullptr) *urbStatus = urb.UrbHeader.Status;
  return status;
}

}  // namespace kxtest
