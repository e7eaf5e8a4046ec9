// The adapter's bus relations: every present child, after whatever a driver above already listed.
// A child left out is marked ReportedMissing, so that its next removal request deletes it; one the
// Plug and Play manager never heard of gets no removal request, so the bus deletes it here.
#include "driver/kxbus.h"

namespace {

ULONG PresentChildren(BusDeviceContext* bus) {
  ULONG count = 0;
  for (PLIST_ENTRY entry = bus->Children.Flink; entry != &bus->Children; entry = entry->Flink) {
    ChildDeviceContext* child = CONTAINING_RECORD(entry, ChildDeviceContext, Link);
    if (child->Present && child->DeviceId != NULL) count++;
  }
  return count;
}

// Appends the present children (referenced for the Plug and Play manager) and marks the others;
// the absent ones never reported move to `unknown`.
void ListChildren(BusDeviceContext* bus, PDEVICE_RELATIONS relations, PLIST_ENTRY unknown) {
  PLIST_ENTRY entry = bus->Children.Flink;
  while (entry != &bus->Children) {
    ChildDeviceContext* child = CONTAINING_RECORD(entry, ChildDeviceContext, Link);
    entry = entry->Flink;
    if (child->DeviceId == NULL) continue;  // still being created
    if (child->Present) {
      ObfReferenceObject(child->Header.Self);
      relations->Objects[relations->Count++] = child->Header.Self;
      child->Reported = 1;
    } else if (child->Reported) {
      child->ReportedMissing = 1;
    } else {
      RemoveEntryList(&child->Link);
      bus->ChildCount--;
      InsertTailList(unknown, &child->Link);
    }
  }
}

// Outside ChildListLock: deleting a device is for passive level.
void DeleteUnknownChildren(PLIST_ENTRY unknown) {
  while (!IsListEmpty(unknown)) {
    DeleteChild(CONTAINING_RECORD(RemoveHeadList(unknown), ChildDeviceContext, Link));
  }
}

}  // namespace

NTSTATUS ReplyBusRelations(BusDeviceContext* bus, PIRP irp) {
  ExAcquireFastMutex(&bus->ChildListLock);
  PDEVICE_RELATIONS above = (PDEVICE_RELATIONS)irp->IoStatus.Information;
  ULONG listed = above != NULL ? above->Count : 0;
  if (above != NULL && bus->ChildCount == 0) {
    ExReleaseFastMutex(&bus->ChildListLock);
    return PassDown(bus, irp);
  }
  ULONG present = PresentChildren(bus);
  SIZE_T size = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * (listed + present);
  PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, size, kTagBus);
  if (relations == NULL) {
    ExReleaseFastMutex(&bus->ChildListLock);
    return CompleteRequest(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  relations->Count = listed;
  if (listed != 0) {
    RtlCopyMemory(relations->Objects, above->Objects, sizeof(PDEVICE_OBJECT) * listed);
  }
  LIST_ENTRY unknown;
  InitializeListHead(&unknown);
  ListChildren(bus, relations, &unknown);
  if (above != NULL) ExFreePool(above);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  ExReleaseFastMutex(&bus->ChildListLock);
  DeleteUnknownChildren(&unknown);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(bus, irp);
}
