// Driver and device objects: creation, deletion deferred while referenced, device stacks.
#include <cstdio>
#include <map>
#include <mutex>
#include <new>

#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/client.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/hostk/pool.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

void DestroyDevice(void* body) {
  ((DeviceRecord*)((PDEVICE_OBJECT)body)->DeviceObjectExtension)->~DeviceRecord();
}

const ObjectType kDeviceType = {"Device", DestroyDevice};
const ObjectType kDriverType = {"Driver", nullptr};

// Device stacks and the drivers' device lists change under this lock.
std::mutex& StackLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Named devices, for opening by name.
std::map<std::string, PDEVICE_OBJECT>& Names() {
  static auto* names = new std::map<std::string, PDEVICE_OBJECT>;
  return *names;
}

constexpr size_t AlignUp(size_t value) { return (value + 15) & ~(size_t)15; }

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

}  // namespace

DeviceRecord* RecordOf(PDEVICE_OBJECT device) {
  return (DeviceRecord*)device->DeviceObjectExtension;
}

void CheckDeviceObject(PDEVICE_OBJECT device, const char* what) {
  if (device == nullptr || ObTypeOf(device) != &kDeviceType) {
    BugCheckF(kDriverVerifierDetectedViolation, "%s: %p is not a live device object", what,
              (void*)device);
  }
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT IoCreateDriverObject(const char* name) {
  size_t size = AlignUp(sizeof(DRIVER_OBJECT)) + sizeof(DRIVER_EXTENSION);
  PDRIVER_OBJECT driver = (PDRIVER_OBJECT)ObCreateObject(&kDriverType, size);
  driver->Type = 4;
  driver->Size = (CSHORT)sizeof(DRIVER_OBJECT);
  driver->DriverExtension = (PDRIVER_EXTENSION)((char*)driver + AlignUp(sizeof(DRIVER_OBJECT)));
  driver->DriverExtension->DriverObject = driver;
  for (auto& routine : driver->MajorFunction) routine = InvalidDeviceRequest;
  (void)name;
  return driver;
}

void IoUnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  if (driver->DeviceObject != nullptr) {
    BugCheck(kDriverUnloadedWithoutCancellingPendingOperations,
             "driver unloaded with device objects still present", (ULONG_PTR)driver,
             (ULONG_PTR)driver->DeviceObject);
  }
  std::string pool = PoolLeakReport();
  if (!pool.empty()) {
    std::string rule = "driver unloaded with pool still allocated:\n" + pool;
    BugCheck(kDriverVerifierDetectedViolation, rule.c_str(), (ULONG_PTR)driver);
  }
  IoDeleteDriverObject(driver);
}

void IoDeleteDriverObject(PDRIVER_OBJECT driver) { ObfDereferenceObject(driver); }

std::string IoDeviceName(PDEVICE_OBJECT device) { return RecordOf(device)->name; }
bool IoIsDeviceDeleted(PDEVICE_OBJECT device) { return RecordOf(device)->deleted; }
PDEVICE_OBJECT IoLowerDevice(PDEVICE_OBJECT device) { return RecordOf(device)->lower; }

void IoNoteWorkItemQueued(PDEVICE_OBJECT device, int delta) {
  __atomic_add_fetch(&RecordOf(device)->queuedWorkItems, delta, __ATOMIC_SEQ_CST);
}

LONG IoQueuedWorkItemCount(PDEVICE_OBJECT device) {
  return __atomic_load_n(&RecordOf(device)->queuedWorkItems, __ATOMIC_SEQ_CST);
}

}  // namespace hostk

using namespace hostk;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  if (hostk::AllocationSiteCallFails()) return STATUS_INSUFFICIENT_RESOURCES;
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  std::string name;
  if (DeviceName != nullptr) {
    for (USHORT i = 0; i < DeviceName->Length / 2; i++) name += (char)DeviceName->Buffer[i];
  }
  std::lock_guard<std::mutex> guard(StackLock());
  if (!name.empty() && Names().count(name) != 0) return STATUS_OBJECT_NAME_COLLISION;
  size_t recordOffset = AlignUp(sizeof(DEVICE_OBJECT));
  size_t extensionOffset = recordOffset + AlignUp(sizeof(DeviceRecord));
  PDEVICE_OBJECT device =
      (PDEVICE_OBJECT)ObCreateObject(&kDeviceType, extensionOffset + DeviceExtensionSize);
  DeviceRecord* record = new ((char*)device + recordOffset) DeviceRecord;
  record->name = name;
  device->Type = 3;
  device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? (char*)device + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceObjectExtension = record;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  if (!name.empty()) Names()[name] = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT hostk::IoFindDeviceByName(const std::string& name) {
  std::lock_guard<std::mutex> guard(StackLock());
  auto it = Names().find(name);
  return it == Names().end() ? nullptr : it->second;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  CheckDeviceObject(DeviceObject, "IoDeleteDevice");
  // Documented for PASSIVE_LEVEL only; the verifier holds drivers to it, inside a fast mutex too.
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "IoDeleteDevice called at IRQL %u; it runs only at PASSIVE_LEVEL",
              (unsigned)KeGetCurrentIrql());
  }
  DeviceRecord* record = RecordOf(DeviceObject);
  if (record->deleted) {
    BugCheck(kDriverVerifierDetectedViolation, "IoDeleteDevice: device object deleted twice",
             (ULONG_PTR)DeviceObject);
  }
  if (IoQueuedWorkItemCount(DeviceObject) > 0) {
    BugCheck(kDriverVerifierDetectedViolation,
             "IoDeleteDevice: work items are still queued for the device",
             (ULONG_PTR)DeviceObject, (ULONG_PTR)IoQueuedWorkItemCount(DeviceObject));
  }
  {
    std::lock_guard<std::mutex> guard(StackLock());
    if (DeviceObject->AttachedDevice != nullptr) {
      BugCheck(kDriverVerifierDetectedViolation,
               "IoDeleteDevice: another device is still attached above this one",
               (ULONG_PTR)DeviceObject, (ULONG_PTR)DeviceObject->AttachedDevice);
    }
    record->deleted = true;
    if (!record->name.empty()) Names().erase(record->name);
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
    if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  }
  IoDisableInterfacesOf(DeviceObject);
  PnpNoteDeviceDeleted(DeviceObject);
  // The memory stays while references remain; the device answers no new request.
  ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  CheckDeviceObject(SourceDevice, "IoAttachDeviceToDeviceStack");
  CheckDeviceObject(TargetDevice, "IoAttachDeviceToDeviceStack");
  std::lock_guard<std::mutex> guard(StackLock());
  PDEVICE_OBJECT top = TopOfStack(TargetDevice);
  if (RecordOf(top)->deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  RecordOf(SourceDevice)->lower = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  CheckDeviceObject(TargetDevice, "IoDetachDevice");
  std::lock_guard<std::mutex> guard(StackLock());
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (above == nullptr) {
    BugCheck(kDriverVerifierDetectedViolation, "IoDetachDevice: nothing is attached to the device",
             (ULONG_PTR)TargetDevice);
  }
  RecordOf(above)->lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  CheckDeviceObject(DeviceObject, "IoGetAttachedDeviceReference");
  std::lock_guard<std::mutex> guard(StackLock());
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  ObfReferenceObject(top);
  return top;
}
