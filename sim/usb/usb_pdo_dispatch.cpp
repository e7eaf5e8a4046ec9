// The physical device object's dispatch routines: Plug and Play as a bus driver answers it for its
// child, and the USB stack's internal control codes. Power is in usb_power.cpp.
#include "host/hostk.h"
#include "sim/usb/usb_port_core.h"

namespace kxsim {
namespace {

// USB_GET_PORT_STATUS bits.
constexpr ULONG kPortEnabled = 0x1;
constexpr ULONG kPortConnected = 0x2;

// What a USB hub reports for a removable device that may leave at any time.
void FillCapabilities(PDEVICE_CAPABILITIES capabilities, const UsbPortOptions& options) {
  capabilities->Removable = TRUE;
  capabilities->SurpriseRemovalOK = TRUE;
  capabilities->Address = 1;
  capabilities->UINumber = 1;
  capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; state++) {
    capabilities->DeviceState[state] = PowerDeviceD3;
  }
  for (int i = 0; i < 3; i++) {
    capabilities->DeviceState[PowerSystemSleeping1 + i] = options.sleepingDeviceStates[i];
  }
  bool canWake = options.deviceWake != PowerDeviceUnspecified;
  capabilities->SystemWake = canWake ? PowerSystemSleeping3 : PowerSystemUnspecified;
  capabilities->DeviceWake = options.deviceWake;
}

}  // namespace

NTSTATUS NTAPI UsbPortCore::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompletePdoRequest(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES:
      FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities,
                       CoreOf(device)->options_);
      return CompletePdoRequest(irp, STATUS_SUCCESS);
    default:
      // A bus driver leaves the status of a request it does not handle as it found it.
      return CompletePdoRequest(irp, irp->IoStatus.Status);
  }
}

NTSTATUS NTAPI UsbPortCore::DispatchInternalControl(PDEVICE_OBJECT device, PIRP irp) {
  UsbPortCore* core = CoreOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return core->SubmitUrb(irp, (PURB)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      UsbResult gone;
      *(PULONG)stack->Parameters.Others.Argument1 =
          core->IsGoneOrStopped(&gone) ? 0 : kPortEnabled | kPortConnected;
      return CompletePdoRequest(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_RESET_PORT");
      UsbResult gone;
      return CompletePdoRequest(irp, core->IsGoneOrStopped(&gone) ? gone.status : STATUS_SUCCESS);
    }
    default: return CompletePdoRequest(irp, STATUS_NOT_SUPPORTED);
  }
}

bool UsbPortCore::IsGoneOrStopped(UsbResult* result) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (goneStatus_) {
    *result = {*goneStatus_, USBD_STATUS_DEVICE_GONE, 0};
    return true;
  }
  if (stopping_) {
    *result = {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0};
    return true;
  }
  return false;
}

}  // namespace kxsim
