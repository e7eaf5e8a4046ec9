// Memory descriptor lists: allocation and the I/O manager's chaining, locking user memory and pool,
// system mappings, partial MDLs. A system mapping of user pages is a second view of them at an
// address of its own (kernel memory keeps its address); the rest of the model lives in the flags:
// every call checks the state the platform requires of the MDL it is given, and a broken rule is
// the bug check Driver Verifier raises for it.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include <sys/mman.h>
#include <vector>

#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/hostk/pool.h"
#include "host/hostk/user_memory.h"
#include "host/ke.h"
#include "host/ntstatus.h"

namespace hostk {
namespace {

// Since Windows 7 an MDL describes at most 4 GB - PAGE_SIZE.
constexpr ULONG kMaxMdlLength = 0xFFFFFFFFu - PAGE_SIZE + 1;
// One page frame number per page, as wide as on 32-bit x86.
constexpr size_t kPfnEntrySize = sizeof(ULONG);

// DRIVER_VERIFIER_DETECTED_VIOLATION's first parameter for each MDL rule.
enum VerifierRule : ULONG_PTR {
  kBadMemoryParameter = 0x16,
  kUnlockNotLocked = 0x7C,
  kUnlockNonPagedPool = 0x7D,
  kBuildFromPageable = 0x7F,
  kMapWithBugCheckOnFailure = 0x82,
  kProbeBadFlags = 0xB0,
  kMapBadFlags = 0xB2,
  kMapNotLocked = 0xB3,
  kUnlockPartial = 0xB4,
  kFreedWhileMapped = 0xB8,
  kPartialOfUnlocked = 0x140,
};

struct MdlRecord {
  uint64_t serial;
  size_t pageCapacity;    // page frame entries allocated after the header
  void* view = nullptr;   // the MDL's own second view of user pages in system space
  size_t viewBytes = 0;
  PMDL source = nullptr;  // a partial MDL's source, checked when the partial is mapped
  uint64_t sourceSerial = 0;
  // The locked range, kept here under the table's lock: other threads' searches must not read
  // the flags of an MDL its owner is changing.
  bool locked = false;
  ULONG_PTR lockedVa = 0;
  ULONG_PTR lockedBytes = 0;
};

struct MdlTable {
  std::mutex lock;
  std::unordered_map<PMDL, MdlRecord> live;
  std::vector<PMDL> forgotten;
  uint64_t nextSerial = 1;
  uint64_t failCountdown = 0;
  bool failNextMapping = false;
};

// Never destroyed, like the pool: threads still freeing while the process exits must find it.
MdlTable& Table() {
  static MdlTable* table = new MdlTable;
  return *table;
}

[[noreturn]] __attribute__((format(printf, 4, 5))) void VerifierBugCheck(VerifierRule rule,
                                                                         PMDL mdl, ULONG_PTR p4,
                                                                         const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  BugCheck(kDriverVerifierDetectedViolation, text, rule, (ULONG_PTR)mdl,
           mdl != nullptr ? (ULONG_PTR)(USHORT)mdl->MdlFlags : 0, p4);
}

ULONG_PTR VaOf(PMDL mdl) { return reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(mdl)); }

size_t SpannedPages(ULONG_PTR va, ULONG_PTR length) {
  return static_cast<size_t>(((va & (PAGE_SIZE - 1)) + uint64_t(length) + PAGE_SIZE - 1) >>
                             PAGE_SHIFT);
}

bool Has(PMDL mdl, CSHORT flags) { return (mdl->MdlFlags & flags) != 0; }
void Set(PMDL mdl, CSHORT flags) { mdl->MdlFlags = (CSHORT)(mdl->MdlFlags | flags); }
void Clear(PMDL mdl, CSHORT flags) { mdl->MdlFlags = (CSHORT)(mdl->MdlFlags & ~flags); }

std::string FlagsText(CSHORT flags) {
  static const struct {
    CSHORT flag;
    const char* name;
  } kNames[] = {
      {MDL_PAGES_LOCKED, "locked"},
      {MDL_WRITE_OPERATION, "write"},
      {MDL_MAPPED_TO_SYSTEM_VA, "mapped"},
      {MDL_SOURCE_IS_NONPAGED_POOL, "nonpaged pool"},
      {MDL_PARTIAL, "partial"},
      {MDL_PARTIAL_HAS_BEEN_MAPPED, "partial mapped"},
      {MDL_PARENT_MAPPED_SYSTEM_VA, "parent mapped"},
  };
  std::string text;
  for (const auto& entry : kNames) {
    if ((flags & entry.flag) == 0) continue;
    text += text.empty() ? "" : ", ";
    text += entry.name;
  }
  return text.empty() ? "no flags" : text;
}

// The record of a live MDL; anything else handed to an MDL routine is a bug check.
MdlRecord RequireLive(PMDL mdl, const char* what) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = table.live.find(mdl);
  if (found != table.live.end()) return found->second;
  VerifierBugCheck(kBadMemoryParameter, nullptr, (ULONG_PTR)mdl,
                   "%s: %p is not a live MDL (freed already, or not from IoAllocateMdl)", what,
                   (void*)mdl);
}

