#include "adapter_codes_fixture.h"

#include <algorithm>

#include "host/hostk/registry.h"

namespace kxtest {

Bytes DisplayReportBytes(LONG id, ULONG modes, size_t length) {
  Bytes report = Words({(ULONG)id, modes, 0x00005678});
  for (ULONG i = 0; i < 8 * modes + 512; i++) report.push_back((uint8_t)(i * 7 + 1));
  if (length != SIZE_MAX) report.resize(length);
  return report;
}

Bytes DescriptionBytes(LONG id, ULONG modes, size_t length) {
  Bytes description = U32((ULONG)id);
  description.resize(528, 0x5A);
  Bytes count = U32(modes);
  description.insert(description.end(), count.begin(), count.end());
  for (ULONG i = 0; i < 8 * modes; i++) description.push_back((uint8_t)i);
  if (length != SIZE_MAX) description.resize(length, 0);
  return description;
}

void AdapterCodes::TearDown() {
  if (forced_) RestoreBusPnpState(bus_);
  client_.reset();
  PipelineTest::TearDown();
}

void AdapterCodes::StartWith(ULONG driverModel, bool linkByDriver,
                             kxsim::VirtualAdapterOptions options) {
  std::string parameters = hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters";
  hostk::RegistrySetValue(parameters, "DriverModel", REG_BINARY, U32(driverModel));
  hostk::RegistrySetValue(parameters, "LinkByDriver", REG_BINARY, {(uint8_t)linkByDriver});
  Plug(options);
}

hostk::Client& AdapterCodes::client() {
  if (!client_) client_ = std::make_unique<hostk::Client>();
  return *client_;
}

HANDLE AdapterCodes::Open(const std::string& fileName) {
  HANDLE handle = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, client().OpenDevice(fdo_, &handle, fileName)) << fileName;
  return handle;
}

Reply AdapterCodes::Call(HANDLE handle, ULONG code, const Bytes& input, ULONG outLength) {
  Bytes out(std::max<ULONG>(outLength, 1), 0xEE);
  Reply reply{STATUS_PENDING, 0, {}};
  reply.status = client().DeviceControl(handle, code, input.empty() ? nullptr : input.data(),
                                        (ULONG)input.size(), outLength ? out.data() : nullptr,
                                        outLength, &reply.information);
  out.resize(std::min<size_t>(reply.information, outLength));
  reply.out = out;
  return reply;
}

Reply AdapterCodes::Call(ULONG code, const Bytes& input, ULONG outLength) {
  if (control_ == nullptr) control_ = Open();
  return Call(control_, code, input, outLength);
}

namespace {

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  Reply* reply = (Reply*)context;
  reply->status = irp->IoStatus.Status;
  reply->information = irp->IoStatus.Information;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

Reply AdapterCodes::CallBare(ULONG code, ULONG inLength, ULONG outLength, NTSTATUS arrived,
                             ULONG_PTR arrivedInformation) {
  Reply reply{STATUS_PENDING, 0, {}};
  PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
  irp->IoStatus.Status = arrived;
  irp->IoStatus.Information = arrivedInformation;
  irp->AssociatedIrp.SystemBuffer = nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  IoSetCompletionRoutine(irp, KeepRequest, &reply, TRUE, TRUE, TRUE);
  IofCallDriver(fdo_, irp);
  IoFreeIrp(irp);
  return reply;
}

void AdapterCodes::ForceState(LONG state) {
  if (!forced_) SetBusPnpState(bus_, state);
  else bus_->Header.DevicePnpState = state;
  forced_ = true;
}

}  // namespace kxtest
