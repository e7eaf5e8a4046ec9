// The host controller: one managed thread that hands each endpoint's next request to the device,
// waits for the answers, turns them into URB results on the host clock, and completes the
// requests at DISPATCH_LEVEL. It also ends the device set-power requests the port holds
// (usb_power.cpp). Idle, it blocks in a kernel wait without a deadline, so virtual
// time goes on without it.
#include <algorithm>

#include <cstdio>
#include <utility>

#include "host/hostk.h"
#include "sim/usb/usb_port_core.h"
#include "sim/usb/usb_transfer_control.h"

namespace kxsim {
namespace {

const UsbResult kCancelled = {STATUS_CANCELLED, USBD_STATUS_CANCELED, 0};

// Every failure of a data pipe halts it, except that the transfer was cancelled or the device is
// not there to halt anything.
bool Halts(USBD_STATUS status) {
  return USBD_ERROR(status) && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE;
}

}  // namespace

void UsbPortCore::HostControllerEntry(void* context) {
  UsbPortCore* core = (UsbPortCore*)context;
  // The controller is hardware: its bus time is not bound to the kernel's clock tick.
  hostk::UsePreciseTimers();
  core->hostController_ = KeGetCurrentThread();
  ObfReferenceObject(core->hostController_);
  KeSetEvent(&core->started_, IO_NO_INCREMENT, FALSE);
  core->HostControllerMain();
}

void UsbPortCore::HostControllerMain() {
  for (;;) {
    std::vector<UsbPendingPtr> start;
    std::vector<UsbPendingPtr> finish;
    std::vector<UsbPendingPower> power;
    LONGLONG wakeAt = kNever;
    bool unplug = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
      CollectLocked(&start, &finish, &wakeAt);
      power.swap(devicePower_);
      unplug = std::exchange(unplugDue_, false);
    }
    // What the unplug retired is collected in the next round, without waiting.
    if (unplug) Unplug(STATUS_DEVICE_NOT_CONNECTED);
    if (start.empty() && finish.empty() && power.empty()) {
      if (!unplug) WaitForWork(wakeAt);
      continue;
    }
    hostk::ChaosPoint();
    for (const UsbPendingPower& request : power) CompleteDevicePower(request);
    for (const UsbPendingPtr& pending : finish) Finish(pending);
    for (const UsbPendingPtr& pending : start) StartTransfer(pending);
  }
}