bool TakeAllocationFault() {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.failCountdown != 0 && --table.failCountdown == 0;
}

bool TakeMappingFault() {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  bool fail = table.failNextMapping;
  table.failNextMapping = false;
  return fail;
}

void Track(PMDL mdl, size_t pageCapacity) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.live.emplace(mdl, MdlRecord{table.nextSerial++, pageCapacity});
}

void RecordSource(PMDL partial, PMDL source, uint64_t sourceSerial) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  MdlRecord& record = table.live.at(partial);
  record.source = source;
  record.sourceSerial = sourceSerial;
}

void Untrack(PMDL mdl) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.live.erase(mdl);
}

// Locked through its own MmProbeAndLockPages, built over nonpaged pool, or (for a partial MDL) over
// a source that is still one of those.
bool PagesResident(PMDL mdl, const MdlRecord& record) {
  if (Has(mdl, MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) return true;
  if (!Has(mdl, MDL_PARTIAL) || record.source == nullptr) return false;
  MdlRecord sourceRecord;
  {
    MdlTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.live.find(record.source);
    if (found == table.live.end() || found->second.serial != record.sourceSerial) return false;
    sourceRecord = found->second;
  }
  return PagesResident(record.source, sourceRecord);
}

// A secondary buffer joins the end of the chain; the platform walks the chain from the primary
// without checking that there is one.
void RequireChainFor(PIRP irp, BOOLEAN secondary) {
  if (irp == NULL || !secondary || irp->MdlAddress != NULL) return;
  VerifierBugCheck(kBadMemoryParameter, nullptr, (ULONG_PTR)irp,
                   "IoAllocateMdl with SecondaryBuffer TRUE for the request at %p, which has no "
                   "MDL yet (the first MDL of a request is its primary buffer)",
                   (void*)irp);
}

void LinkToIrp(PMDL mdl, PIRP irp, BOOLEAN secondary) {
  if (!secondary) {
    irp->MdlAddress = mdl;
    return;
  }
  PMDL last = irp->MdlAddress;
  while (last->Next != NULL) last = last->Next;
  last->Next = mdl;
}

// A system-space address for the MDL's pages. User pages are seen a second time, at an address of
// their own, as the platform maps them into system space; kernel memory is already in system
// space. NULL when no view can be made.
PVOID MapSystemView(PMDL mdl) {
  PVOID va = MmGetMdlVirtualAddress(mdl);
  int fd;
  int64_t pageOffset;
  if (!UserRangeBacking(va, &fd, &pageOffset)) {
    // User memory without a file behind it cannot be seen a second time: handing back its own
    // address would give a system-space consumer the caller's user address.
    if (UserRangeContains(va)) {
      BugCheckF(kManuallyInitiatedCrash,
                "MapSystemView: the user range at %p has no file behind it to map into system "
                "space (user memory comes from UserBuffer)", va);
    }
    return va;
  }
  size_t bytes = SpannedPages(VaOf(mdl), mdl->ByteCount) * PAGE_SIZE;
  if (bytes == 0) bytes = PAGE_SIZE;
  // Locked pages are mapped with their page-table entries filled in at once, as the platform
  // does: the view is whole from the start, and reading it never faults.
  void* view = UserRangeMapSystemView(va, bytes);
  if (view == nullptr) return NULL;
  {
    MdlTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    MdlRecord& record = table.live.at(mdl);
    record.view = view;
    record.viewBytes = bytes;
  }
  return static_cast<UCHAR*>(view) + mdl->ByteOffset;
}

void Unmap(PMDL mdl) {
  Clear(mdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
  void* view = nullptr;
  size_t bytes = 0;
  {
    MdlTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.live.find(mdl);
    if (found == table.live.end()) return;
    std::swap(view, found->second.view);
    std::swap(bytes, found->second.viewBytes);
  }
  if (view != nullptr) UserRangeUnmapSystemView(view, bytes);
}

// Whether an MDL holds a system mapping of its own (a parent's mapping is the parent's to release).
bool OwnsMapping(PMDL mdl) {
  return Has(mdl, MDL_MAPPED_TO_SYSTEM_VA) && !Has(mdl, MDL_PARENT_MAPPED_SYSTEM_VA);
}

void RequireLockable(PMDL mdl) {
  const CSHORT wrong =
      MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL | MDL_MAPPED_TO_SYSTEM_VA;
  if (!Has(mdl, wrong)) return;
  VerifierBugCheck(kProbeBadFlags, mdl, (ULONG_PTR)(USHORT)(mdl->MdlFlags & wrong),
                   "MmProbeAndLockPages on the MDL at %p (%s): only an unlocked MDL from "
                   "IoAllocateMdl may be probed and locked",
                   (void*)mdl, FlagsText(mdl->MdlFlags).c_str());
}

// The pages of a lock: a user range with the access, or for kernel-mode callers any system
// address (pool, a stack, a driver's globals), as the platform locks resident kernel memory
// without a probe. Outside the registered user ranges every address is a system address here;
// only a range that starts in a pool block and runs past its end is known to be wrong. The rest
// raises the access violation the platform's probe would raise.
void ProbeForLock(PMDL mdl, KPROCESSOR_MODE mode, bool write) {
  const void* va = MmGetMdlVirtualAddress(mdl);
  if (UserRangeCheck(va, mdl->ByteCount, write)) {
    RequireIrqlAtMost(APC_LEVEL, "MmProbeAndLockPages on pageable memory");
    UserRangeCheckContext(va, mdl->ByteCount, "MmProbeAndLockPages");
    return;
  }
  if (mode != KernelMode || UserRangeContains(va)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  POOL_TYPE type;
  if (PoolContainsRange(va, mdl->ByteCount, &type)) {
    RequireIrqlAtMost((type & 1) ? APC_LEVEL : DISPATCH_LEVEL, "MmProbeAndLockPages on pool");
    return;
  }
  if (PoolContainsRange(va, 1)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

void RequireMappable(PMDL mdl, const MdlRecord& record) {
  if (Has(mdl, MDL_MAPPED_TO_SYSTEM_VA)) {
    VerifierBugCheck(kMapBadFlags, mdl, MDL_MAPPED_TO_SYSTEM_VA,
                     "MmMapLockedPagesSpecifyCache on the MDL at %p (%s): it is mapped already",
                     (void*)mdl, FlagsText(mdl->MdlFlags).c_str());
  }
  if (PagesResident(mdl, record)) return;
  VerifierBugCheck(kMapNotLocked, mdl, MDL_PAGES_LOCKED,
                   "MmMapLockedPagesSpecifyCache on the MDL at %p (%s): its pages are not locked%s",
                   (void*)mdl, FlagsText(mdl->MdlFlags).c_str(),
                   Has(mdl, MDL_PARTIAL) ? " (its source was unlocked or freed)" : "");
}

// Sub-range [va, va + length) of the source; length 0 means the rest of the source from va.
ULONG PartialLength(PMDL source, ULONG_PTR va, ULONG length) {
  ULONG_PTR start = VaOf(source);
  ULONG_PTR end = start + source->ByteCount;
  if (va < start || va > end || (length == 0 && va == end) || length > end - va) {
    VerifierBugCheck(kBadMemoryParameter, source, va,
                     "IoBuildPartialMdl: %p + %u bytes is not a sub-range of the source MDL at %p "
                     "(%p + %u bytes)",
                     (void*)va, (unsigned)length, (void*)source, (void*)start,
                     (unsigned)source->ByteCount);
  }
  return length != 0 ? length : (ULONG)(end - va);
}

void RequireReusableTarget(PMDL target, const MdlRecord& record, ULONG_PTR va, ULONG length) {
  if (OwnsMapping(target)) {
    VerifierBugCheck(kFreedWhileMapped, target, 0,
                     "IoBuildPartialMdl into the MDL at %p (%s): its own mapping would leak "
                     "(MmPrepareMdlForReuse releases it first)",
                     (void*)target, FlagsText(target->MdlFlags).c_str());
  }
  if (Has(target, MDL_PAGES_LOCKED)) {
    BugCheckParamsF(kDriverLeftLockedPagesInProcess, 0, 0, (ULONG_PTR)target, 0,
                "IoBuildPartialMdl into the MDL at %p: its own locked pages would never be "
                "unlocked",
                (void*)target);
  }
  size_t pages = SpannedPages(va, length);
  if (pages > record.pageCapacity) {
    VerifierBugCheck(kBadMemoryParameter, target, pages,
                     "IoBuildPartialMdl: the target MDL at %p has room for %zu pages, the "
                     "sub-range spans %zu",
                     (void*)target, record.pageCapacity, pages);
  }
}

}  // namespace

bool MdlViewContaining(const void* address, size_t length, PMDL* mdl, uint64_t* serial) {
  const UCHAR* start = static_cast<const UCHAR*>(address);
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (const auto& entry : table.live) {
    const MdlRecord& record = entry.second;
    const UCHAR* view = static_cast<const UCHAR*>(record.view);
    if (view == nullptr || start < view || length > record.viewBytes ||
        (size_t)(start - view) > record.viewBytes - length) {
      continue;
    }
    *mdl = entry.first;
    *serial = record.serial;
    return true;
  }
  return false;
}

size_t MdlLiveCount() {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.live.size();
}

std::string MdlLeakReport() {
  std::vector<std::pair<uint64_t, PMDL>> mdls;
  {
    MdlTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    for (const auto& entry : table.live) mdls.emplace_back(entry.second.serial, entry.first);
  }
  std::sort(mdls.begin(), mdls.end());
  std::string report;
  for (const auto& entry : mdls) {
    PMDL mdl = entry.second;
    char line[256];
    snprintf(line, sizeof line, "MDL at %p: %p + %u bytes (%s)\n", (void*)mdl,
             MmGetMdlVirtualAddress(mdl), (unsigned)mdl->ByteCount,
             FlagsText(mdl->MdlFlags).c_str());
    report += line;
  }
  return report;
}

namespace {

// The first live MDL with its pages locked whose range [va, va + count) satisfies `match`.
template <typename Match>
PMDL FindLockedMdl(Match match) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (const auto& entry : table.live) {
    const MdlRecord& record = entry.second;
    if (record.locked && match(record.lockedVa, record.lockedBytes)) return entry.first;
  }
  return nullptr;
}

}  // namespace

PMDL MdlLockedInRange(const void* address, size_t length) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  return FindLockedMdl([&](ULONG_PTR va, ULONG_PTR count) {
    return va < start + length && start < va + count;
  });
}

bool MdlRangeLocked(const void* address, size_t length) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  return FindLockedMdl([&](ULONG_PTR va, ULONG_PTR count) {
           return va <= start && start + length <= va + count;
         }) != nullptr;
}

void MdlFailNext(uint64_t n) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.failCountdown = n;
}

