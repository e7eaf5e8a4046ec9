// The Plug and Play manager: loads a driver from its service key, builds device stacks over the
// physical device objects that buses (and the simulated world) report, sends Plug and Play and
// power requests to the top of a stack, and unloads a driver once its last device is gone.
#pragma once

#include <string>
#include <vector>

#include "host/io.h"

namespace hostk {

// The service key of a driver: \Registry\Machine\System\CurrentControlSet\Services\<name>.
std::string ServiceKeyPath(const std::string& serviceName);

// Creates the service key, then the driver object "\Driver\<name>", and calls the entry routine
// with the service key path. nullptr (nothing left behind) when the entry routine fails; its status
// goes to *status when given.
PDRIVER_OBJECT PnpLoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry,
                             NTSTATUS* status = nullptr);

// Calls the driver's AddDevice for a physical device object. A driver whose AddDevice fails and
// that has no device left is unloaded, as the platform does.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// Sends a Plug and Play (IRP_MJ_PNP) or power (IRP_MJ_POWER) request to the top of the stack that
// `device` belongs to and waits for its end. `parameters`, when given, supplies the stack
// location's Parameters. A Plug and Play request starts with STATUS_NOT_SUPPORTED in its status
// block, as the platform sends them, so a request nobody handles keeps that answer.
NTSTATUS PnpSendRequest(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                        const IO_STACK_LOCATION* parameters = nullptr,
                        ULONG_PTR* information = nullptr);

// IRP_MN_REMOVE_DEVICE to the stack over `physicalDevice`; when the driver of the stack has no
// device left afterwards it is unloaded (and the verifier checks that it left no pool).
NTSTATUS PnpRemoveDevice(PDEVICE_OBJECT physicalDevice);

// The device behind `physicalDevice` is gone without warning: IRP_MN_SURPRISE_REMOVAL to its stack
// (a request drivers must not fail), then IRP_MN_REMOVE_DEVICE as PnpRemoveDevice sends it. As the
// platform does, the removal waits until the last handle to any device of the subtree is closed
// (clients learn of the removal from their interface notifications); the close that ends the wait
// queues the removal on the manager's worker, and this call waits for it, so a caller holding a
// handle itself waits for ever. The same holds for a child its bus no longer reports: its removal
// follows the close of its last handle, and meanwhile it stays in the tree, "SurpriseRemoved".
NTSTATUS PnpSurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice);

// Waits (a kernel wait) until no removal waits for handles any more and the worker is done.
void PnpWaitForRemovals();

// The life cycle of a started device, as the platform runs it. Each call runs to its end on the
// calling thread (PASSIVE_LEVEL), one at a time with enumerations and removals.
//
// IRP_MN_QUERY_INTERFACE for an interface nobody offers (which must come back unanswered),
// IRP_MN_START_DEVICE to the top of the stack (no resources on this bus: both lists empty), and
// after a successful start IRP_MN_QUERY_CAPABILITIES, as the platform asks again, and
// IRP_MN_QUERY_PNP_DEVICE_STATE. A node started
// enumerates what was asked for before. When the start fails, IRP_MN_REMOVE_DEVICE
// follows, as the platform sends it after a failed start: a root node's children go first, the
// node leaves the tree and a driver left with no device is unloaded, so the driver can be loaded,
// added over the same physical device object and started again; a child keeps its node
// ("StartFailed") while its bus reports it. Returns the start's status.
NTSTATUS PnpStartDevice(PDEVICE_OBJECT physicalDevice);

// IRP_MN_QUERY_STOP_DEVICE. When the stack fails it, or `veto` is set (another device of the same
// rebalance refused), IRP_MN_CANCEL_STOP_DEVICE follows and the node keeps its state; the result is
// the query's failure, or STATUS_UNSUCCESSFUL for a veto. Otherwise the node is "StopPending".
NTSTATUS PnpQueryStopDevice(PDEVICE_OBJECT pdo, bool veto = false);
// The query above, then IRP_MN_STOP_DEVICE: the node is "Stopped". Its children keep their nodes.
NTSTATUS PnpStopDevice(PDEVICE_OBJECT pdo);
// A rebalance: PnpStopDevice, then PnpStartDevice (with its removal after a failed start). Returns
// the first failure.
NTSTATUS PnpRebalance(PDEVICE_OBJECT pdo);

// A removal asked for (disable): IRP_MN_QUERY_DEVICE_RELATIONS for RemovalRelations, then
// IRP_MN_QUERY_REMOVE_DEVICE to every node of the subtree,
// children first. When one fails, or `veto` is set (an application refused),
// IRP_MN_CANCEL_REMOVE_DEVICE goes to every node queried, the last queried first, and each returns
// to its state; the result is the failure, or STATUS_PLUGPLAY_QUERY_VETOED for a veto. When all
// agree, IRP_MN_REMOVE_DEVICE to each, children first, as PnpRemoveDevice sends it.
NTSTATUS PnpQueryRemoveDevice(PDEVICE_OBJECT pdo, bool veto = false);

