// The adapter as the USB stack sees it: the bridge chip's device descriptor and its one
// vendor-specific interface with bulk endpoints 0x01-0x04 and 0x81-0x84 (data channels), 0x0D and
// 0x8D (bridge registers), 0x0E and 0x8E (internal bus). Every endpoint has a script a test drives
// until a handler (the bridge chip, later) takes its place.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb/scripted_endpoint.h"
#include "sim/usb/usb_descriptors.h"

namespace kxsim {

// The bridge's interface, packet sizes left to the speed.
std::vector<UsbInterfaceLayout> AdapterInterfaces();

struct AdapterUsbOptions {
  USHORT idVendor = 0x0525;
  USHORT idProduct = 0x3380;
  USHORT bcdDevice = 0x0100;
  // bNumConfigurations as the device descriptor reports it. Configurations with indexes 0 to
  // this less one (at least index 0) exist, with values 1, 2, ... and the same interfaces.
  UCHAR numConfigurations = 1;
  UsbSpeed speed = UsbSpeed::High;  // bulk packets of 64, 512 or 1024 bytes
  std::vector<UsbInterfaceLayout> interfaces = AdapterInterfaces();
  int declaredInterfaces = -1;  // bNumInterfaces as written; -1: the number of interfaces

  // Changes to the layout, applied to every interface that has the endpoint.
  AdapterUsbOptions& MakeInterrupt(UCHAR endpoint, UCHAR interval = 1);
  AdapterUsbOptions& SetMaxPacketSize(UCHAR endpoint, USHORT size);
  AdapterUsbOptions& RemoveEndpoint(UCHAR endpoint);
  AdapterUsbOptions& AddInterface(UsbInterfaceLayout interface);
};

class AdapterUsbDevice : public UsbDeviceModel {
 public:
  using HandlerFunction = FunctionEndpoint::Function;

  explicit AdapterUsbDevice(AdapterUsbOptions options = {});

  const AdapterUsbOptions& Options() const { return options_; }

  // The script of an endpoint of the layout (nullptr for an endpoint the layout lacks).
  ScriptedEndpoint* Script(UCHAR endpoint) const;
  // Replaces the endpoint's script (or handler) with another handler.
  void SetHandler(UCHAR endpoint, std::shared_ptr<UsbEndpointHandler> handler);
  void SetHandler(UCHAR endpoint, HandlerFunction function);

  // What the host did: the configuration value it set (0: none), and the pipe resets per
  // endpoint.
  UCHAR SelectedConfiguration() const;
  size_t ResetCount(UCHAR endpoint) const;

  UsbSpeed Speed() const override { return options_.speed; }
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor(UCHAR index) const override;
  void Transfer(const std::shared_ptr<UsbTransfer>& transfer) override;
  void TransferCancelled(const std::shared_ptr<UsbTransfer>& transfer) override;
  void ConfigurationSelected(UCHAR value) override;
  void EndpointReset(UCHAR endpoint) override;

 private:
  std::shared_ptr<UsbEndpointHandler> HandlerOf(UCHAR endpoint) const;

  const AdapterUsbOptions options_;
  std::map<UCHAR, std::shared_ptr<ScriptedEndpoint>> scripts_;
  mutable std::mutex lock_;
  std::map<UCHAR, std::shared_ptr<UsbEndpointHandler>> handlers_;
  std::map<UCHAR, size_t> resets_;
  UCHAR configuration_ = 0;
};

}  // namespace kxsim
