// The rectangles the frame worker puts on the wire, read from the frame-data blocks of data
// channel 1 out as they pass from the simulated USB stack to the adapter. The benchmarks give the
// encoder alone exactly these rectangles: the worker's merges, grid alignment and bands included.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sim/display/pixel_rect.h"
#include "sim/usb/usb_device_model.h"

namespace kxsim {

struct SentRect {
  LONG displayId = 0;
  PixelRect rect;
};

class WireWatch : public UsbDeviceModel {
 public:
  explicit WireWatch(std::shared_ptr<UsbDeviceModel> device) : device_(std::move(device)) {}

  // The rectangles sent since the last call, in the order they went.
  std::vector<SentRect> Take();

  UsbSpeed Speed() const override { return device_->Speed(); }
  std::vector<uint8_t> DeviceDescriptor() const override { return device_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(UCHAR index) const override {
    return device_->ConfigurationDescriptor(index);
  }
  std::vector<uint8_t> StringDescriptor(UCHAR index, USHORT languageId) const override {
    return device_->StringDescriptor(index, languageId);
  }
  void Transfer(const std::shared_ptr<UsbTransfer>& transfer) override;
  void TransferCancelled(const std::shared_ptr<UsbTransfer>& transfer) override {
    device_->TransferCancelled(transfer);
  }
  void ConfigurationSelected(UCHAR value) override { device_->ConfigurationSelected(value); }
  void EndpointReset(UCHAR endpoint) override { device_->EndpointReset(endpoint); }

 private:
  const std::shared_ptr<UsbDeviceModel> device_;
  std::mutex lock_;  // guards sent_; never held across a call into the device
  std::vector<SentRect> sent_;
};

}  // namespace kxsim
