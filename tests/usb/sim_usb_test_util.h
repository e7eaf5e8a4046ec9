// Tests of the simulated USB stack talk to its physical device object as a client driver does:
// URBs in internal device-control requests, synchronous ones through threaded requests, queued
// ones through driver-allocated requests whose completion routine records how they completed.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "host/usbdlib.h"
#include "sim/adapter/adapter_usb_device.h"
#include "sim/usb/usb_port.h"
#include "support/kernel_test_util.h"

namespace kxtest {

// Sends a URB and waits for its end.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT pdo, PURB urb);

// A URB in a request of its own, sent and left to complete.
class AsyncUrb {
 public:
  explicit AsyncUrb(PDEVICE_OBJECT pdo);
  ~AsyncUrb();
  AsyncUrb(const AsyncUrb&) = delete;
  AsyncUrb& operator=(const AsyncUrb&) = delete;

  void BuildBulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags,
                 PMDL mdl = nullptr);
  void BuildDescriptorRead(UCHAR type, UCHAR index, void* buffer, ULONG length);
  // Returns what the dispatch routine returned. `cancelled` sends a request already cancelled.
  NTSTATUS Send(bool cancelled = false);
  // Waits for the completion routine; false after `timeout` (100 ns units).
  bool Wait(LONGLONG timeout = 10 * kSecond);
  bool Done() const { return KeReadStateEvent(const_cast<KEVENT*>(&done_)) != 0; }
  BOOLEAN Cancel() { return IoCancelIrp(irp_); }

  URB urb = {};
  NTSTATUS status = STATUS_PENDING;  // the request's final status
  KIRQL completionIrql = 0xFF;
  PKTHREAD completionThread = nullptr;
  BOOLEAN pendingReturned = FALSE;
  PIRP Irp() const { return irp_; }

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context);

  PDEVICE_OBJECT pdo_;
  PIRP irp_;
  KEVENT done_;
};

// A simulated adapter on a simulated port, and the URBs a client driver would send.
class UsbPortTest : public testing::Test {
 protected:
  void TearDown() override {
    port_.reset();
    device_.reset();
  }

  void Open(kxsim::AdapterUsbOptions options = {}, kxsim::UsbPortOptions portOptions = {});
  PDEVICE_OBJECT Pdo() const { return port_->Pdo(); }
  kxsim::ScriptedEndpoint& Script(UCHAR endpoint) { return *device_->Script(endpoint); }

  // GET_DESCRIPTOR with a buffer of `length` bytes; the bytes read, and the status.
  std::vector<uint8_t> ReadDescriptor(UCHAR type, UCHAR index, ULONG length,
                                      NTSTATUS* status = nullptr, USBD_STATUS* urbStatus = nullptr);
  // Reads configuration `index` and selects it with every interface at alternate setting 0, the
  // pipes' MaximumTransferSize set to `maxTransferSize`. The pipes go to Pipe().
  NTSTATUS SelectConfiguration(UCHAR index = 0,
                               ULONG maxTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  NTSTATUS Deconfigure();
  NTSTATUS PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe, USBD_STATUS* urbStatus = nullptr);
  USBD_PIPE_HANDLE Pipe(UCHAR endpoint) const;
  const USBD_PIPE_INFORMATION* PipeInfo(UCHAR endpoint) const;

  // A bulk transfer sent and waited for.
  NTSTATUS Bulk(UCHAR endpoint, void* buffer, ULONG length, ULONG* moved = nullptr,
                USBD_STATUS* urbStatus = nullptr, ULONG flags = USBD_SHORT_TRANSFER_OK);

  std::shared_ptr<kxsim::AdapterUsbDevice> device_;
  std::unique_ptr<kxsim::SimulatedUsbPort> port_;
  std::map<UCHAR, USBD_PIPE_INFORMATION> pipes_;
};

}  // namespace kxtest
