// The virtual adapter plugged into a simulated USB port, as a hub presents it to the Plug and Play
// manager, including the identity switch. When the bridge leaves the bus, the port's hub thread:
//   - notices it 10 ms later (the transfer that carried the bridge's last write has completed);
//   - unplugs the old device, whose transfers then fail as from a device that is gone;
//   - has the Plug and Play manager surprise-remove, then remove, the stack over the old physical
//     device object (when a driver is attached to it), and deletes that object;
//   - plugs the adapter back in with its new identity on a new port, and hands the new physical
//     device object to the arrival handler, where a scenario adds its driver and starts it.
// A driver unloaded with its last device (as the platform does) is the scenario's to load again.
#pragma once

#include <functional>
#include <memory>

#include "sim/adapter/virtual_adapter.h"
#include "sim/usb/usb_port.h"

namespace kxsim {

class AdapterPort {
 public:
  // The calling thread must be a managed one at PASSIVE_LEVEL.
  explicit AdapterPort(std::shared_ptr<VirtualAdapter> adapter, UsbPortOptions options = {});
  // Waits for a re-enumeration in progress, then stops the port.
  ~AdapterPort();
  AdapterPort(const AdapterPort&) = delete;
  AdapterPort& operator=(const AdapterPort&) = delete;

  VirtualAdapter& Adapter() const { return *adapter_; }
  // The current port and its physical device object; both change at each re-enumeration, and
  // are null while one is in progress.
  SimulatedUsbPort* Port() const;
  PDEVICE_OBJECT Pdo() const;

  // Called on the hub thread with the new physical device object, after the old one is gone.
  void SetArrivalHandler(std::function<void(PDEVICE_OBJECT pdo)> handler);
  // Re-enumerations completed (arrival handler returned).
  ULONG Reenumerations() const;
  // Waits (a kernel wait: virtual time moves) until `count` re-enumerations have completed.
  bool WaitForReenumerations(ULONG count, LONGLONG timeout);

 private:
  static void HubEntry(void* context);
  void HubMain();
  void Reenumerate();

  const std::shared_ptr<VirtualAdapter> adapter_;
  const UsbPortOptions options_;
  mutable std::mutex lock_;
  std::unique_ptr<SimulatedUsbPort> port_;
  std::function<void(PDEVICE_OBJECT)> arrival_;
  ULONG reenumerations_ = 0;
  bool stopping_ = false;
  PVOID hubThread_ = nullptr;
  KEVENT started_;  // notification: the hub thread runs
  KEVENT work_;     // synchronization: the bridge left the bus, or the port stops
  KEVENT done_;     // notification, pulsed after each re-enumeration
};

}  // namespace kxsim
