// AddDevice: the function device of one adapter, attached above the USB stack, with its record
// filled and the frame pipeline's two buffers.
#include "driver/kxbus.h"

namespace {

// Paged pool first, non-paged when that fails; `pageable` records which one served.
PUCHAR AllocateFrameBuffer(UCHAR* pageable) {
  PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, kFrameBufferSize, kTagFrameBuffers);
  *pageable = buffer != NULL;
  if (buffer == NULL) {
    buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kFrameBufferSize, kTagFrameBuffers);
  }
  return buffer;
}

void InitializeBusRecord(BusDeviceContext* bus, PDRIVER_OBJECT driver, PDEVICE_OBJECT device,
                         PDEVICE_OBJECT physicalDevice) {
  bus->Header.Self = device;
  bus->Header.IsFunctionDevice = 1;
  bus->Header.DevicePnpState = NotStarted;
  bus->Header.PreviousPnpState = NotStarted;
  bus->PhysicalDeviceObject = physicalDevice;
  bus->DriverObject = driver;
  bus->OpenHandleCount = 0;
  bus->OutstandingIo = 1;
  KeInitializeSpinLock(&bus->PnpStateLock);
  KeInitializeSpinLock(&bus->IoCountLock);
  KeInitializeEvent(&bus->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&bus->IoIdleEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&bus->PowerDoneEvent, NotificationEvent, FALSE);
  ExInitializeFastMutex(&bus->ChildListLock);
  InitializeListHead(&bus->Children);
  KeInitializeMutex(&bus->ChildCreationLock, 0);
  KeInitializeMutex(&bus->InterfaceLock, 0);
  bus->ChildCount = 0;
  KeInitializeEvent(&bus->AsyncIdleEvent, NotificationEvent, TRUE);
  KeInitializeSpinLock(&bus->AsyncTransferLock);
  KeInitializeSpinLock(&bus->WaitWakeLock);
  KeInitializeMutex(&bus->BridgePathLock, 0);
  KeInitializeMutex(&bus->PciPathLock, 0);
  KeInitializeMutex(&bus->ConfigMutex, 0);
  bus->MaxTransferSize = IsPreWdm6System() ? kMaxTransferSizePreWdm6 : kMaxTransferSize;
  InitializeFrameWorker(bus);
  InitializeLinkThread(bus);
  InitializeChannels(bus);
}

}  // namespace

void FreeFrameBuffers(BusDeviceContext* bus) {
  if (bus->StagingBuffer != NULL) ExFreePoolWithTag(bus->StagingBuffer, kTagFrameBuffers);
  if (bus->EncodeBuffer != NULL) ExFreePoolWithTag(bus->EncodeBuffer, kTagFrameBuffers);
  bus->StagingBuffer = NULL;
  bus->EncodeBuffer = NULL;
}

NTSTATUS ObtainFrameBuffers(BusDeviceContext* bus) {
  if (bus->StagingBuffer == NULL) bus->StagingBuffer = AllocateFrameBuffer(&bus->StagingPageable);
  if (bus->StagingBuffer != NULL && bus->EncodeBuffer == NULL) {
    bus->EncodeBuffer = AllocateFrameBuffer(&bus->EncodePageable);
  }
  if (bus->EncodeBuffer != NULL) return STATUS_SUCCESS;
  KX_TRACE(KX_TRACE_ERROR, "no memory for the frame buffers\n");
  FreeFrameBuffers(bus);
  return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(BusDeviceContext), NULL,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;

  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  InitializeBusRecord(bus, DriverObject, device, PhysicalDeviceObject);
  bus->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (bus->LowerDeviceObject == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;

  if (!NT_SUCCESS(ObtainFrameBuffers(bus))) {
    // No half-made adapter stays on the stack.
    IoDetachDevice(bus->LowerDeviceObject);
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoInitializeRemoveLock(&bus->RemoveLock, kTagRemoveLock, 0, 0);
  return STATUS_SUCCESS;
}
