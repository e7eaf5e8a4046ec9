// Bytes into time on the bus.
#include "sim/usb/usb_bandwidth.h"

#include <algorithm>

namespace kxsim {

ULONGLONG UsbBandwidthModel::BytesPerSecond(UsbSpeed speed) {
  switch (speed) {
    case UsbSpeed::Full: return 12'000'000 / 8;
    case UsbSpeed::High: return 480'000'000 / 8;
    case UsbSpeed::Super: return 4'000'000'000ull / 8;
  }
  return 12'000'000 / 8;
}

LONGLONG UsbBandwidthModel::WireTime(UsbSpeed speed, ULONG bytes) {
  ULONGLONG rate = BytesPerSecond(speed);
  return (LONGLONG)(((ULONGLONG)bytes * 10'000'000ull + rate - 1) / rate);
}

LONGLONG UsbBandwidthModel::Reserve(bool in, ULONG bytes, LONGLONG ready) {
  if (bytes == 0) return ready;
  LONGLONG& lane = freeAt_[speed_ == UsbSpeed::Super && in ? 1 : 0];
  lane = std::max(lane, ready) + WireTime(speed_, bytes);
  return lane;
}

}  // namespace kxsim
