// The power manager: system transitions through the device tree, device power requests asked for
// with PoRequestPowerIrp, and the rules drivers keep while passing power requests.
//
// A system transition runs as the platform runs it. Going to sleep (S1-S3) or hibernation (S4):
// IRP_MN_QUERY_POWER of type SystemPowerState to every started node of the Plug and Play tree,
// children before their parents; a node that fails the query vetoes the transition, and every node
// queried is told IRP_MN_SET_POWER for the working state again, parents first. When all agree,
// IRP_MN_SET_POWER of the new state to each node, children first. Waking (back to S0):
// IRP_MN_SET_POWER for the working state, parents first. Each request goes to the top of the
// node's stack and is waited for before the next is sent. Plug and Play operations wait meanwhile.
//
// Rules (bug checks, DRIVER_VERIFIER_DETECTED_VIOLATION), while the host runs a release before
// Windows Vista (SetWindowsVersion), as the platform documents them for those releases: a driver
// calls PoStartNextPowerIrp for each IRP_MN_QUERY_POWER and IRP_MN_SET_POWER it receives while the
// current stack location is its own, before it completes the request or passes it down; and it
// passes power requests with PoCallDriver, never IoCallDriver. From Vista on neither is required.
//
// Delivery (power_delivery.cpp), in every test. From Windows 2000 on a device with DO_POWER_PAGABLE
// hears power requests at PASSIVE_LEVEL only (one sent to it at DISPATCH_LEVEL is answered
// STATUS_PENDING and delivered by the power manager's worker), and a device without it at
// DISPATCH_LEVEL; Windows 98 and Me call every driver at PASSIVE_LEVEL. Before Vista a device has
// one system and one device query- or set-power request at a time: the next waits until the
// driver calls PoStartNextPowerIrp for the current one. Bug checks: a pageable device reached above
// PASSIVE_LEVEL (through IoCallDriver before Vista: from Vista on IoCallDriver hands power
// requests to the power manager as PoCallDriver does), a pageable device object above one that
// is not, and before Vista device objects of one stack with different power flags, or with both
// DO_POWER_PAGABLE and DO_POWER_INRUSH.
#pragma once

#include <string>

#include "host/io.h"

namespace hostk {

// Moves the system from its current state to `target` (PowerSystemWorking, PowerSystemSleeping1
// to 3, PowerSystemHibernate). STATUS_SUCCESS, the failure of the node that vetoed, or
// STATUS_INVALID_PARAMETER for a move between two sleeping states or to an unknown state.
// PASSIVE_LEVEL.
NTSTATUS PoSetSystemPowerState(SYSTEM_POWER_STATE target);
SYSTEM_POWER_STATE PoCurrentSystemPowerState();

// The device state a driver last told PoSetPowerState for `device` (PowerDeviceD0 until then).
DEVICE_POWER_STATE PoDevicePowerStateOf(PDEVICE_OBJECT device);

// The next `count` calls of PoRequestPowerIrp fail with STATUS_INSUFFICIENT_RESOURCES, sending
// nothing and calling no callback, as when the platform has no request to spare.
void PoFailRequestPowerIrp(int count);

// For the end-of-test checks: requests asked for with PoRequestPowerIrp whose callback has not run,
// requests held for a device or not yet delivered, and a system left asleep; empty when none. The
// reset forgets them and the failures asked for.
std::string PoReport();
void PoResetForNextTest();

// Returns once the power manager's worker, which delivers requests for PASSIVE_LEVEL and requests
// held before Vista, has nothing left and has ended: a callback it ran may have returned to the
// test before the worker freed the request. PASSIVE_LEVEL.
void PoWaitForIdle();

}  // namespace hostk
