// The inside of the simulated USB port, shared by its dispatch, URB, transfer and host-controller
// files.
//
// Ownership of a queued request follows the platform's cancel protocol: whoever takes the cancel
// routine away (IoSetCancelRoutine(irp, NULL) returning non-null, or IoCancelIrp calling it) owns
// the request and is the only one to complete it. Lock order: the port's lock, then a transfer's
// own lock; no call into the device, the driver or the capture file is made under the port's lock.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/usb/usb_bandwidth.h"
#include "sim/usb/usb_capture.h"
#include "sim/usb/usb_device_model.h"
#include "host/hostk/buffer_owner.h"
#include "sim/usb/usb_fault.h"
#include "sim/usb/usb_pipe_table.h"
#include "sim/usb/usb_port.h"

namespace kxsim {

constexpr LONGLONG kNever = INT64_MAX;

enum class UsbPhase {
  Queued,    // waiting behind others, or behind a halt; cancel routine set
  Handing,   // the host controller took it from the queue and is giving it to the device
  AtDevice,  // the device has it; cancel routine set
  Timed,     // answered; completes at `due`; cancel routine set
  Retired,   // has its final result; owned by the port, completes on the host controller
};

struct UsbPending {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  UsbTransferKind kind = UsbTransferKind::Bulk;
  UCHAR queue = 0;     // endpoint address whose queue holds it (0x00 for control)
  UCHAR endpoint = 0;  // as the capture names it
  bool in = false;
  bool shortOk = false;
  ULONG requested = 0;
  UCHAR* buffer = nullptr;
  // Whether `buffer` was already a user address when the request came, and when that was: a
  // transfer found on user memory when it starts tells a caller's user pointer from a system
  // buffer given back and mapped again as user memory while the request waited.
  bool userAtSubmit = false;
  LONGLONG submittedAt = 0;
  // What held `buffer` when the request came; it must still hold it when the transfer starts and
  // when it ends.
  hostk::BufferOwner owner;
  UCHAR descriptorType = 0;
  UCHAR descriptorIndex = 0;
  USHORT languageId = 0;

  UsbPhase phase = UsbPhase::Queued;
  std::shared_ptr<UsbTransfer> transfer;  // the device's view, from Handing on
  bool handedToDevice = false;
  UsbFaultPlan plan;
  UsbResult result;
  LONGLONG due = 0;
  // Set while Handing by someone who wanted to end it; applied when the device call returns.
  std::optional<UsbResult> endRequest;
};
using UsbPendingPtr = std::shared_ptr<UsbPending>;

// A device set-power request the port holds until the host controller has changed the port's
// power, with the answer it was given when it came.
struct UsbPendingPower {
  PIRP irp = nullptr;
  DEVICE_POWER_STATE state = PowerDeviceUnspecified;
  NTSTATUS status = STATUS_SUCCESS;
};

struct UsbEndpointState {
  bool halted = false;
  std::deque<UsbPendingPtr> queue;
  UsbEndpointFaults faults;
};

// The system address of a transfer's data: the MDL's when there is one, else the buffer's. A
// zero-length transfer needs neither. False, with the failure, when neither describes the length.
bool ResolveTransferBuffer(PVOID buffer, PMDL mdl, ULONG length, UCHAR** address,
                           UsbResult* failure);

struct UsbPdoExtension {
  UsbPortCore* core;
};

// The port behind its physical device object.
inline UsbPortCore* CoreOf(PDEVICE_OBJECT device) {
  return ((UsbPdoExtension*)device->DeviceExtension)->core;
}

// A request the physical device object answers itself.
inline NTSTATUS CompletePdoRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class UsbPortCore {
 public:
  UsbPortCore(std::shared_ptr<UsbDeviceModel> device, const UsbPortOptions& options);
  ~UsbPortCore();

  void Start();
  void Stop();
  PDEVICE_OBJECT Pdo() const { return pdo_; }
  UsbDeviceModel& Device() const { return *device_; }

  // Tests and scenarios (usb_port.cpp).
  void InjectFault(UCHAR endpoint, const UsbFault& fault);
  void ClearFaults(UCHAR endpoint, bool all);
  void Unplug(NTSTATUS status);
  bool Unplugged() const;
  void UnplugSoon();
  void ArmTransferEvent(uint64_t index, UsbTransferEvent event);
  uint64_t TransfersHanded() const;
  std::vector<UCHAR> HandedEndpoints() const;
  void SetBandwidthModel(bool on);
  bool StartCapture(const std::string& path);
  void StopCapture();
  UCHAR ConfigurationValue() const;
  USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) const;
  bool IsHalted(UCHAR endpoint) const;
  size_t PendingCount(int endpoint) const;  // -1: every endpoint
  UsbPortCounters Counters() const;
  std::vector<UsbPowerRequest> PowerRequests() const;
  bool WaitWakeHeld() const;
  bool SignalWake(NTSTATUS status);
  void FailPowerUps(int count);

