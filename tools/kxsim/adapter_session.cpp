#include "adapter_session.h"

#include "host/hostk/pnp.h"
#include "host/hostk/registry.h"
#include "sim/display/display_driver.h"

#include <cstdio>

namespace kxsim {
namespace {

void PutLe16(uint8_t* at, ULONG value) {
  at[0] = uint8_t(value);
  at[1] = uint8_t(value >> 8);
}

}  // namespace

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", unsigned(ULONG(status)));
  return text;
}

AdapterSession::~AdapterSession() {
  if (port_ != nullptr) Remove();
}

bool AdapterSession::Plug(const SessionOptions& options, std::string* error) {
  adapter_ = std::make_shared<VirtualAdapter>(options.adapter);
  std::shared_ptr<UsbDeviceModel> device = adapter_->Device();
  if (options.device) device = options.device(device);
  port_ = std::make_unique<SimulatedUsbPort>(device, options.port);
  if (options.portReady) options.portReady(*port_);
  NTSTATUS status = STATUS_SUCCESS;
  driver_ = hostk::PnpLoadDriver("KxBusIdd", DriverEntry, &status);
  if (driver_ == nullptr) {
    *error = "the driver's entry failed with " + StatusText(status);
    return false;
  }
  std::string parameters = hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters";
  for (const auto& value : options.parameters) {
    hostk::RegistrySetValue(parameters, value.first, REG_BINARY, value.second);
  }
  status = hostk::PnpAddDevice(driver_, port_->Pdo());
  if (!NT_SUCCESS(status)) {
    *error = "adding the device failed with " + StatusText(status);
    driver_ = nullptr;  // unloaded with its last device
    return false;
  }
  fdo_ = port_->Pdo()->AttachedDevice;
  bus_ = (BusDeviceContext*)fdo_->DeviceExtension;
  status = hostk::PnpStartDevice(port_->Pdo());
  if (!NT_SUCCESS(status)) {
    *error = "starting the device failed with " + StatusText(status);
    // The manager removed the device after the failed start, and the driver went with it.
    driver_ = nullptr;
    fdo_ = nullptr;
    bus_ = nullptr;
    return false;
  }
  descriptor_ = std::make_unique<hostk::UserBuffer>(kUpdateDescriptorSize);
  return true;
}

bool AdapterSession::Plug(int quality, int sampling, std::string* error, bool decodeFrames) {
  SessionOptions options;
  options.adapter.decodeFrames = decodeFrames;
  return Plug(options, quality, sampling, error);
}

bool AdapterSession::Plug(const SessionOptions& options, int quality, int sampling,
                          std::string* error) {
  if (!Plug(options, error)) return false;
  bus_->Quality = UCHAR(quality);
  bus_->Sampling = UCHAR(sampling);
  return true;
}

PDEVICE_OBJECT AdapterSession::AddChild(ULONG channel, LONG displayId) {
  PDEVICE_OBJECT child = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(ChildDeviceContext), nullptr,
                                 FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child))) {
    return nullptr;
  }
  ChildDeviceContext* record = (ChildDeviceContext*)child->DeviceExtension;
  record->Header.Self = child;
  record->ParentDevice = fdo_;
  record->ChannelIndex = channel;
  record->DisplayId = ULONG(displayId);
  record->Present = 1;
  child->Flags &= ~DO_DEVICE_INITIALIZING;
  bus_->Channels[channel].Free = 0;
  bus_->Channels[channel].DisplayId = displayId;
  children_.push_back(child);
  return child;
}

NTSTATUS AdapterSession::Ioctl(PDEVICE_OBJECT child, ULONG code, void* input, ULONG inputLength,
                               void* output, ULONG outputLength, ULONG_PTR* information) {
  return DisplayIoctl(child, code, input, inputLength, output, outputLength, information);
}

NTSTATUS AdapterSession::SetMode(PDEVICE_OBJECT child, USHORT width, USHORT height) {
  uint8_t mode[32] = {};
  PutLe16(mode, width);
  PutLe16(mode + 2, height);
  PutLe16(mode + 4, 32);
  return Ioctl(child, IOCTL_DISPLAY_SET_MODE, mode, sizeof mode, nullptr, 0, nullptr);
}

NTSTATUS AdapterSession::Present(PDEVICE_OBJECT child, const hostk::UserBuffer& pixels,
                                 LONG pitch, const PixelRect& rect) {
  uint8_t* bytes = descriptor_->Data();
  ULONG offset = ULONG(rect.top) * ULONG(pitch) + ULONG(rect.left) * 4u;
  std::vector<uint8_t> descriptor = UpdateDescriptorBytes(
      rect.left, rect.top, rect.right, rect.bottom, offset, pitch, ULONG(pixels.Length()));
  std::copy(descriptor.begin(), descriptor.end(), bytes);
  ULONG_PTR information = 0;
  NTSTATUS status =
      Ioctl(child, IOCTL_DISPLAY_PRESENT, bytes, ULONG(descriptor_->Length()), pixels.Data(),
            ULONG(pixels.Length()), &information);
  // A present that succeeded answers with the TotalSize it took.
  if (NT_SUCCESS(status) && information != pixels.Length()) return STATUS_UNSUCCESSFUL;
  return status;
}

void AdapterSession::Settle(LONGLONG hundredNs) {
  LARGE_INTEGER interval;
  interval.QuadPart = -hundredNs;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS AdapterSession::Remove() { return Release(false); }

NTSTATUS AdapterSession::SurpriseRemove() { return Release(true); }

NTSTATUS AdapterSession::Release(bool pulled) {
  for (PDEVICE_OBJECT child : children_) IoDeleteDevice(child);
  children_.clear();
  descriptor_.reset();
  NTSTATUS status = STATUS_SUCCESS;
  if (pulled && port_ != nullptr) port_->Unplug();
  if (port_ != nullptr && driver_ != nullptr) {
    status = pulled ? hostk::PnpSurpriseRemoveDevice(port_->Pdo())
                    : hostk::PnpRemoveDevice(port_->Pdo());
  }
  driver_ = nullptr;
  fdo_ = nullptr;
  bus_ = nullptr;
  port_.reset();
  adapter_.reset();
  return status;
}

std::vector<std::string> StartedChildren(PDEVICE_OBJECT adapterPdo) {
  std::string adapter = hostk::IoDeviceInstancePath(adapterPdo);
  std::vector<std::string> children;
  for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree()) {
    if (node.parentInstancePath == adapter && node.state == "Started") {
      children.push_back(node.instancePath);
    }
  }
  return children;
}

NTSTATUS AdapterSession::StopDevice() {
  if (fdo_ == nullptr) return STATUS_NO_SUCH_DEVICE;
  return hostk::PnpStopDevice(port_->Pdo());
}

NTSTATUS AdapterSession::StartDevice() {
  if (fdo_ == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = hostk::PnpStartDevice(port_->Pdo());
  if (!NT_SUCCESS(status)) {
    driver_ = nullptr;
    fdo_ = nullptr;
    bus_ = nullptr;
  }
  return status;
}

std::vector<std::string> AdapterSession::Violations() const { return adapter_->ViolationDetails(); }

}  // namespace kxsim
