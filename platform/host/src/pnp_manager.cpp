// The Plug and Play manager's first steps: load, add device, requests to a stack, removal, unload.
// The device tree and enumeration live in pnp_device_tree.cpp and pnp_enumeration.cpp.
#include "host/hostk/pnp.h"

#include <mutex>

#include "host/hostk/bugcheck.h"
#include "host/hostk/io.h"
#include "host/hostk/irql.h"
#include "host/hostk/registry.h"
#include "host/ntstatus.h"
#include "host/zw.h"
#include "io_internal.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

struct PlainBus {
  std::mutex lock;
  PDRIVER_OBJECT driver = nullptr;
  int devices = 0;
};

PlainBus& Bus() {
  static PlainBus* bus = new PlainBus;
  return *bus;
}

// The Plug and Play requests that move a device through its life; a bus driver leaves the status
// of the others (queries it has no answer to) as it found it.
bool PlainBusAgreesTo(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES: return true;
    default: return false;
  }
}

NTSTATUS NTAPI PlainBusDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  if (stack->MajorFunction != IRP_MJ_PNP || PlainBusAgreesTo(stack->MinorFunction)) {
    irp->IoStatus.Status = STATUS_SUCCESS;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::u16string Widen(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace

std::string ServiceKeyPath(const std::string& serviceName) {
  return "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
}

PDRIVER_OBJECT PnpLoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry,
                             NTSTATUS* status) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpLoadDriver");
  std::string keyPath = ServiceKeyPath(serviceName);
  RegistryCreateKey(keyPath);
  PDRIVER_OBJECT driver = IoCreateDriverObject(("\\Driver\\" + serviceName).c_str());
  // The path is the loader's: valid only while the entry routine runs.
  std::u16string path = Widen(keyPath);
  UNICODE_STRING registryPath = {(USHORT)(path.size() * 2), (USHORT)(path.size() * 2),
                                 (PWCH)path.data()};
  NTSTATUS result = entry(driver, &registryPath);
  if (status != nullptr) *status = result;
  if (!NT_SUCCESS(result)) {
    IoDeleteDriverObject(driver);
    return nullptr;
  }
  return driver;
}

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpAddDevice");
  NTSTATUS status = driver->DriverExtension->AddDevice(driver, physicalDevice);
  if (!NT_SUCCESS(status) && driver->DeviceObject == nullptr) PnpUnloadDriver(driver);
  if (NT_SUCCESS(status)) PnpAddRootNode(physicalDevice);
  return status;
}

NTSTATUS PnpSendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                        const IO_STACK_LOCATION* parameters, ULONG_PTR* information) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpSendRequest");
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildSynchronousFsdRequest(major, top, nullptr, 0, nullptr, &event, &iosb);
  if (irp == nullptr) BugCheck(kDriverVerifierDetectedViolation, "PnpSendRequest: no request");
  irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  if (parameters != nullptr) stack->Parameters = parameters->Parameters;
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  NTSTATUS status = IofCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information != nullptr) *information = iosb.Information;
  ObfDereferenceObject(top);
  // Only requests that leave the stack in place move a node; after a removal `device` may be gone.
  if (major == IRP_MJ_PNP && (minor == IRP_MN_START_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)) {
    PnpNoteRequestDone(device, minor, status);
  }
  return status;
}

NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDevice) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "PnpRemoveDevice");
  PnpAcquireEngine();
  NTSTATUS status = PnpHasNode(physicalDevice) ? PnpRemoveSubtree(physicalDevice, false, false)
                                               : PnpSendRemove(physicalDevice);
  PnpReleaseEngine();
  return status;
}

void PnpUnloadDriver(PDRIVER_OBJECT driver) { IoUnloadDriver(driver); }

PDEVICE_OBJECT PnpCreatePlainBusDevice() {
  std::lock_guard<std::mutex> guard(Bus().lock);
  if (Bus().driver == nullptr) {
    Bus().driver = IoCreateDriverObject("\\Driver\\HostBus");
    for (auto& routine : Bus().driver->MajorFunction) routine = PlainBusDispatch;
  }
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(Bus().driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE,
                                   &device);
  if (!NT_SUCCESS(status)) BugCheck(kDriverVerifierDetectedViolation, "no plain bus device");
  device->Flags |= DO_BUS_ENUMERATED_DEVICE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  Bus().devices++;
  return device;
}

void PnpDeletePlainBusDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Bus().lock);
  IoDeleteDevice(device);
  if (--Bus().devices == 0) {
    IoDeleteDriverObject(Bus().driver);
    Bus().driver = nullptr;
  }
}

}  // namespace hostk
