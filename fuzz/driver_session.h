// The driver on the virtual adapter for the fuzz targets: loaded, added and started through the
// Plug and Play manager once per process, since a load and start per input would cost more than
// the input itself. Each input then runs against the started adapter; afterwards the session puts
// the adapter back to its known state and aborts, with a report libFuzzer records as a crash, when
// the input left anything behind.
//
// The first call attaches the calling thread (libFuzzer's) to the host kernel for the process's
// life: every input runs on that managed thread, and virtual time moves only while it waits.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "driver/kxbus.h"
#include "sim/adapter/virtual_adapter.h"
#include "sim/usb/usb_port.h"

namespace kxfuzz {

constexpr LONGLONG kMillisecond = 10000;  // 100 ns units, the kernel's
constexpr LONGLONG kSecond = 1000 * kMillisecond;

class DriverSession {
 public:
  // The one session, plugged and started at its first use.
  static DriverSession& Get();

  BusDeviceContext* Bus() const { return bus_; }
  PDEVICE_OBJECT Fdo() const { return fdo_; }
  kxsim::VirtualAdapter& Adapter() const { return *adapter_; }

  // Lets `hundredNs` of kernel time pass on the calling thread.
  void Settle(LONGLONG hundredNs);
  // The display children the Plug and Play manager has in its tree, once every enumeration queued
  // so far is done: none of them can be deleted until the next enumeration.
  std::vector<PDEVICE_OBJECT> Children();

  // To be called before an input: notes what must be the same after it, and keeps the input in the
  // campaign's history (input_history.h).
  void BeginInput(const uint8_t* bytes, size_t size);
  // Puts the adapter back to its known state (no child, link mode 0, link thread stopped, no
  // message left on a data channel, the compression options of the start), lets virtual time
  // settle and checks that the input left nothing behind: pool, memory descriptor lists, requests
  // in progress, open handles, children. Aborts with a report otherwise.
  void EndInput();

 private:
  DriverSession() = default;
  void Plug();
  void LeaveLinkMode();
  void RemoveChildren();
  void CheckClean();

  std::shared_ptr<kxsim::VirtualAdapter> adapter_;
  std::unique_ptr<kxsim::SimulatedUsbPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  BusDeviceContext* bus_ = nullptr;
  // The start's compression options, which a control code may change until the next start.
  UCHAR quality_ = 0, sampling_ = 0, enableJpeg_ = 0;
  ULONG throughPut_ = 0;
  // Live pool blocks by tag before the input.
  std::map<ULONG, size_t> poolBefore_;
  size_t mdlsBefore_ = 0;
};

}  // namespace kxfuzz
