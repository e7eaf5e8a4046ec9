// Pipe handles of the simulated stack.
#include "sim/usb/usb_pipe_table.h"

namespace kxsim {
namespace {

// Far from zero and from small integers a driver might confuse with a handle.
constexpr ULONG_PTR kHandleBase = 0x5B000000;
constexpr ULONG_PTR kHandleStride = 0x40;

}  // namespace

PVOID UsbPipeTable::NewHandle() { return (PVOID)(kHandleBase + kHandleStride * ++serial_); }

USBD_PIPE_HANDLE UsbPipeTable::Open(const UsbPipe& pipe) {
  PVOID handle = NewHandle();
  pipes_[(ULONG_PTR)handle] = pipe;
  return handle;
}

const UsbPipe* UsbPipeTable::Find(USBD_PIPE_HANDLE handle) const {
  auto it = pipes_.find((ULONG_PTR)handle);
  return it == pipes_.end() ? nullptr : &it->second;
}

USBD_PIPE_HANDLE UsbPipeTable::HandleOf(UCHAR address) const {
  for (const auto& [handle, pipe] : pipes_) {
    if (pipe.address == address) return (USBD_PIPE_HANDLE)handle;
  }
  return nullptr;
}

}  // namespace kxsim
