// The adapter's port and the hub thread that carries it through an identity switch.
#include "sim/adapter/adapter_port.h"

#include "host/hostk.h"

namespace kxsim {
namespace {

constexpr LONGLONG kDisconnectDelay = 10 * 10000;  // 10 ms in 100 ns units

}  // namespace

AdapterPort::AdapterPort(std::shared_ptr<VirtualAdapter> adapter, UsbPortOptions options)
    : adapter_(std::move(adapter)), options_(std::move(options)) {
  KeInitializeEvent(&started_, NotificationEvent, FALSE);
  KeInitializeEvent(&work_, SynchronizationEvent, FALSE);
  KeInitializeEvent(&done_, NotificationEvent, FALSE);
  port_ = std::make_unique<SimulatedUsbPort>(adapter_->Device(), options_);
  hostk::StartHostThread("usb hub", HubEntry, this);
  KeWaitForSingleObject(&started_, Executive, KernelMode, FALSE, nullptr);
  // Runs on the thread that carried the bridge's write: it only wakes the hub.
  adapter_->SetLeaveBusHandler([this] { KeSetEvent(&work_, IO_NO_INCREMENT, FALSE); });
}

AdapterPort::~AdapterPort() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  adapter_->SetLeaveBusHandler(nullptr);
  KeSetEvent(&work_, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(hubThread_, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(hubThread_);
  // Stopping the port waits for its host controller, and with it for a leave handler still
  // running there, before the events go.
  port_.reset();
}

SimulatedUsbPort* AdapterPort::Port() const {
  std::lock_guard<std::mutex> guard(lock_);
  return port_.get();
}

PDEVICE_OBJECT AdapterPort::Pdo() const {
  std::lock_guard<std::mutex> guard(lock_);
  return port_ == nullptr ? nullptr : port_->Pdo();
}

void AdapterPort::SetArrivalHandler(std::function<void(PDEVICE_OBJECT pdo)> handler) {
  std::lock_guard<std::mutex> guard(lock_);
  arrival_ = std::move(handler);
}

ULONG AdapterPort::Reenumerations() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reenumerations_;
}

bool AdapterPort::WaitForReenumerations(ULONG count, LONGLONG timeout) {
  LONGLONG deadline = hostk::ClockNow() + timeout;
  for (;;) {
    KeClearEvent(&done_);
    if (Reenumerations() >= count) return true;
    LONGLONG left = deadline - hostk::ClockNow();
    if (left <= 0) return false;
    LARGE_INTEGER wait;
    wait.QuadPart = -left;
    KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &wait);
  }
}

void AdapterPort::HubEntry(void* context) {
  AdapterPort* self = (AdapterPort*)context;
  // The hub is hardware: how long the device stays off the bus is not bound to the clock tick.
  hostk::UsePreciseTimers();
  self->hubThread_ = KeGetCurrentThread();
  ObfReferenceObject(self->hubThread_);
  KeSetEvent(&self->started_, IO_NO_INCREMENT, FALSE);
  self->HubMain();
}

void AdapterPort::HubMain() {
  for (;;) {
    KeWaitForSingleObject(&work_, Executive, KernelMode, FALSE, nullptr);
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopping_) return;
    }
    if (adapter_->LeftBus()) Reenumerate();
  }
}

void AdapterPort::Reenumerate() {
  // The bridge finishes the transfer that carried its last write before it drops off the bus,
  // and the hub notices the disconnect at its next poll.
  LARGE_INTEGER disconnect;
  disconnect.QuadPart = -kDisconnectDelay;
  KeDelayExecutionThread(KernelMode, FALSE, &disconnect);
  std::unique_ptr<SimulatedUsbPort> old;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old = std::move(port_);
  }
  old->Unplug();
  PDEVICE_OBJECT pdo = old->Pdo();
  if (pdo->AttachedDevice != nullptr) hostk::PnpSurpriseRemoveDevice(pdo);
  old.reset();

  auto port = std::make_unique<SimulatedUsbPort>(adapter_->Reattach(), options_);
  PDEVICE_OBJECT newPdo = port->Pdo();
  std::function<void(PDEVICE_OBJECT)> arrival;
  {
    std::lock_guard<std::mutex> guard(lock_);
    port_ = std::move(port);
    arrival = arrival_;
  }
  if (arrival) arrival(newPdo);
  {
    std::lock_guard<std::mutex> guard(lock_);
    reenumerations_++;
  }
  KeSetEvent(&done_, IO_NO_INCREMENT, FALSE);
}

}  // namespace kxsim
