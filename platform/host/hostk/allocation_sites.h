// The driver's allocation call sites, for low-resource simulation as the platform's verifier does
// it: one run records every distinct place in the driver's code that asks the platform for
// something it may refuse (pool, a request, an MDL, a work item, a thread, a device object, an
// interface), then each later run makes one of them fail.
//
// The host build of the driver names each such call's place (host/allocation_site_macros.h); the
// host routine the call enters takes the name before anything else. Calls the host kernel makes
// on its own, or inside a routine the driver called, belong to no site and never fail here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hostk {

struct AllocationSite {
  std::string where;    // "usb/bulk_transfer.cpp:84"
  std::string routine;  // "ExAllocatePoolWithTag"
  uint64_t calls = 0;   // since recording began
};

// Turning recording on forgets what was recorded before.
void AllocationSitesRecord(bool on);
// Every site called while recording, in the order of their first calls.
std::vector<AllocationSite> AllocationSitesSeen();
// For each call while recording, in order, its site's position in AllocationSitesSeen().
std::vector<uint32_t> AllocationCallSequence();

// The `nth` call from now (1: the next) at `where` fails as the routine fails for want of
// resources. One site at a time; a new one replaces the last.
void AllocationSiteFail(const std::string& where, uint64_t nth = 1);
// How many calls failed by a site's injection since the last reset.
uint64_t AllocationSiteFailures();
// The `nth` call at any site from now (1: the next) calls `hook(context)` on the calling thread,
// before the routine does anything; the hook must not wait. One at a time.
void AllocationCallHook(uint64_t nth, void (*hook)(void* context), void* context);
// Calls at any site while recording, injecting or hooking since the last reset.
uint64_t AllocationCallCount();
// Recording off, injection cleared, counts zeroed.
void AllocationSitesReset();

// The driver's side: the place of the allocating call this thread is about to make.
void NoteAllocationSite(const char* file, int line, const char* routine);
// The host routines' side, asked first thing: whether this call, made by the driver at a noted
// site, is to fail. Takes the thread's noted site either way.
bool AllocationSiteCallFails();

}  // namespace hostk
