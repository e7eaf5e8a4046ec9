// One endpoint of a simulated device: what answers the transfers the host sends to it. A device
// model routes each transfer to its endpoint's handler, so a test script and, later, the bridge
// chip plug in the same way.
#pragma once

#include <functional>
#include <memory>

#include "sim/usb/usb_device_model.h"

namespace kxsim {

class UsbEndpointHandler {
 public:
  virtual ~UsbEndpointHandler() = default;
  // Same rules as UsbDeviceModel::Transfer: answer now or keep the transfer and answer later.
  virtual void Transfer(const std::shared_ptr<UsbTransfer>& transfer) = 0;
  virtual void TransferCancelled(const std::shared_ptr<UsbTransfer>& /*transfer*/) {}
  // The host reset the pipe (CLEAR_FEATURE(ENDPOINT_HALT)).
  virtual void Reset() {}
};

// A handler made of a function, for tests that answer transfers themselves.
class FunctionEndpoint : public UsbEndpointHandler {
 public:
  using Function = std::function<void(const std::shared_ptr<UsbTransfer>& transfer)>;
  explicit FunctionEndpoint(Function function) : function_(std::move(function)) {}
  void Transfer(const std::shared_ptr<UsbTransfer>& transfer) override { function_(transfer); }

 private:
  Function function_;
};

}  // namespace kxsim
