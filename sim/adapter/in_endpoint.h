// An IN endpoint of the bridge: the messages the adapter has to send on it and the one transfer
// that may wait for them. A transfer with nothing to take waits, as a device NAKs until it has
// data. A message ends with a short packet: a transfer takes as much of the front message as it
// can hold and the rest answers the next transfer. An endpoint fed by a DMA engine moves nothing
// while its engine is stopped, and at most the engine's remaining count.
//
// Not locked: the adapter calls it under its own lock.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "sim/adapter/dma_engines.h"
#include "sim/usb/usb_device_model.h"

namespace kxsim {

class InEndpoint {
 public:
  // `engine` 1-4 gates the endpoint on that engine of `dma`; 0 leaves it ungated.
  void SetEngine(DmaEngines* dma, int engine);
  int Engine() const { return engine_; }

  void Queue(std::vector<uint8_t> message);
  // Keeps the transfer and answers it when it can.
  void Arrive(const std::shared_ptr<UsbTransfer>& transfer);
  void Cancelled(const std::shared_ptr<UsbTransfer>& transfer);
  // Answers the waiting transfer when data (and allowance) has come.
  void Pump();
  // FIFO flush: the rest of a message already partly sent is dropped.
  void Flush();
  // Drops everything, the waiting transfer included (it is left to the USB stack).
  void Clear();
  // Drops the messages not yet taken, a partly sent one included; a waiting transfer stays.
  void DropQueued() { queue_.clear(); }

  size_t QueuedMessages() const { return queue_.size(); }
  bool HasWaitingTransfer() const;

 private:
  struct Message {
    std::vector<uint8_t> bytes;
    size_t sent = 0;
  };

  DmaEngines* dma_ = nullptr;
  int engine_ = 0;
  std::deque<Message> queue_;
  std::shared_ptr<UsbTransfer> waiting_;
};

}  // namespace kxsim
