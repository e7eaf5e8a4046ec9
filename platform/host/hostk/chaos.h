// Scheduling noise for race hunts: with KX_HOST_CHAOS=N in the environment, one in N passes of
// the host kernel's hand-over points (a lock released or about to be taken, an event set, a wait
// ended, a request sent, completed or cancelled, pool given back, the simulated host controller's
// round and a transfer about to be queued) yields the processor or sleeps up to 100 microseconds,
// so that the interleavings a quiet machine almost never shows come up often. Unset or 0, a
// point costs one relaxed load. The noise is real time only: the virtual clock, which moves when
// every managed thread is blocked, does not see a thread that sleeps here as blocked.
#pragma once

namespace hostk {

void ChaosPoint();

}  // namespace hostk
