// An endpoint a test scripts: an IN endpoint answers with the data queued for it (a transfer with
// nothing queued waits until something is, as a device NAKs until it has data), and an OUT
// endpoint keeps what each transfer carried.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "sim/usb/usb_endpoint_handler.h"

namespace kxsim {

class ScriptedEndpoint : public UsbEndpointHandler {
 public:
  ScriptedEndpoint();

  // IN: one answer of the device, ended by a short packet. A transfer takes as much of the front
  // answer as it can hold; the rest answers the next transfer. An empty answer is a zero-length
  // packet.
  void QueueIn(std::vector<uint8_t> bytes);
  size_t QueuedInCount() const;
  // An IN transfer waits for data.
  bool HasWaitingTransfer() const;

  // OUT: the bytes of each transfer, in order.
  std::vector<std::vector<uint8_t>> Received() const;
  std::vector<std::vector<uint8_t>> TakeReceived();
  size_t ReceivedCount() const;
  // Waits (a kernel wait: virtual time goes on) until `count` OUT transfers have arrived; false
  // after `timeout` (100 ns units).
  bool WaitForReceived(size_t count, LONGLONG timeout);

  void Transfer(const std::shared_ptr<UsbTransfer>& transfer) override;
  void TransferCancelled(const std::shared_ptr<UsbTransfer>& transfer) override;

 private:
  // Answers `transfer` from the queue; false when there is nothing to answer with.
  bool AnswerLocked(const std::shared_ptr<UsbTransfer>& transfer);

  mutable std::mutex lock_;
  std::deque<std::vector<uint8_t>> in_;
  std::shared_ptr<UsbTransfer> waiting_;
  std::vector<std::vector<uint8_t>> received_;
  KEVENT receivedEvent_;  // synchronization: an OUT transfer arrived
};

}  // namespace kxsim
