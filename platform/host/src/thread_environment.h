// What a thread needs before it may run code of a driver image: on 32-bit x86, an fs segment over
// its thread information block (src/i386/thread_environment.cpp). Elsewhere no image can run and
// there is nothing to set up.
#pragma once

namespace hostk {

#if defined(__i386__)
// On the thread itself: when the host kernel attaches it or starts it, and when it ends.
void EnterThreadEnvironment();
void LeaveThreadEnvironment();
// In a signal handler on the thread (async-signal-safe): the descriptors of its fs segment and of
// glibc's thread pointer (selector gsSelector) set to the thread's own again, for the return from
// the signal to load.
void KeepSegmentsOverSignalReturn(unsigned gsSelector);
#else
inline void EnterThreadEnvironment() {}
inline void LeaveThreadEnvironment() {}
#endif

}  // namespace hostk
