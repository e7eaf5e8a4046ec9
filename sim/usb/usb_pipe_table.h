// The pipes of the selected configuration. Handles are opaque values that are never issued twice,
// so a handle from before a deselection or a new selection is simply unknown.
#pragma once

#include <map>

#include "host/usb.h"

namespace kxsim {

struct UsbPipe {
  UCHAR address = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  USHORT maxPacketSize = 0;
  UCHAR interval = 0;
  ULONG maxTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
};

class UsbPipeTable {
 public:
  USBD_PIPE_HANDLE Open(const UsbPipe& pipe);
  const UsbPipe* Find(USBD_PIPE_HANDLE handle) const;
  // The open pipe of an endpoint address, or nullptr.
  USBD_PIPE_HANDLE HandleOf(UCHAR address) const;
  void CloseAll() { pipes_.clear(); }
  // A fresh opaque value, for configuration and interface handles too.
  PVOID NewHandle();

 private:
  std::map<ULONG_PTR, UsbPipe> pipes_;
  ULONG_PTR serial_ = 0;
};

}  // namespace kxsim