void UsbPortCore::WaitForWork(LONGLONG wakeAt) {
  if (wakeAt == kNever) {
    KeWaitForSingleObject(&wake_->event, Executive, KernelMode, FALSE, nullptr);
    return;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = -std::max<LONGLONG>(wakeAt - hostk::ClockNow(), 1);
  KeWaitForSingleObject(&wake_->event, Executive, KernelMode, FALSE, &timeout);
}

void UsbPortCore::CollectLocked(std::vector<UsbPendingPtr>* start,
                                std::vector<UsbPendingPtr>* finish, LONGLONG* wakeAt) {
  LONGLONG now = hostk::ClockNow();
  finish->swap(retired_);
  for (auto& [address, endpoint] : endpoints_) {
    CollectEndpointLocked(endpoint, now, start, finish, wakeAt);
  }
}

// Only the head of a queue is ever past Queued, so an endpoint's requests complete in order.
void UsbPortCore::CollectEndpointLocked(UsbEndpointState& endpoint, LONGLONG now,
                                        std::vector<UsbPendingPtr>* start,
                                        std::vector<UsbPendingPtr>* finish, LONGLONG* wakeAt) {
  if (endpoint.queue.empty()) return;
  UsbPendingPtr head = endpoint.queue.front();
  if (head->phase == UsbPhase::Queued) {
    // A request whose cancel routine is already taken is the canceller's.
    if (endpoint.halted || IoSetCancelRoutine(head->irp, nullptr) == nullptr) return;
    head->phase = UsbPhase::Handing;
    head->plan = endpoint.faults.Take();
    CountHandedLocked(*head);
    start->push_back(head);
    return;
  }
  UsbResult answer;
  if (head->phase == UsbPhase::AtDevice &&
      UsbTransferControl::TakeAnswer(*head->transfer, &answer)) {
    ResolveLocked(*head, endpoint, answer, now);
  }
  if (head->phase != UsbPhase::Timed) return;
  if (head->due > now) {
    *wakeAt = std::min(*wakeAt, head->due);
    return;
  }
  if (IoSetCancelRoutine(head->irp, nullptr) == nullptr) return;
  endpoint.queue.pop_front();
  head->phase = UsbPhase::Retired;
  finish->push_back(head);
}

void UsbPortCore::CountHandedLocked(UsbPending& pending) {
  handedEndpoints_.push_back(pending.endpoint);
  if (++handed_ != armedIndex_) return;
  UsbFaultPlan& plan = pending.plan;
  ULONG half = pending.requested / 2;
  switch (armedEvent_) {
    case UsbTransferEvent::None:
      break;
    case UsbTransferEvent::Stall:
      plan.outcome = UsbFaultPlan::Outcome::Stall;
      break;
    case UsbTransferEvent::Timeout:
      plan.outcome = UsbFaultPlan::Outcome::NoAnswer;
      break;
    case UsbTransferEvent::Short:
      if (pending.in) {
        plan.inLimit = std::min(plan.inLimit, half);
      } else {
        plan.failAfter = std::min(plan.failAfter, half);
        plan.failStatus = USBD_STATUS_DEV_NOT_RESPONDING;
      }
      break;
    case UsbTransferEvent::Unplug:
      plan.outcome = UsbFaultPlan::Outcome::Gone;
      unplugDue_ = true;
      break;
  }
}

void UsbPortCore::ResolveLocked(UsbPending& pending, UsbEndpointState& endpoint,
                                const UsbResult& answer, LONGLONG now) {
  UsbResult result = answer;
  const UsbFaultPlan& plan = pending.plan;
  if (NT_SUCCESS(result.status) && plan.failAfter < pending.requested &&
      result.length >= plan.failAfter) {
    result = {NtStatusForUsbd(plan.failStatus), plan.failStatus, plan.failAfter};
  }
  if (pending.kind != UsbTransferKind::Control) {
    if (NT_SUCCESS(result.status) && pending.in && result.length < pending.requested &&
        !pending.shortOk && options_.shortPackets == ShortPacketRule::Error) {
      result = {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, result.length};
    }
    if (Halts(result.usbdStatus)) endpoint.halted = true;
  }
  pending.result = result;
  LONGLONG ready = now + plan.delay;
  pending.due = bandwidthOn_ ? bandwidth_.Reserve(pending.in, result.length, ready) : ready;
  pending.phase = UsbPhase::Timed;
}

// The buffer's memory must still be the driver's when the controller is about to touch it: a
// buffer given back while its request waited or ran may already be someone else's.
void UsbPortCore::RequireBufferHeld(const UsbPending& pending, const char* when) {
  std::string loss = hostk::OwnerLoss(pending.owner, pending.buffer, pending.requested);
  if (loss.empty()) return;
  hostk::BugCheckF(hostk::kDriverVerifierDetectedViolation,
                   "USB transfer buffer of endpoint 0x%02X (request %p, %u bytes at %p): %s before "
                   "the transfer %s",
                   pending.endpoint, (void*)pending.irp, (unsigned)pending.requested,
                   (void*)pending.buffer, loss.c_str(), when);
}

void UsbPortCore::StartTransfer(const UsbPendingPtr& pending) {
  RequireBufferHeld(*pending, "started");
  const UsbFaultPlan& plan = pending->plan;
  ULONG length = std::min(pending->requested, plan.failAfter);
  if (pending->in) length = std::min(length, plan.inLimit);
  // The controller reaches the buffer from its own thread, in the system process: a user address
  // there (rather than the system address of an MDL) is the caller's bug.
  if (pending->buffer != nullptr && hostk::UserRangeContains(pending->buffer)) {
    PMDL mdl = pending->kind == UsbTransferKind::Control
                   ? pending->urb->UrbControlDescriptorRequest.TransferBufferMDL
                   : pending->urb->UrbBulkOrInterruptTransfer.TransferBufferMDL;
    char what[320];
    std::snprintf(what, sizeof what,
                  "USB transfer buffer of endpoint 0x%02X (request %p, %s, submitted at %lld "
                  "with %s, started at %lld)",
                  pending->endpoint, (void*)pending->irp,
                  mdl != nullptr ? "through an MDL" : "a plain pointer",
                  (long long)pending->submittedAt,
                  pending->userAtSubmit ? "this user address" : "a system address then",
                  (long long)hostk::ClockNow());
    hostk::UserRangeCheckContext(pending->buffer, pending->requested, what);
  }
  pending->transfer =
      UsbTransferControl::Create(pending->kind, pending->endpoint, pending->buffer, length, wake_);
  switch (plan.outcome) {
    case UsbFaultPlan::Outcome::Gone:
      pending->transfer->Fail(plan.goneStatus, plan.goneUsbdStatus, 0);
      break;
    case UsbFaultPlan::Outcome::Stall:
      pending->transfer->Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
      break;
    case UsbFaultPlan::Outcome::NoAnswer: break;
    case UsbFaultPlan::Outcome::Device:
      if (pending->kind == UsbTransferKind::Control) {
        AnswerDescriptor(pending);
      } else {
        pending->handedToDevice = true;
        device_->Transfer(pending->transfer);
      }
      break;
  }
  std::vector<UsbPendingPtr> tellDevice;
  {
    std::lock_guard<std::mutex> guard(lock_);
    pending->phase = UsbPhase::AtDevice;
    // The request could not be cancelled while the device had it in hand: catch up now.
    IoSetCancelRoutine(pending->irp, CancelRoutine);
    std::optional<UsbResult> end = pending->endRequest;
    if (!end && __atomic_load_n(&pending->irp->Cancel, __ATOMIC_SEQ_CST)) end = kCancelled;
    if (end && IoSetCancelRoutine(pending->irp, nullptr) != nullptr) {
      RetireLocked(pending, *end, &tellDevice);
    }
  }
  TellDeviceCancelled(tellDevice);
}

void UsbPortCore::AnswerDescriptor(const UsbPendingPtr& pending) {
  std::vector<uint8_t> bytes;
  switch (pending->descriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE: bytes = device_->DeviceDescriptor(); break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      bytes = device_->ConfigurationDescriptor(pending->descriptorIndex);
      break;
    case USB_STRING_DESCRIPTOR_TYPE:
      bytes = device_->StringDescriptor(pending->descriptorIndex, pending->languageId);
      break;
    default: break;
  }
  // A device answers a request for a descriptor it does not have with a stall.
  if (bytes.empty()) {
    pending->transfer->Fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    return;
  }
  pending->transfer->CompleteIn(bytes.data(),
                                std::min<size_t>(bytes.size(), pending->transfer->Length()));
}

bool UsbPortCore::DetachLocked(const UsbPendingPtr& pending, const UsbResult& result) {
  std::deque<UsbPendingPtr>& queue = endpoints_[pending->queue].queue;
  auto it = std::find(queue.begin(), queue.end(), pending);
  if (it != queue.end()) queue.erase(it);
  bool deviceHadIt = pending->transfer != nullptr && UsbTransferControl::End(*pending->transfer) &&
                     pending->handedToDevice;
  pending->result = result;
  pending->phase = UsbPhase::Retired;
  return deviceHadIt;
}

void UsbPortCore::RetireLocked(const UsbPendingPtr& pending, const UsbResult& result,
                               std::vector<UsbPendingPtr>* tellDevice) {
  if (DetachLocked(pending, result)) tellDevice->push_back(pending);
  retired_.push_back(pending);
  wake_->Wake();
}

void UsbPortCore::RetireQueueLocked(UsbEndpointState& endpoint, const UsbResult& result,
                                    std::vector<UsbPendingPtr>* tellDevice) {
  std::deque<UsbPendingPtr> queue = endpoint.queue;
  for (const UsbPendingPtr& pending : queue) {
    if (pending->phase == UsbPhase::Handing) {
      pending->endRequest = result;
    } else if (IoSetCancelRoutine(pending->irp, nullptr) != nullptr) {
      RetireLocked(pending, result, tellDevice);
    }
  }
}

void UsbPortCore::RetireQueuesLocked(bool (*match)(UCHAR queue), const UsbResult& result,
                                     std::vector<UsbPendingPtr>* tellDevice) {
  for (auto& [address, endpoint] : endpoints_) {
    if (match(address)) RetireQueueLocked(endpoint, result, tellDevice);
  }
}

void UsbPortCore::TellDeviceCancelled(const std::vector<UsbPendingPtr>& pendings) {
  for (const UsbPendingPtr& pending : pendings) device_->TransferCancelled(pending->transfer);
}

void UsbPortCore::WriteBack(const UsbPending& pending) {
  pending.urb->UrbHeader.Status = pending.result.usbdStatus;
  if (pending.kind == UsbTransferKind::Control) {
    pending.urb->UrbControlDescriptorRequest.TransferBufferLength = pending.result.length;
  } else {
    pending.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = pending.result.length;
  }
}

void UsbPortCore::Finish(const UsbPendingPtr& pending) {
  if (pending->transfer != nullptr) UsbTransferControl::End(*pending->transfer);
  RequireBufferHeld(*pending, "ended");
  {
    // Forgotten before it completes: the driver may send the same request again from its
    // completion routine.
    std::lock_guard<std::mutex> guard(lock_);
    live_.erase(pending->irp);
    completing_++;
    if (pending->kind != UsbTransferKind::Control) {
      counters_.transfersCompleted++;
      (pending->in ? counters_.bytesIn : counters_.bytesOut) += pending->result.length;
    }
  }
  WriteBack(*pending);
  CaptureCompletion(*pending);
  PIRP irp = pending->irp;
  irp->IoStatus.Status = pending->result.status;
  irp->IoStatus.Information = 0;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(irql);
  std::lock_guard<std::mutex> guard(lock_);
  completing_--;
  if (stopping_) KeSetEvent(&drained_, IO_NO_INCREMENT, FALSE);
}

}  // namespace kxsim
