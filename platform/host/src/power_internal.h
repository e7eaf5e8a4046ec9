// What the power manager's modules share: the I/O manager's notes on power requests for the rules
// of PoStartNextPowerIrp and PoCallDriver (power_rules.cpp), and the delivery of requests to
// devices (power_delivery.cpp).
#pragma once

#include <string>

#include "host/io.h"

namespace hostk {

// IofCallDriver, for an IRP_MJ_POWER request, once the location of `irp` for the device called is
// current and before its dispatch routine runs.
void PowerNoteDispatch(PIRP irp);
// IofCompleteRequest, for an IRP_MJ_POWER request, before the walk starts.
void PowerNoteCompletion(PIRP irp);

// The releases whose rules differ: Windows 98 and Me call every driver at PASSIVE_LEVEL and know
// no DO_POWER_PAGABLE; before Windows Vista the power manager sends a device the next query- or
// set-power request only after PoStartNextPowerIrp, and power requests go down with PoCallDriver.
bool PowerAllPassive();
bool PowerBeforeVista();

// Hands `irp`, its next location set up for `device`, to the device as the power manager does:
// held while the device has a request of the same kind that it has not started the next one for
// (before Vista), queued for the power manager's worker when `device` is pageable and the caller
// is above PASSIVE_LEVEL, and called at DISPATCH_LEVEL when `device` is not pageable. Returns the
// dispatch routine's status, or STATUS_PENDING for a request held or queued (its next location is
// then marked pending, as the dispatch routine of the caller answers STATUS_PENDING for it).
NTSTATUS PowerDeliver(PDEVICE_OBJECT device, PIRP irp);
// The next PowerNoteDispatch on this thread is of a request the power manager delivered.
void PowerNoteDelivered();
// IoCallDriver with `irp`, its next location set up, goes to PowerDeliver: a power request from
// Vista on, unless the power manager is delivering it itself.
bool PowerIoCallDriverDelivers(PIRP irp);
// PoStartNextPowerIrp (before Vista): the device whose location of `irp` is current is ready for
// its next request of the kind, which starts when one is held.
void PowerStartNextForDevice(PIRP irp);

// Returns once the worker has delivered everything queued for it and ended.
void PowerWaitForWorker();

void PowerRulesResetForNextTest();
void PowerDeliveryResetForNextTest();
std::string PowerDeliveryReport();
// Requests of PoRequestPowerIrp whose callback has not run yet (power_request.cpp).
int PowerRequestsOutstanding();
void PowerRequestsResetForNextTest();

}  // namespace hostk
