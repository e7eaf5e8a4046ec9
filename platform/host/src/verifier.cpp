// End-of-test checks and the reset between tests.
#include "host/hostk/verifier.h"

#include <sstream>

#include "host/hostk/client.h"
#include "host/hostk/clock.h"
#include "host/hostk/io.h"
#include "host/hostk/object.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/power.h"
#include "host/hostk/processors.h"
#include "host/hostk/registry.h"
#include "host/hostk/trace.h"
#include "host/hostk/user_memory.h"
#include "host/ke.h"

namespace hostk {

std::string LeakReport() {
  // The power manager's worker may still be freeing a request whose end the test saw.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) PoWaitForIdle();
  std::ostringstream out;
  std::string pool = PoolLeakReport();
  if (!pool.empty()) out << "pool still allocated:\n" << pool;
  std::string handles = ObReport();
  if (!handles.empty()) out << "kernel handles still open:\n" << handles;
  std::string mdls = MdlLeakReport();
  if (!mdls.empty()) out << "memory descriptor lists still allocated:\n" << mdls;
  std::string requests = IoLiveIrpReport();
  if (!requests.empty()) out << "requests still allocated:\n" << requests;
  std::string power = PoReport();
  if (!power.empty()) out << "power manager not idle:\n" << power;
  std::string pnp = PnpReport();
  if (!pnp.empty()) out << "Plug and Play manager not idle:\n" << pnp;
  std::string notifications = IoInterfaceNotificationReport();
  if (!notifications.empty()) out << "device interface notifications not idle:\n" << notifications;
  size_t threads = LiveSystemThreadCount();
  if (threads > 0) {
    out << threads << " system thread(s) still running:\n" << DescribeThreads();
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    out << "the test thread is at IRQL " << (unsigned)KeGetCurrentIrql() << ", not PASSIVE_LEVEL\n";
  }
  return out.str();
}

void ResetForNextTest() {
  PoResetForNextTest();
  PnpResetForNextTest();
  PoolResetForNextTest();
  RegistryResetForNextTest();
  TraceResetForNextTest();
  UserMemoryResetForNextTest();
  IoDeviceInterfacesResetForNextTest();
  WdmVersionResetForNextTest();
  WorkQueueHold(false);
  PsFailThreadCreation(0);
  IoFailIrpAllocation(0);
  SetActiveProcessorCount(0);
  ResetClockForNextTest();
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) KfLowerIrql(PASSIVE_LEVEL);
}

}  // namespace hostk
