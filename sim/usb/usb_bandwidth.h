// The bus as a resource with a data rate, so that bytes on the wire cost time on the host clock.
//
// Simplifications: the data rate is the signalling rate less line coding (12 Mbit/s full speed,
// 480 Mbit/s high speed, 4 Gbit/s of data on SuperSpeed's 5 Gbit/s 8b/10b line); packet headers,
// handshakes, frame and microframe scheduling and bus turnaround cost nothing; the adapter is alone
// on its bus. USB 2 buses carry one transfer at a time in either direction; SuperSpeed is dual
// simplex, so IN and OUT each have a lane. Transfers take the bus in the order they finish at the
// device, and a zero-length transfer takes no time.
#pragma once

#include "sim/usb/usb_device_model.h"

namespace kxsim {

class UsbBandwidthModel {
 public:
  explicit UsbBandwidthModel(UsbSpeed speed) : speed_(speed) {}

  static ULONGLONG BytesPerSecond(UsbSpeed speed);
  // Time on the wire for `bytes`, in 100 ns units, rounded up.
  static LONGLONG WireTime(UsbSpeed speed, ULONG bytes);

  // Occupies the bus for `bytes`, starting at `ready` or once the lane is free, whichever is
  // later; returns when the last byte has moved.
  LONGLONG Reserve(bool in, ULONG bytes, LONGLONG ready);

 private:
  const UsbSpeed speed_;
  LONGLONG freeAt_[2] = {0, 0};
};

}  // namespace kxsim
