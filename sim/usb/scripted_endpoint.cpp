// Scripted endpoints: queued IN answers, recorded OUT data.
#include "sim/usb/scripted_endpoint.h"

#include <algorithm>

#include "host/hostk.h"

namespace kxsim {

ScriptedEndpoint::ScriptedEndpoint() {
  KeInitializeEvent(&receivedEvent_, SynchronizationEvent, FALSE);
}

bool ScriptedEndpoint::AnswerLocked(const std::shared_ptr<UsbTransfer>& transfer) {
  if (in_.empty()) return false;
  std::vector<uint8_t>& front = in_.front();
  size_t size = std::min<size_t>(front.size(), transfer->Length());
  // A transfer that has ended takes nothing: the data waits for the next one.
  if (transfer->CompleteIn(front.data(), size)) {
    front.erase(front.begin(), front.begin() + size);
    if (front.empty()) in_.pop_front();
  }
  return true;
}

void ScriptedEndpoint::QueueIn(std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  in_.push_back(std::move(bytes));
  if (waiting_ != nullptr && AnswerLocked(waiting_)) waiting_.reset();
}

size_t ScriptedEndpoint::QueuedInCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return in_.size();
}

bool ScriptedEndpoint::HasWaitingTransfer() const {
  std::lock_guard<std::mutex> guard(lock_);
  return waiting_ != nullptr && !waiting_->Finished();
}

std::vector<std::vector<uint8_t>> ScriptedEndpoint::Received() const {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

std::vector<std::vector<uint8_t>> ScriptedEndpoint::TakeReceived() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::vector<uint8_t>> taken;
  taken.swap(received_);
  return taken;
}

size_t ScriptedEndpoint::ReceivedCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return received_.size();
}

bool ScriptedEndpoint::WaitForReceived(size_t count, LONGLONG timeout) {
  LONGLONG deadline = hostk::ClockNow() + timeout;
  while (ReceivedCount() < count) {
    LONGLONG left = deadline - hostk::ClockNow();
    if (left <= 0) return false;
    LARGE_INTEGER wait;
    wait.QuadPart = -left;
    KeWaitForSingleObject(&receivedEvent_, Executive, KernelMode, FALSE, &wait);
  }
  return true;
}

void ScriptedEndpoint::Transfer(const std::shared_ptr<UsbTransfer>& transfer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!transfer->IsIn()) {
    std::vector<uint8_t> bytes(transfer->Buffer(), transfer->Buffer() + transfer->Length());
    if (transfer->Complete(transfer->Length())) {
      received_.push_back(std::move(bytes));
      KeSetEvent(&receivedEvent_, IO_NO_INCREMENT, FALSE);
    }
    return;
  }
  if (!AnswerLocked(transfer)) waiting_ = transfer;
}

void ScriptedEndpoint::TransferCancelled(const std::shared_ptr<UsbTransfer>& transfer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (waiting_ == transfer) waiting_.reset();
}

}  // namespace kxsim
