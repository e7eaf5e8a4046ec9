// What the Plug and Play manager's modules share: the device tree (pnp_device_tree.cpp) and the
// enumeration worker (pnp_enumeration.cpp).
#pragma once

#include <string>
#include <vector>

#include "host/hostk/pnp.h"

namespace hostk {

// Serialises the manager's operations on the tree (enumerations and removals), as the platform runs
// them one at a time: a synchronization event, so holding it across requests keeps the clock and
// completion APCs working.
void PnpAcquireEngine();
void PnpReleaseEngine();

// The tree. Nodes are reached by their physical device object under the tree's own lock, which is
// never held while a request is sent.
bool PnpHasNode(PDEVICE_OBJECT pdo);
// A root node for a device PnpAddDevice gave a function driver (nothing when it has one already).
void PnpAddRootNode(PDEVICE_OBJECT pdo);
// Whether the node is started; when it is not but exists, it is marked for enumeration on start.
bool PnpStartedOrDeferEnumeration(PDEVICE_OBJECT pdo);
// The children of a node, in report order.
std::vector<PDEVICE_OBJECT> PnpChildrenOf(PDEVICE_OBJECT parent);
// The parent of a child node, or nullptr for a root or unknown device.
PDEVICE_OBJECT PnpParentOf(PDEVICE_OBJECT child);

struct PnpChildAnswers {
  std::string deviceId;
  std::string instanceId;
  PnpDeviceNodeInfo info;  // the answers; path, state, depth filled by the tree
};
// Adds a reported child under `parent`, holding the bus driver's reference; checks the instance
// identifier is unique among the siblings. Returns the instance path.
std::string PnpAddChildNode(PDEVICE_OBJECT parent, PDEVICE_OBJECT child,
                            const PnpChildAnswers& answers);
void PnpSetState(PDEVICE_OBJECT pdo, const char* state);
// A node's state, "" when the device has no node.
std::string PnpStateOf(PDEVICE_OBJECT pdo);
// A query that succeeded puts the node in a pending state ("StopPending", "RemovePending") and
// remembers the state it left; a cancel takes it back there (nothing for a node not pending) and
// runs an enumeration asked for meanwhile once the node is started again.
void PnpEnterPending(PDEVICE_OBJECT pdo, const char* pending);
void PnpCancelPending(PDEVICE_OBJECT pdo);
// The node and everything under it, children first (empty when the device has no node).
std::vector<PDEVICE_OBJECT> PnpSubtreePostOrder(PDEVICE_OBJECT top);

// Removes a node and everything under it, children first: with `surprise` (the subtree is gone:
// every node is marked missing), IRP_MN_SURPRISE_REMOVAL to each started node (and to the top node
// when `surpriseTopAlways`), then IRP_MN_REMOVE_DEVICE to each. A missing node leaves the tree and
// drops its reference; a child its bus still reports keeps its node as "Removed" (not started
// again by later enumerations) until its bus leaves it out, which sends the second removal, or its
// parent's removal takes it. Unloads a function driver left with no device. Returns the status of
// the top node's removal, or STATUS_PENDING when after a surprise removal the removals wait for
// open handles. Called with the engine held.
NTSTATUS PnpRemoveSubtree(PDEVICE_OBJECT top, bool surprise, bool surpriseTopAlways);

// Marks the node and everything under it as gone from their buses.
void PnpMarkMissing(PDEVICE_OBJECT top);

// Sends IRP_MN_REMOVE_DEVICE and unloads the stack's function driver when it has no device left.
NTSTATUS PnpSendRemove(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_CAPABILITIES to the top of the stack, with the structure the platform fills in
// first (size, version, address and UI number unknown); the answer lands in `capabilities`.
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);

// PnpSendRequest reports each finished Plug and Play request here to keep node states.
void PnpNoteRequestDone(PDEVICE_OBJECT device, UCHAR minor, NTSTATUS status);

// IoDeleteDevice reports each deleted device: a root node leaves the tree; a child deleted before
// the manager removed it is a bug check.
void PnpNoteDeviceDeleted(PDEVICE_OBJECT device);

// One enumeration of the stack over `parent` on the calling thread, with the engine held.
void PnpEnumerateHeld(PDEVICE_OBJECT parent);

// What the manager asks a stack besides its identity. IRP_MN_QUERY_INTERFACE for an interface no
// driver offers, before a start: the stack must come back with the request's own status
// (STATUS_NOT_SUPPORTED) and the interface untouched, else a bug check. After a successful start,
// IRP_MN_QUERY_CAPABILITIES again and IRP_MN_QUERY_PNP_DEVICE_STATE, whose answer the node keeps.
// Removal or ejection relations, asked before a query-remove or an eject: an answer is checked as
// a bus-relations one, its references dropped and its list freed.
void PnpQueryUnknownInterface(PDEVICE_OBJECT pdo);
void PnpQueryAfterStart(PDEVICE_OBJECT pdo);
void PnpQueryOtherRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type);
void PnpSetDeviceState(PDEVICE_OBJECT pdo, PNP_DEVICE_STATE state);

// Queues an enumeration of the stack over `pdo` (the worker starts when idle).
void PnpQueueEnumeration(PDEVICE_OBJECT pdo);
// Queues the removal of a subtree whose wait for open handles is over.
void PnpQueueRemoval(PDEVICE_OBJECT top);

// Open handles (pnp_open_handles.cpp). The client side counts each handle on the device it opened.
void PnpNoteHandleOpened(PDEVICE_OBJECT device);
void PnpNoteHandleClosed(PDEVICE_OBJECT device);
// After a surprise removal: when a stack of the subtree still has handles open, the subtree's
// removal waits (true) until a close finds none left and queues it; the worker then calls
// PnpFinishDeferredRemoval, which runs PnpRemoveWhatSurpriseRemovalLeft with the engine held.
bool PnpDeferRemovalForHandles(PDEVICE_OBJECT top);
void PnpFinishDeferredRemoval(PDEVICE_OBJECT top);
void PnpRemoveWhatSurpriseRemovalLeft(PDEVICE_OBJECT top);
// A node removed by other means (its parent's removal) no longer waits.
void PnpDropDeferredRemoval(PDEVICE_OBJECT top);
std::string PnpRemovalWaitReport();
void PnpRemovalWaitResetForNextTest();
std::string PnpWorkerReport();

}  // namespace hostk