void MmFailNextMapping() {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.failNextMapping = true;
}

void UserMemoryResetForNextTest() {
  UserRangeUnregisterAll();
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (PMDL mdl : table.forgotten) std::free(mdl);
  table.forgotten.clear();
  for (const auto& entry : table.live) table.forgotten.push_back(entry.first);
  table.live.clear();
  table.failCountdown = 0;
  table.failNextMapping = false;
}

}  // namespace hostk

using namespace hostk;

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
  if (hostk::AllocationSiteCallFails()) return NULL;
  UNREFERENCED_PARAMETER(ChargeQuota);
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
  RequireChainFor(Irp, SecondaryBuffer);
  if (Length > kMaxMdlLength || TakeAllocationFault()) return NULL;
  ULONG_PTR va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  size_t pages = SpannedPages(va, Length);
  size_t bytes = sizeof(MDL) + pages * kPfnEntrySize;
  auto* mdl = static_cast<PMDL>(std::calloc(1, bytes));
  if (mdl == NULL) return NULL;
  // Size is 16 bits wide: an MDL over more than about 32 MB does not fit, and nothing reads it.
  mdl->Size = (CSHORT)bytes;
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR(PAGE_SIZE - 1));
  mdl->ByteOffset = (ULONG)(va & (PAGE_SIZE - 1));
  mdl->ByteCount = Length;
  Track(mdl, pages);
  if (Irp != NULL) LinkToIrp(mdl, Irp, SecondaryBuffer);
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
  RequireLive(Mdl, "IoFreeMdl");
  // A partial MDL's own mapping is released here, as documented; any other mapping is the
  // driver's to release first.
  if (Has(Mdl, MDL_PARTIAL_HAS_BEEN_MAPPED)) {
    Unmap(Mdl);
  } else if (OwnsMapping(Mdl)) {
    VerifierBugCheck(kFreedWhileMapped, Mdl, 0,
                     "IoFreeMdl of the MDL at %p (%s): it is still mapped to system space "
                     "(MmUnmapLockedPages or MmUnlockPages first)",
                     (void*)Mdl, FlagsText(Mdl->MdlFlags).c_str());
  }
  if (Has(Mdl, MDL_PAGES_LOCKED)) {
    BugCheckParamsF(kDriverLeftLockedPagesInProcess, 0, 0, (ULONG_PTR)Mdl,
                SpannedPages(VaOf(Mdl), Mdl->ByteCount),
                "IoFreeMdl of the MDL at %p (%s): its pages are still locked and can never be "
                "unlocked (MmUnlockPages first)",
                (void*)Mdl, FlagsText(Mdl->MdlFlags).c_str());
  }
  Untrack(Mdl);
  std::free(Mdl);
}

