// The driver on the virtual adapter, as kxsim's pipeline commands run it: loaded, added above a
// simulated USB port, configured and started with the compression options asked for, and display
// children made by hand and bound to channels. A child's control codes go as a display driver
// sends them from user mode, with its buffers in registered user memory.
//
// The calling thread must be attached to the host kernel (hostk::ManagedThreadScope) for the
// session's whole life; virtual time moves only while every managed thread waits.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/kxbus.h"
#include "host/hostk.h"
#include "sim/adapter/virtual_adapter.h"
#include "sim/display/pixel_rect.h"
#include "sim/usb/usb_port.h"

namespace kxsim {

// 100 ns units, the kernel's.
constexpr LONGLONG kOneSecond = 10000000;

// The output of the commands and benches that drive one display: the adapter's first channel,
// display id 1.
constexpr ULONG kSingleChannel = 0;
constexpr LONG kSingleDisplayId = 1;
// The wait after presents: the virtual clock moves only once every thread waits, so the delay
// ends as soon as the worker is idle with everything on the wire, and wakes nobody before.
constexpr LONGLONG kSettleAfterPresents = kOneSecond / 1000;

// How a session builds the world before the driver starts.
struct SessionOptions {
  VirtualAdapterOptions adapter;
  UsbPortOptions port;
  // REG_BINARY values under the driver's Parameters key, written before the start.
  std::vector<std::pair<std::string, std::vector<uint8_t>>> parameters;
  // Called with the port before the driver loads (faults to arm, say).
  std::function<void(SimulatedUsbPort&)> portReady;
  // What the port sees in place of the adapter's USB device: one that passes every call on to
  // the adapter's and watches the traffic, say. None: the adapter's device itself.
  std::function<std::shared_ptr<UsbDeviceModel>(std::shared_ptr<UsbDeviceModel>)> device;
};

class AdapterSession {
 public:
  AdapterSession() = default;
  // Removes the device when Remove was not called.
  ~AdapterSession();
  AdapterSession(const AdapterSession&) = delete;
  AdapterSession& operator=(const AdapterSession&) = delete;

  // The adapter, the driver above it, and the start as the Plug and Play manager runs it: the
  // stack below, the USB configuration, the adapter's programming, and from then on enumerations
  // of the children the driver reports. False with a message when a step failed.
  bool Plug(const SessionOptions& options, std::string* error);
  // The same with the adapter's defaults, then `quality` and `sampling` in place of what the
  // registry gave. Without `decodeFrames` the far side only checks and counts frames.
  bool Plug(int quality, int sampling, std::string* error, bool decodeFrames = true);
  // The same with `options`.
  bool Plug(const SessionOptions& options, int quality, int sampling, std::string* error);
  // A display child bound to `channel`, its display known as `displayId`; nullptr when the device
  // object could not be created.
  PDEVICE_OBJECT AddChild(ULONG channel, LONG displayId);

  // IOCTL_DISPLAY_SET_MODE with 32 bits per pixel.
  NTSTATUS SetMode(PDEVICE_OBJECT child, USHORT width, USHORT height);
  // IOCTL_DISPLAY_PRESENT of `rect` of a picture in user memory: 4 bytes a pixel, `pitch` bytes
  // from one row to the next, the whole buffer as its TotalSize.
  NTSTATUS Present(PDEVICE_OBJECT child, const hostk::UserBuffer& pixels, LONG pitch,
                   const PixelRect& rect);

  // Waits `hundredNs` of kernel time: returns once every other thread waits too, so whatever the
  // worker had to send is on the wire.
  void Settle(LONGLONG hundredNs);

  // The children deleted, then IRP_MN_REMOVE_DEVICE to the adapter's stack (the driver unloads),
  // then the port and the adapter released. The removal's status.
  NTSTATUS Remove();
  // The adapter pulled: it leaves the bus, then IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE
  // (the driver unloads), then the port and the adapter released. The removal's status.
  NTSTATUS SurpriseRemove();
  // IRP_MN_QUERY_STOP_DEVICE and IRP_MN_STOP_DEVICE; IRP_MN_START_DEVICE. After a failed start the
  // manager has removed the device, and the driver went with it: Attached() is false.
  NTSTATUS StopDevice();
  NTSTATUS StartDevice();
  // The driver is over the adapter.
  bool Attached() const { return fdo_ != nullptr; }

  VirtualAdapter& Adapter() const { return *adapter_; }
  SimulatedUsbPort& Port() const { return *port_; }
  BusDeviceContext* Bus() const { return bus_; }
  PDEVICE_OBJECT FunctionDevice() const { return fdo_; }
  // Every protocol violation the far side counted, one line each.
  std::vector<std::string> Violations() const;

 private:
  // The children deleted, the adapter removed (after leaving the bus when `pulled`), the port and
  // the adapter released.
  NTSTATUS Release(bool pulled);
  NTSTATUS Ioctl(PDEVICE_OBJECT child, ULONG code, void* input, ULONG inputLength, void* output,
                 ULONG outputLength, ULONG_PTR* information);

  std::shared_ptr<VirtualAdapter> adapter_;
  std::unique_ptr<SimulatedUsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  BusDeviceContext* bus_ = nullptr;
  std::vector<PDEVICE_OBJECT> children_;
  std::unique_ptr<hostk::UserBuffer> descriptor_;  // one update descriptor, rewritten per present
};

// An NTSTATUS as 0xC000000D.
std::string StatusText(NTSTATUS status);

// The instance paths of the started children of the adapter over `adapterPdo`.
std::vector<std::string> StartedChildren(PDEVICE_OBJECT adapterPdo);

}  // namespace kxsim
