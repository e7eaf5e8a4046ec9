// What the I/O manager tells the power manager about power requests (power_rules.cpp), so that the
// rules of PoStartNextPowerIrp and PoCallDriver can be checked where a request moves.
#pragma once

#include "host/io.h"

namespace hostk {

// IofCallDriver, for an IRP_MJ_POWER request, once the location of `irp` for the device called is
// current and before its dispatch routine runs.
void PowerNoteDispatch(PIRP irp);
// IofCompleteRequest, for an IRP_MJ_POWER request, before the walk starts.
void PowerNoteCompletion(PIRP irp);

}  // namespace hostk

namespace hostk {

void PowerRulesResetForNextTest();
// Requests of PoRequestPowerIrp whose callback has not run yet (power_request.cpp).
int PowerRequestsOutstanding();
void PowerRequestsResetForNextTest();

}  // namespace hostk