// An eject of a child: IRP_MN_QUERY_DEVICE_RELATIONS for EjectionRelations and RemovalRelations,
// the query-remove of its subtree (cancelled as above when refused), IRP_MN_REMOVE_DEVICE to each
// node (the child keeps its node, as its bus still reports it), IRP_MN_EJECT to the child, and an
// enumeration of its parent, whose answer should leave it out: then the second
// IRP_MN_REMOVE_DEVICE, after which the bus deletes it. Returns the query's failure, or the
// eject's status.
NTSTATUS PnpEjectDevice(PDEVICE_OBJECT pdo);

// The device tree.
//
// Every physical device object PnpAddDevice gave a function driver is a root node, with the instance
// path IoSetDeviceInstancePath gave it (else "ROOT\HOSTK\NNNN"). IoInvalidateDeviceRelations(pdo,
// BusRelations) queues an enumeration of that node's stack on the manager's worker, a managed host
// thread: IRP_MN_QUERY_DEVICE_RELATIONS to the top of the stack, then for each new child
// IRP_MN_QUERY_ID (device, instance, hardware and compatible identifiers, and from Windows 7 on the
// container identifier), IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_TEXT (description,
// location), IRP_MN_QUERY_BUS_INFORMATION and IRP_MN_QUERY_RESOURCE_REQUIREMENTS, a node "<device
// id>\<instance id>" under the parent, IRP_MN_QUERY_INTERFACE for an interface nobody offers, and
// IRP_MN_START_DEVICE (no function driver is loaded for children: they run raw), followed by the
// questions after a start. A child missing from a later answer gets IRP_MN_SURPRISE_REMOVAL when it
// was started, then (once no handle to it is open) IRP_MN_REMOVE_DEVICE, and leaves the tree. A
// child removed while its bus still reports it (a failed start, a removal asked for) keeps its node,
// "Removed" or "StartFailed", is not started again by later answers listing it, and gets its second
// IRP_MN_REMOVE_DEVICE when an answer leaves it out; only then, or in its parent's removal, may its
// bus delete it. A node enumerated before its device started, or
// while it is stopped or a query is pending, is enumerated once it is started again. Removing a device with
// PnpRemoveDevice or PnpSurpriseRemoveDevice removes its children first, depth first.
// Broken rules are bug checks: PNP_DETECTED_FATAL_ERROR for an invalid physical device object (0x2:
// a child deleted before the manager let it go, one listed twice in an answer or without the
// reference the answer hands over), a duplicate instance identifier among siblings (0x1) or a
// malformed identifier (0x3), and
// DRIVER_VERIFIER_DETECTED_VIOLATION for an answer that is not a tagged paged pool block.
struct PnpDeviceNodeInfo {
  std::string instancePath;
  // "Added" (root not yet started), "Started", "StartFailed" (start failed: removed, still
  // reported), "Failed" (capabilities failed: never started), "SurpriseRemoved" (its removal may
  // wait for handles), "Removing", "Removed" (removed, still reported), "StopPending" (query-stop
  // agreed), "Stopped", "RemovePending" (query-remove agreed).
  std::string state;
  int depth;  // 0 for a root node
  PDEVICE_OBJECT pdo;
  std::string parentInstancePath;  // "" for a root node
  // A child's answers (empty or zero when it gave none).
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string description;
  std::string location;
  DEVICE_CAPABILITIES capabilities;
  bool busInformation;
  PNP_BUS_INFORMATION busInformationAnswer;
  ULONG resourceRequirementsSize;  // the answer's ListSize, 0 when none
  std::string containerId;         // BusQueryContainerID (Windows 7 on), "" when none
  PNP_DEVICE_STATE deviceState;    // the last IRP_MN_QUERY_PNP_DEVICE_STATE answer, 0 when none
};

// The tree depth first, each parent before its children, children in the order first reported.
std::vector<PnpDeviceNodeInfo> PnpDeviceTree();

// The physical device object of the node with this instance path (compared without case), or
// nullptr. No reference is taken: the object stays valid while the node is in the tree.
PDEVICE_OBJECT PnpFindDevice(const std::string& instancePath);

// Waits (a kernel wait, so virtual time moves meanwhile) until every queued enumeration is done
// and the worker has ended. PASSIVE_LEVEL.
void PnpWaitForEnumeration();

// For the end-of-test checks: enumerations still queued or running and nodes still in the tree;
// empty when none. The reset forgets the tree, dropping the references its children held.
std::string PnpReport();
void PnpResetForNextTest();

// Unloads a driver that has no device left.
void PnpUnloadDriver(PDRIVER_OBJECT driver);

// A physical device object of a plain bus that completes every request reaching it with success:
// the stand-in below a function driver until a real bus (the simulated USB stack) is there.
PDEVICE_OBJECT PnpCreatePlainBusDevice();
void PnpDeletePlainBusDevice(PDEVICE_OBJECT device);

}  // namespace hostk
