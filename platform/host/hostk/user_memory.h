// The user address space of the host kernel and its memory descriptor lists, as tests and the
// simulated world see them. A client registers the buffers it hands to the driver; registered
// ranges are the only valid user addresses, so a probe or a lock of anything else raises an access
// violation as it would for an unmapped address on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/hostk/raise.h"
#include "host/io.h"

namespace hostk {

using UserRangeId = uint64_t;

// Registers [address, address + length) as user memory with the given access and returns its id
// (never 0). Ranges may not overlap (the process would abort with a usage report).
UserRangeId UserRangeRegister(void* address, size_t length, bool readable, bool writable);
// Unregisters a range. Pages of it still locked by an MDL are pages the driver never released:
// bug check DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS. Ids from before the last reset are ignored.
void UserRangeUnregister(UserRangeId id);
// Changes the access of a registered range, as VirtualProtect would.
void UserRangeSetAccess(UserRangeId id, bool readable, bool writable);
// True when [address, address + length) lies inside one registered range that allows reading
// (wantWrite false) or writing (wantWrite true). A zero-length range needs its address inside a
// registered range or at its end.
bool UserRangeCheck(const void* address, size_t length, bool wantWrite);
// Process context. A range belongs to the process of the thread that registered it: the client
// process for attached (and unmanaged) threads, the system process for threads the host kernel
// starts. A user address is valid only in its own process: touched from a thread of the other one
// (a system thread, a work item, a completion on the host controller's thread) it would reach
// other memory on the platform, so the host reports it as a verifier violation. The probes and
// locks of user memory check it; code of the simulated world that reads or writes a buffer a
// driver handed it checks it here before touching the buffer.
void UserRangeCheckContext(const void* address, size_t length, const char* what);

// True when `address` lies inside a registered range, whatever its access: a user address.
bool UserRangeContains(const void* address);
// The pages behind a user address, so that the memory manager can map them a second time into
// system space: the file that backs the range and the file offset of the address's page. False
// for a non-user address, or a range registered over host memory that has no such file.
bool UserRangeBacking(const void* address, int* fd, int64_t* pageOffset);
// A system view of the `bytes` (whole pages) from the page of user `address`: its own address,
// the same pages, every page-table entry in place, as the platform maps locked pages. Views come
// from windows that each map the range's whole file once and stay inaccessible outside the view
// they hold. A view of up to 128 KB is opened in a window that keeps every entry, inaccessible,
// by allowing access to its own entries; a larger one has its entries moved in from a populated
// mapping kept for the range. Either way a view costs neither a fault per page nor a rewrite of
// its entries, and a second view of the same pages at once gets another window. nullptr when no
// view can be made (no file behind the range, or no address space).
void* UserRangeMapSystemView(const void* address, size_t bytes);
// Ends a view: its pages are inaccessible again. A view whose range went with its buffer is let be.
void UserRangeUnmapSystemView(void* view, size_t bytes);
// Views from now on come from windows that keep every entry accessible, opened and closed without
// a change to the page tables, for measuring what a present costs: on a machine whose hypervisor
// shadows the page tables, each entry the host changes costs an exit to the hypervisor at its
// first touch, which the platform, on the hardware-assisted virtualisation it needs, does not pay.
// A touch of a closed view, or of the range's pages outside the view, then goes unseen, so tests
// keep the default (off); the next reset restores it.
void UserRangeKeepViewsResident(bool resident);
size_t UserRangeCount();
void UserRangeUnregisterAll();

// A client's buffer: page-aligned memory, zero-filled, registered as user memory for the buffer's
// lifetime. `offsetInPage` places the data that many bytes into the first page, so tests can reach
// every byte offset an MDL may start at. Its pages live in a file of their own, so a system
// mapping of a locked MDL over them is a second view at another address, as on the platform; the
// page after them is mapped inaccessible.
class UserBuffer {
 public:
  explicit UserBuffer(size_t length, bool readable = true, bool writable = true,
                      size_t offsetInPage = 0);
  ~UserBuffer();
  UserBuffer(const UserBuffer&) = delete;
  UserBuffer& operator=(const UserBuffer&) = delete;

  UCHAR* Data() const { return data_; }
  size_t Length() const { return length_; }
  UserRangeId Id() const { return id_; }
  void Protect(bool readable, bool writable) { UserRangeSetAccess(id_, readable, writable); }
  // The pages go while the range stays the process's: as memory another thread of the process gave
  // back after the driver's probe, the address passes a probe and faults when it is touched.
  void DropPages();

 private:
  UCHAR* storage_;
  size_t bytes_;
  int fd_;
  UCHAR* data_;
  size_t length_;
  UserRangeId id_;
};

// MDLs allocated by IoAllocateMdl and not yet freed, and a line per MDL for leak reports.
size_t MdlLiveCount();
std::string MdlLeakReport();
// A live MDL with pages locked (by MmProbeAndLockPages) that overlap [address, address + length),
// or nullptr.
PMDL MdlLockedInRange(const void* address, size_t length);
// Whether one live MDL with its pages locked covers all of [address, address + length).
bool MdlRangeLocked(const void* address, size_t length);
// The live MDL whose own system view of user pages holds all of [address, address + length), and
// its serial (which tells it from a later MDL at the same address); false when none does.
bool MdlViewContaining(const void* address, size_t length, PMDL* mdl, uint64_t* serial);

// Fault injection: the n-th IoAllocateMdl from now returns NULL (1 = the next one); the next
// system mapping (MmMapLockedPagesSpecifyCache, MmGetSystemAddressForMdlSafe) fails.
void MdlFailNext(uint64_t n);
void MmFailNextMapping();

// Between tests: unregisters every range, forgets live MDLs (they stay allocated until the next
// reset, so late users touch no freed memory) and clears injected faults.
void UserMemoryResetForNextTest();

}  // namespace hostk