namespace {

void RecordLockedRange(PMDL mdl, bool locked) {
  MdlTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  MdlRecord& record = table.live.at(mdl);
  record.locked = locked;
  record.lockedVa = VaOf(mdl);
  record.lockedBytes = mdl->ByteCount;
}

}  // namespace

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
  PMDL mdl = MemoryDescriptorList;
  RequireIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
  RequireLive(mdl, "MmProbeAndLockPages");
  RequireLockable(mdl);
  bool write = Operation != IoReadAccess;
  ProbeForLock(mdl, AccessMode, write);
  Set(mdl, MDL_PAGES_LOCKED | (write ? MDL_WRITE_OPERATION : 0));
  RecordLockedRange(mdl, true);
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
  RequireLive(mdl, "MmUnlockPages");
  if (Has(mdl, MDL_PARTIAL)) {
    VerifierBugCheck(kUnlockPartial, mdl, MDL_PARTIAL,
                     "MmUnlockPages of the partial MDL at %p: only its source is unlocked",
                     (void*)mdl);
  }
  if (Has(mdl, MDL_SOURCE_IS_NONPAGED_POOL)) {
    VerifierBugCheck(kUnlockNonPagedPool, mdl, 0,
                     "MmUnlockPages of the MDL at %p: it describes nonpaged pool, which is never "
                     "unlocked",
                     (void*)mdl);
  }
  if (!Has(mdl, MDL_PAGES_LOCKED)) {
    VerifierBugCheck(kUnlockNotLocked, mdl, 0,
                     "MmUnlockPages of the MDL at %p (%s): its pages are not locked", (void*)mdl,
                     FlagsText(mdl->MdlFlags).c_str());
  }
  if (OwnsMapping(mdl)) Unmap(mdl);
  RecordLockedRange(mdl, false);
  Clear(mdl, MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(RequestedAddress);
  UNREFERENCED_PARAMETER(Priority);
  PMDL mdl = MemoryDescriptorList;
  MdlRecord record = RequireLive(mdl, "MmMapLockedPagesSpecifyCache");
  if (AccessMode != KernelMode) {
    BugCheckF(kManuallyInitiatedCrash,
              "MmMapLockedPagesSpecifyCache to user space is not supported by the host kernel");
  }
  RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
  if (BugCheckOnFailure) {
    VerifierBugCheck(kMapWithBugCheckOnFailure, mdl, 0,
                     "MmMapLockedPagesSpecifyCache with BugCheckOnFailure TRUE (drivers pass "
                     "FALSE and handle NULL)");
  }
  // Nonpaged pool has its system address already.
  if (Has(mdl, MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
  RequireMappable(mdl, record);
  if (TakeMappingFault()) return NULL;
  PVOID system = MapSystemView(mdl);
  if (system == NULL) return NULL;
  mdl->MappedSystemVa = system;
  Set(mdl, MDL_MAPPED_TO_SYSTEM_VA | (Has(mdl, MDL_PARTIAL) ? MDL_PARTIAL_HAS_BEEN_MAPPED : 0));
  return mdl->MappedSystemVa;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
  RequireLive(mdl, "MmUnmapLockedPages");
  if (!OwnsMapping(mdl)) {
    BugCheckParamsF(kSystemPteMisuse, 0x02, (ULONG_PTR)mdl, 0, 1,
                "MmUnmapLockedPages of the MDL at %p (%s): it has no mapping of its own to "
                "release",
                (void*)mdl, FlagsText(mdl->MdlFlags).c_str());
  }
  if (BaseAddress != mdl->MappedSystemVa) {
    BugCheckParamsF(kSystemPteMisuse, 0x03, (ULONG_PTR)mdl, (ULONG_PTR)mdl->MappedSystemVa,
                (ULONG_PTR)BaseAddress,
                "MmUnmapLockedPages of the MDL at %p with base %p: it is mapped at %p", (void*)mdl,
                BaseAddress, mdl->MappedSystemVa);
  }
  Unmap(mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  RequireIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
  RequireLive(mdl, "MmBuildMdlForNonPagedPool");
  PVOID va = MmGetMdlVirtualAddress(mdl);
  POOL_TYPE type;
  bool pool = PoolContainsRange(va, mdl->ByteCount, &type);
  if (!pool || (type & 1) != 0) {
    VerifierBugCheck(kBuildFromPageable, mdl, (ULONG_PTR)va,
                     "MmBuildMdlForNonPagedPool on the MDL at %p: %p + %u bytes is %s", (void*)mdl,
                     va, (unsigned)mdl->ByteCount,
                     pool ? "paged pool" : "not inside one live nonpaged pool block");
  }
  mdl->MappedSystemVa = va;
  Set(mdl, MDL_SOURCE_IS_NONPAGED_POOL);
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  MdlRecord sourceRecord = RequireLive(SourceMdl, "IoBuildPartialMdl");
  MdlRecord targetRecord = RequireLive(TargetMdl, "IoBuildPartialMdl");
  ULONG_PTR va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  ULONG length = PartialLength(SourceMdl, va, Length);
  if (!PagesResident(SourceMdl, sourceRecord)) {
    VerifierBugCheck(kPartialOfUnlocked, SourceMdl, va,
                     "IoBuildPartialMdl from the MDL at %p (%s): the source's pages must be "
                     "locked or nonpaged first",
                     (void*)SourceMdl, FlagsText(SourceMdl->MdlFlags).c_str());
  }
  RequireReusableTarget(TargetMdl, targetRecord, va, length);
  // The partial shares the source's nonpaged-pool address or system mapping, if any.
  CSHORT inherited = (CSHORT)(SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  TargetMdl->MdlFlags =
      (CSHORT)((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | inherited | MDL_PARTIAL);
  TargetMdl->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR(PAGE_SIZE - 1));
  TargetMdl->ByteOffset = (ULONG)(va & (PAGE_SIZE - 1));
  TargetMdl->ByteCount = length;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MappedSystemVa = NULL;
  if (Has(SourceMdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    TargetMdl->MappedSystemVa =
        static_cast<PCHAR>(SourceMdl->MappedSystemVa) + (va - VaOf(SourceMdl));
  }
  if (Has(SourceMdl, MDL_MAPPED_TO_SYSTEM_VA)) {
    Set(TargetMdl, MDL_MAPPED_TO_SYSTEM_VA | MDL_PARENT_MAPPED_SYSTEM_VA);
  }
  RecordSource(TargetMdl, SourceMdl, sourceRecord.serial);
}
