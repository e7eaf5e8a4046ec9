// IN endpoints: queued messages, one waiting transfer, an optional DMA gate.
#include "sim/adapter/in_endpoint.h"

#include <algorithm>
#include <limits>

namespace kxsim {

void InEndpoint::SetEngine(DmaEngines* dma, int engine) {
  dma_ = dma;
  engine_ = dma == nullptr ? 0 : engine;
}

void InEndpoint::Queue(std::vector<uint8_t> message) {
  queue_.push_back({std::move(message), 0});
  Pump();
}

void InEndpoint::Arrive(const std::shared_ptr<UsbTransfer>& transfer) {
  waiting_ = transfer;
  Pump();
}

void InEndpoint::Cancelled(const std::shared_ptr<UsbTransfer>& transfer) {
  if (waiting_ == transfer) waiting_.reset();
}

void InEndpoint::Pump() {
  if (waiting_ == nullptr) return;
  if (waiting_->Finished()) {
    waiting_.reset();
    return;
  }
  if (queue_.empty()) return;
  Message& front = queue_.front();
  size_t left = front.bytes.size() - front.sent;
  size_t allowance = engine_ == 0 ? std::numeric_limits<size_t>::max() : dma_->Allowance(engine_);
  // A zero-length message needs no engine; data does.
  if (left > 0 && allowance == 0) return;
  size_t size = std::min({left, (size_t)waiting_->Length(), allowance});
  if (waiting_->CompleteIn(front.bytes.data() + front.sent, size)) {
    front.sent += size;
    if (engine_ != 0) dma_->Consume(engine_, (ULONG)size);
    if (front.sent == front.bytes.size()) queue_.pop_front();
  }
  waiting_.reset();
}

void InEndpoint::Flush() {
  if (!queue_.empty() && queue_.front().sent > 0) queue_.pop_front();
}

void InEndpoint::Clear() {
  queue_.clear();
  waiting_.reset();
}

bool InEndpoint::HasWaitingTransfer() const {
  return waiting_ != nullptr && !waiting_->Finished();
}

}  // namespace kxsim
