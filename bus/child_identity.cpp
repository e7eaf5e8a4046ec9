// What a child tells the Plug and Play manager about itself: identifiers, text, bus type and
// capabilities. Every answer is a fresh paged-pool buffer that the Plug and Play manager frees.
#include "driver/kxbus.h"
#include "platform/kx_runtime.h"

namespace {

const WCHAR kCompatibleId[] = KX_WSTR("Kestrelix\\VirtualDisplay");
const WCHAR kDescription[] = KX_WSTR("Kestrelix Virtual Display");
// {8265BDBD-1C51-41A9-AD04-8583AFB764B3}
const GUID kBusTypeGuid = {0x8265BDBD, 0x1C51, 0x41A9,
                           {0xAD, 0x04, 0x85, 0x83, 0xAF, 0xB7, 0x64, 0xB3}};

// `chars` characters of `text` and two terminating zeros: a one-entry multi-string.
PWCHAR MultiStringOf(PCWSTR text, SIZE_T chars) {
  SIZE_T bytes = (chars + 2) * sizeof(WCHAR);
  PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, bytes, kTagBus);
  if (copy == NULL) return NULL;
  RtlZeroMemory(copy, bytes);
  RtlCopyMemory(copy, text, chars * sizeof(WCHAR));
  return copy;
}

PWCHAR InstanceIdOf(ChildDeviceContext* child) {
  PWCHAR id = (PWCHAR)ExAllocatePoolWithTag(PagedPool, kInstanceIdChars * sizeof(WCHAR), kTagBus);
  if (id != NULL) KxFormatWide(id, kInstanceIdChars, "%02d", (LONG)child->DisplayId);
  return id;
}

NTSTATUS Answer(PIRP irp, PVOID answer) {
  if (answer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = (ULONG_PTR)answer;
  return STATUS_SUCCESS;
}

// The adapter's own capabilities, from the top of its stack: a synchronous request, waited for.
NTSTATUS QueryAdapterCapabilities(ChildDeviceContext* child, DEVICE_CAPABILITIES* capabilities) {
  RtlZeroMemory(capabilities, sizeof *capabilities);
  capabilities->Size = sizeof *capabilities;
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
  BusDeviceContext* bus = (BusDeviceContext*)child->ParentDevice->DeviceExtension;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bus->LowerDeviceObject);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &done, &ioStatus);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != NULL) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = capabilities;
    status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
      status = ioStatus.Status;
    }
  }
  ObfDereferenceObject(top);
  return status;
}

void ApplyChildCapabilities(ChildDeviceContext* child, const DEVICE_CAPABILITIES* adapter,
                            DEVICE_CAPABILITIES* caps) {
  for (int state = PowerSystemUnspecified; state <= PowerSystemShutdown; state++) {
    caps->DeviceState[state] = adapter->DeviceState[state];
  }
  caps->DeviceD1 = caps->EjectSupported = caps->Removable = caps->SurpriseRemovalOK = 1;
  caps->WakeFromD1 = 1;
  caps->DeviceD2 = caps->UniqueID = caps->SilentInstall = caps->WakeFromD0 = 0;
  caps->WakeFromD2 = caps->WakeFromD3 = caps->HardwareDisabled = 0;
  caps->Address = caps->UINumber = child->DisplayId;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  if (caps->DeviceState[PowerSystemSleeping1] != PowerDeviceD0) {
    caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
  }
  for (int state = PowerSystemSleeping2; state <= PowerSystemSleeping3; state++) {
    if (caps->DeviceState[state] != PowerDeviceD0) caps->DeviceState[state] = PowerDeviceD3;
  }
  caps->DeviceWake = PowerDeviceD1;
  caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
}

}  // namespace

NTSTATUS QueryChildId(ChildDeviceContext* child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
      if (child->DeviceId == NULL) return STATUS_INSUFFICIENT_RESOURCES;
      return Answer(irp, MultiStringOf(child->DeviceId, KxWideLength(child->DeviceId)));
    case BusQueryCompatibleIDs:
      return Answer(irp, MultiStringOf(kCompatibleId, KxWideLength(kCompatibleId)));
    case BusQueryInstanceID: return Answer(irp, InstanceIdOf(child));
    default: return irp->IoStatus.Status;
  }
}

// A text the request already carries (a filter's) is kept.
NTSTATUS QueryChildText(ChildDeviceContext*, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
    return irp->IoStatus.Status;
  }
  if (irp->IoStatus.Information != 0) return STATUS_SUCCESS;
  return Answer(irp, MultiStringOf(kDescription, KxWideLength(kDescription)));
}

NTSTATUS QueryChildBusInformation(PIRP irp) {
  PPNP_BUS_INFORMATION info =
      (PPNP_BUS_INFORMATION)ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kTagBus);
  if (info != NULL) {
    info->BusTypeGuid = kBusTypeGuid;
    info->LegacyBusType = PNPBus;
    info->BusNumber = 0;
  }
  return Answer(irp, info);
}

NTSTATUS QueryChildCapabilities(ChildDeviceContext* child, PIRP irp) {
  PDEVICE_CAPABILITIES caps =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  if (child->ParentDevice == NULL) return STATUS_NO_SUCH_DEVICE;
  DEVICE_CAPABILITIES adapter;
  NTSTATUS status = QueryAdapterCapabilities(child, &adapter);
  if (!NT_SUCCESS(status)) return status;
  ApplyChildCapabilities(child, &adapter, caps);
  return STATUS_SUCCESS;
}