  // Dispatch routines of the physical device object (usb_pdo_dispatch.cpp).
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp);

 private:
  // URBs (usb_urb_*.cpp). Each completes the request or queues it and returns its status.
  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS SubmitDescriptorRead(PIRP irp, PURB urb);
  NTSTATUS SubmitBulkOrInterrupt(PIRP irp, PURB urb);
  NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS Deconfigure(PIRP irp, PURB urb);
  NTSTATUS PipeRequest(PIRP irp, PURB urb);
  NTSTATUS ResetPipe(PIRP irp, PURB urb, const UsbPipe& pipe);
  NTSTATUS AbortPipe(PIRP irp, PURB urb, const UsbPipe& pipe);
  bool DeviceHasConfiguration(UCHAR value) const;
  bool FindPipe(USBD_PIPE_HANDLE handle, UsbPipe* pipe) const;
  bool IsGoneOrStopped(UsbResult* result) const;

  // Request plumbing (usb_urb_transfer.cpp).
  NTSTATUS Enqueue(const UsbPendingPtr& pending);
  // Completes a URB request at once, with both capture records.
  NTSTATUS CompleteNow(PIRP irp, PURB urb, const UsbResult& result, UCHAR endpoint = 0);
  static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void OnCancel(PIRP irp);

  // The host controller (usb_host_controller.cpp).
  static void HostControllerEntry(void* context);
  void HostControllerMain();
  void CollectLocked(std::vector<UsbPendingPtr>* start, std::vector<UsbPendingPtr>* finish,
                     LONGLONG* wakeAt);
  void CollectEndpointLocked(UsbEndpointState& endpoint, LONGLONG now,
                             std::vector<UsbPendingPtr>* start, std::vector<UsbPendingPtr>* finish,
                             LONGLONG* wakeAt);
  void StartTransfer(const UsbPendingPtr& pending);
  void RequireBufferHeld(const UsbPending& pending, const char* when);
  void AnswerDescriptor(const UsbPendingPtr& pending);
  void ResolveLocked(UsbPending& pending, UsbEndpointState& endpoint, const UsbResult& answer,
                     LONGLONG now);
  void WaitForWork(LONGLONG wakeAt);
  // Counts the transfer handed over and applies the armed event when it is the armed one.
  void CountHandedLocked(UsbPending& pending);

  // Ending requests (usb_host_controller.cpp). The caller owns the request.
  // Takes it off its queue with its final result; true when the device must hear it was
  // cancelled.
  bool DetachLocked(const UsbPendingPtr& pending, const UsbResult& result);
  void RetireLocked(const UsbPendingPtr& pending, const UsbResult& result,
                    std::vector<UsbPendingPtr>* tellDevice);
  // Ends every request of the matching queues that can be taken now; the others end once the
  // host controller gives them back.
  void RetireQueuesLocked(bool (*match)(UCHAR queue), const UsbResult& result,
                          std::vector<UsbPendingPtr>* tellDevice);
  void RetireQueueLocked(UsbEndpointState& endpoint, const UsbResult& result,
                         std::vector<UsbPendingPtr>* tellDevice);
  void TellDeviceCancelled(const std::vector<UsbPendingPtr>& pendings);
  void Finish(const UsbPendingPtr& pending);
  void WriteBack(const UsbPending& pending);

  // Power (usb_power.cpp).
  NTSTATUS HoldWaitWake(PIRP irp);
  bool TakePowerUpFailure(PIO_STACK_LOCATION stack);
  // Marks a device set-power request pending for the host controller, or, once the port is
  // stopping and the controller gone, completes it at once.
  NTSTATUS QueueDevicePower(PIRP irp, DEVICE_POWER_STATE state, NTSTATUS status);
  void CompleteDevicePower(const UsbPendingPower& request);
  static VOID NTAPI CancelWaitWake(PDEVICE_OBJECT device, PIRP irp);

  // Capture (usb_port_capture.cpp).
  void CaptureSubmit(const UsbPending& pending);
  void CaptureCompletion(const UsbPending& pending);
  void CaptureInfo(PIRP irp, PURB urb, UCHAR endpoint, USBD_STATUS status, bool completion);
  std::shared_ptr<UsbPcapWriter> CaptureWriter() const;

  const std::shared_ptr<UsbDeviceModel> device_;
  const UsbPortOptions options_;
  const std::shared_ptr<UsbWakeSignal> wake_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PKTHREAD hostController_ = nullptr;
  KEVENT started_;
  KEVENT drained_;  // synchronization: a completion at stop time may have emptied the port

  mutable std::mutex lock_;
  bool stopping_ = false;
  bool controllerRunning_ = false;
  std::optional<NTSTATUS> goneStatus_;
  UsbPipeTable pipes_;
  UCHAR configurationValue_ = 0;
  std::map<UCHAR, UsbEndpointState> endpoints_;
  std::map<PIRP, UsbPendingPtr> live_;
  std::vector<UsbPendingPtr> retired_;
  size_t completing_ = 0;
  bool bandwidthOn_;
  UsbBandwidthModel bandwidth_;
  UsbPortCounters counters_;
  std::shared_ptr<UsbPcapWriter> capture_;
  std::vector<UsbPowerRequest> powerRequests_;
  PIRP waitWake_ = nullptr;  // the held wait-wake request, its cancel routine set
  std::vector<UsbPendingPower> devicePower_;  // for the host controller, in arrival order
  int failPowerUps_ = 0;     // device power-ups still to fail
  uint64_t handed_ = 0;      // transfers handed to the device
  std::vector<UCHAR> handedEndpoints_;
  uint64_t armedIndex_ = 0;  // the transfer that meets armedEvent_
  UsbTransferEvent armedEvent_ = UsbTransferEvent::None;
  bool unplugDue_ = false;   // the controller unplugs the device once it leaves the lock
};

}  // namespace kxsim
