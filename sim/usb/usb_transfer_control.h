// The stack's side of a transfer: making one, taking the device's answer, ending it.
#pragma once

#include <memory>

#include "sim/usb/usb_device_model.h"

namespace kxsim {

class UsbTransferControl {
 public:
  static std::shared_ptr<UsbTransfer> Create(UsbTransferKind kind, UCHAR endpoint, UCHAR* buffer,
                                             ULONG length, std::shared_ptr<UsbWakeSignal> wake);
  // The device's answer, once it has given one.
  static bool TakeAnswer(const UsbTransfer& transfer, UsbResult* result);
  // From now on the device can neither answer nor touch the buffer (a copy in progress finishes
  // first). True when the device had not answered.
  static bool End(UsbTransfer& transfer);
};

}  // namespace kxsim
