// The adapter's USB identity and its endpoints.
#include "sim/adapter/adapter_usb_device.h"

#include <algorithm>

namespace kxsim {
namespace {

constexpr UCHAR kAdapterEndpoints[] = {0x01, 0x02, 0x03, 0x04, 0x81, 0x82,
                                       0x83, 0x84, 0x0D, 0x8D, 0x0E, 0x8E};

template <typename F>
void ForEndpoint(std::vector<UsbInterfaceLayout>* interfaces, UCHAR address, F change) {
  for (UsbInterfaceLayout& interface : *interfaces) {
    for (UsbEndpointLayout& endpoint : interface.endpoints) {
      if (endpoint.address == address) change(endpoint);
    }
  }
}

}  // namespace

std::vector<UsbInterfaceLayout> AdapterInterfaces() {
  UsbInterfaceLayout interface;
  for (UCHAR address : kAdapterEndpoints) interface.endpoints.push_back({address});
  return {interface};
}

AdapterUsbOptions& AdapterUsbOptions::MakeInterrupt(UCHAR endpoint, UCHAR interval) {
  ForEndpoint(&interfaces, endpoint, [interval](UsbEndpointLayout& layout) {
    layout.type = USB_ENDPOINT_TYPE_INTERRUPT;
    layout.interval = interval;
  });
  return *this;
}

AdapterUsbOptions& AdapterUsbOptions::SetMaxPacketSize(UCHAR endpoint, USHORT size) {
  ForEndpoint(&interfaces, endpoint,
              [size](UsbEndpointLayout& layout) { layout.maxPacketSize = size; });
  return *this;
}

AdapterUsbOptions& AdapterUsbOptions::RemoveEndpoint(UCHAR endpoint) {
  for (UsbInterfaceLayout& interface : interfaces) {
    auto& list = interface.endpoints;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [endpoint](const UsbEndpointLayout& layout) {
                                return layout.address == endpoint;
                              }),
               list.end());
  }
  return *this;
}

AdapterUsbOptions& AdapterUsbOptions::AddInterface(UsbInterfaceLayout interface) {
  interfaces.push_back(std::move(interface));
  return *this;
}

AdapterUsbDevice::AdapterUsbDevice(AdapterUsbOptions options) : options_(std::move(options)) {
  for (const UsbInterfaceLayout& interface : options_.interfaces) {
    for (const UsbEndpointLayout& endpoint : interface.endpoints) {
      auto script = std::make_shared<ScriptedEndpoint>();
      scripts_[endpoint.address] = script;
      handlers_[endpoint.address] = script;
    }
  }
}

ScriptedEndpoint* AdapterUsbDevice::Script(UCHAR endpoint) const {
  auto it = scripts_.find(endpoint);
  return it == scripts_.end() ? nullptr : it->second.get();
}

void AdapterUsbDevice::SetHandler(UCHAR endpoint, std::shared_ptr<UsbEndpointHandler> handler) {
  std::lock_guard<std::mutex> guard(lock_);
  handlers_[endpoint] = std::move(handler);
}

void AdapterUsbDevice::SetHandler(UCHAR endpoint, HandlerFunction function) {
  SetHandler(endpoint, std::make_shared<FunctionEndpoint>(std::move(function)));
}

UCHAR AdapterUsbDevice::SelectedConfiguration() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configuration_;
}

size_t AdapterUsbDevice::ResetCount(UCHAR endpoint) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = resets_.find(endpoint);
  return it == resets_.end() ? 0 : it->second;
}

std::vector<uint8_t> AdapterUsbDevice::DeviceDescriptor() const {
  UsbDeviceIdentity identity;
  identity.idVendor = options_.idVendor;
  identity.idProduct = options_.idProduct;
  identity.bcdDevice = options_.bcdDevice;
  identity.numConfigurations = options_.numConfigurations;
  return BuildDeviceDescriptor(identity, options_.speed);
}

std::vector<uint8_t> AdapterUsbDevice::ConfigurationDescriptor(UCHAR index) const {
  if (index >= std::max<UCHAR>(options_.numConfigurations, 1)) return {};
  UsbConfigurationLayout layout;
  layout.value = (UCHAR)(index + 1);
  layout.interfaces = options_.interfaces;
  layout.declaredInterfaces = options_.declaredInterfaces;
  return BuildConfigurationDescriptor(layout, options_.speed);
}

std::shared_ptr<UsbEndpointHandler> AdapterUsbDevice::HandlerOf(UCHAR endpoint) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = handlers_.find(endpoint);
  return it == handlers_.end() ? nullptr : it->second;
}

void AdapterUsbDevice::Transfer(const std::shared_ptr<UsbTransfer>& transfer) {
  std::shared_ptr<UsbEndpointHandler> handler = HandlerOf(transfer->Endpoint());
  // An endpoint the device does not have answers with a stall.
  if (handler == nullptr) {
    transfer->Fail(USBD_STATUS_STALL_PID);
    return;
  }
  handler->Transfer(transfer);
}

void AdapterUsbDevice::TransferCancelled(const std::shared_ptr<UsbTransfer>& transfer) {
  std::shared_ptr<UsbEndpointHandler> handler = HandlerOf(transfer->Endpoint());
  if (handler != nullptr) handler->TransferCancelled(transfer);
}

void AdapterUsbDevice::ConfigurationSelected(UCHAR value) {
  std::lock_guard<std::mutex> guard(lock_);
  configuration_ = value;
}

void AdapterUsbDevice::EndpointReset(UCHAR endpoint) {
  std::shared_ptr<UsbEndpointHandler> handler = HandlerOf(endpoint);
  {
    std::lock_guard<std::mutex> guard(lock_);
    resets_[endpoint]++;
  }
  if (handler != nullptr) handler->Reset();
}

}  // namespace kxsim
