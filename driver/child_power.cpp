// Power of a display child: the driver is its bus driver, so every request ends here. A child
// only records the states it is told; the adapter's power is the function device's affair.
#include "driver/kxbus.h"

NTSTATUS ChildPower(PDEVICE_OBJECT device, PIRP irp) {
  ChildDeviceContext* child = (ChildDeviceContext*)device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == SystemPowerState) {
      child->SystemPowerState = stack->Parameters.Power.State.SystemState;
    } else {
      PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
      child->DevicePowerState = stack->Parameters.Power.State.DeviceState;
    }
    status = STATUS_SUCCESS;
  } else if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
