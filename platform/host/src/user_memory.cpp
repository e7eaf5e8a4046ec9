// The user address space: the ranges clients register, the buffers that register themselves, and
// the probes drivers run against them.
#include "host/hostk/user_memory.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "host/ex.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/ntstatus.h"
#include "scheduler.h"

namespace hostk {
namespace {

struct Range {
  ULONG_PTR end;
  bool readable;
  bool writable;
  UserRangeId id;
  bool systemProcess = false;  // registered by a thread of the system process
  int fd = -1;              // the file behind the range's pages, or -1
  ULONG_PTR fileStart = 0;  // the address of the file's first byte
  size_t fileBytes = 0;
  // System views of the file's pages: each window maps the whole file once and stays inaccessible
  // but for the pages of the one view it holds. The page-table entries of a view are not written
  // afresh for each view. A filled window keeps every entry, inaccessible, and a small view is
  // opened by allowing access to its own: no other processor can hold an entry that allowed
  // nothing, so opening flushes nothing, as on the platform, and only the closing does. A large
  // view would take that one entry at a time; its entries wait in `parked`, a mapping of the whole
  // file with every entry filled in that nothing else knows of, and move into an empty window
  // whole page tables at a time, and back after it.
  // A resident window keeps every entry and all its access whatever it holds: a view costs
  // nothing to open or to close, and a touch of a closed one goes unseen.
  struct Window {
    UCHAR* base;
    bool inUse;
    bool filled;
    bool resident = false;
  };
  std::vector<Window> windows;
  UCHAR* parked = nullptr;
};

struct RangeTable {
  std::mutex lock;
  std::map<ULONG_PTR, Range> byStart;
  std::unordered_map<UserRangeId, ULONG_PTR> startById;
  UserRangeId nextId = 1;
  UserRangeId firstIdSinceReset = 1;
  bool residentViews = false;
};

// Never destroyed: buffers released while the process exits must still find it.
RangeTable& Table() {
  static RangeTable* table = new RangeTable;
  return *table;
}

// A client broke the host kernel's own rules (not a driver fault, so no bug check code).
[[noreturn]] __attribute__((format(printf, 1, 2))) void UsageError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fprintf(stderr, "\n*** host kernel usage error: ");
  vfprintf(stderr, format, args);
  fprintf(stderr, "\n");
  va_end(args);
  fflush(stderr);
  abort();
}

// The range holding the byte at `address`, or end(). With `orEnd`, the address just past a range's
// last byte counts as the range's too: an empty access may stand there, and an empty range has no
// other address. Without it, that address is whatever lies after the range (another range, or
// system memory such as a view the host mapped right behind a client's buffer).
std::map<ULONG_PTR, Range>::iterator Containing(RangeTable& table, ULONG_PTR address,
                                                bool orEnd = false) {
  auto after = table.byStart.upper_bound(address);
  if (after == table.byStart.begin()) return table.byStart.end();
  auto candidate = std::prev(after);
  ULONG_PTR end = candidate->second.end;
  bool holds = address < end || (orEnd && address == end);
  return holds ? candidate : table.byStart.end();
}

// An empty range still claims its address, so no two ranges ever share a start.
ULONG_PTR ClaimedEnd(ULONG_PTR start, ULONG_PTR end) { return end > start ? end : start + 1; }

bool Overlaps(const RangeTable& table, ULONG_PTR start, ULONG_PTR end) {
  auto after = table.byStart.lower_bound(ClaimedEnd(start, end));
  if (after == table.byStart.begin()) return false;
  auto last = std::prev(after);
  return ClaimedEnd(last->first, last->second.end) > start;
}

Range& RangeOf(RangeTable& table, UserRangeId id, const char* what) {
  auto found = table.startById.find(id);
  if (found == table.startById.end())
    UsageError("%s: no user range with id %llu", what, (unsigned long long)id);
  return table.byStart.at(found->second);
}

size_t RoundUpToPage(size_t bytes) { return (bytes + PAGE_SIZE - 1) & ~size_t(PAGE_SIZE - 1); }

[[noreturn]] void Raise(NTSTATUS status) { throw RaisedStatus(status); }

// On the platform a probe only proves that the range lies in user space; here user space is the
// set of registered ranges, so the probe also answers for the access each range allows.
void Probe(const volatile VOID* address, SIZE_T length, ULONG alignment, bool write) {
  const char* what = write ? "ProbeForWrite" : "ProbeForRead";
  RequireIrqlAtMost(APC_LEVEL, what);
  if (length == 0) return;
  if (alignment != 1 && alignment != 2 && alignment != 4 && alignment != 8 && alignment != 16) {
    BugCheckF(kManuallyInitiatedCrash,
              "assertion failed: %s with alignment %u (it must be 1, 2, 4, 8 or 16)", what,
              (unsigned)alignment);
  }
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  if ((start & (alignment - 1)) != 0) Raise(STATUS_DATATYPE_MISALIGNMENT);
  if (start + length < start) Raise(STATUS_ACCESS_VIOLATION);
  if (!UserRangeCheck(const_cast<const void*>(address), length, write)) {
    Raise(STATUS_ACCESS_VIOLATION);
  }
  UserRangeCheckContext(const_cast<const void*>(address), length, what);
}

}  // namespace

UserRangeId UserRangeRegister(void* address, size_t length, bool readable, bool writable) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  if (address == nullptr || start + length < start) {
    UsageError("UserRangeRegister: %p + %zu bytes is no address range", address, length);
  }
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  if (Overlaps(table, start, start + length)) {
    UsageError("UserRangeRegister: %p + %zu bytes overlaps a registered range", address, length);
  }
  UserRangeId id = table.nextId++;
  HostThread* thread = CurrentHostThread();
  bool systemProcess = thread != nullptr && thread->systemProcess;
  table.byStart.emplace(start,
                        Range{start + length, readable, writable, id, systemProcess, -1, 0, 0, {}});
  table.startById.emplace(id, start);
  return id;
}

void UserRangeUnregister(UserRangeId id) {
  ULONG_PTR start;
  size_t length;
  {
    RangeTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (id < table.firstIdSinceReset) return;
    Range& range = RangeOf(table, id, "UserRangeUnregister");
    start = table.startById.at(id);
    length = range.end - start;
  }
  // Asked outside the table's lock, so this lock and the MDL table's never nest.
  if (PMDL locked = MdlLockedInRange(reinterpret_cast<void*>(start), length)) {
    BugCheckF(kDriverLeftLockedPagesInProcess,
              "the user buffer at %p (%zu bytes) went away while the MDL at %p still had its "
              "pages locked (every MmProbeAndLockPages needs its MmUnlockPages)",
              (void*)start, length, (void*)locked);
  }
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = table.byStart.find(start);
  if (found != table.byStart.end()) {
    for (const Range::Window& window : found->second.windows) {
      munmap(window.base, found->second.fileBytes);
    }
    if (found->second.parked != nullptr) munmap(found->second.parked, found->second.fileBytes);
    table.byStart.erase(found);
  }
  table.startById.erase(id);
}

void UserRangeSetAccess(UserRangeId id, bool readable, bool writable) {
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  Range& range = RangeOf(table, id, "UserRangeSetAccess");
  range.readable = readable;
  range.writable = writable;
}

bool UserRangeCheck(const void* address, size_t length, bool wantWrite) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  if (start + length < start) return false;
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = Containing(table, start, length == 0);
  if (found == table.byStart.end()) return false;
  const Range& range = found->second;
  if (start + length > range.end) return false;
  return wantWrite ? range.writable : range.readable;
}

bool UserRangeContains(const void* address) {
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return Containing(table, reinterpret_cast<ULONG_PTR>(address)) != table.byStart.end();
}

void UserRangeCheckContext(const void* address, size_t length, const char* what) {
  HostThread* thread = CurrentHostThread();
  if (thread == nullptr) return;
  bool owner;
  {
    RangeTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = Containing(table, reinterpret_cast<ULONG_PTR>(address));
    if (found == table.byStart.end()) return;
    owner = found->second.systemProcess;
  }
  if (owner == thread->systemProcess) return;
  BugCheckF(kDriverVerifierDetectedViolation,
            "%s: the user address %p (%zu bytes) belongs to the %s process and was touched from "
            "thread \"%s\" in the %s process (a user address is valid only in its own process: "
            "use a system buffer, or an MDL locked in the caller's context and its system address)",
            what, address, length, owner ? "system" : "client", thread->name.c_str(),
            thread->systemProcess ? "system" : "client");
}

bool UserRangeBacking(const void* address, int* fd, int64_t* pageOffset) {
  ULONG_PTR at = reinterpret_cast<ULONG_PTR>(address);
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = Containing(table, at);
  if (found == table.byStart.end() || found->second.fd < 0) return false;
  *fd = found->second.fd;
  *pageOffset = (int64_t)((at & ~ULONG_PTR(PAGE_SIZE - 1)) - found->second.fileStart);
  return true;
}

// Records the file behind a UserBuffer's range.
static void UserRangeSetBacking(UserRangeId id, int fd, const void* fileStart, size_t bytes) {
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  Range& range = RangeOf(table, id, "UserRangeSetBacking");
  range.fd = fd;
  range.fileStart = reinterpret_cast<ULONG_PTR>(fileStart);
  range.fileBytes = bytes;
}

namespace {

// Mappings of a file moved between at the same offset move whole page tables when they start on
// the same 2 MB boundary, rather than one entry per page.
constexpr size_t kPageTableSpan = size_t(2) << 20;

// The whole file mapped at an address that is a multiple of kPageTableSpan; nullptr when the host
// has no address space for it.
UCHAR* MapWholeFile(const Range& range, int protection, int flags) {
  size_t reserved = range.fileBytes + kPageTableSpan;
  void* space = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
  if (space == MAP_FAILED) return nullptr;
  UCHAR* first = static_cast<UCHAR*>(space);
  ULONG_PTR aligned = (reinterpret_cast<ULONG_PTR>(first) + kPageTableSpan - 1) &
                      ~ULONG_PTR(kPageTableSpan - 1);
  UCHAR* base = reinterpret_cast<UCHAR*>(aligned);
  if (base > first) munmap(first, size_t(base - first));
  UCHAR* end = base + range.fileBytes;
  if (first + reserved > end) munmap(end, size_t(first + reserved - end));
  if (mmap(base, range.fileBytes, protection, MAP_SHARED | MAP_FIXED | flags, range.fd, 0) ==
      MAP_FAILED) {
    munmap(base, range.fileBytes);
    return nullptr;
  }
  return base;
}

// Moves the page-table entries of [from, from + bytes) to `to`, leaving `from` mapped and empty.
bool MoveEntries(UCHAR* from, UCHAR* to, size_t bytes) {
  return mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, to) !=
         MAP_FAILED;
}

// Views up to this size open in a filled window: allowing access entry by entry costs less than
// moving the entries in and flushing where they came from.
constexpr size_t kFilledViewBytes = size_t(128) << 10;

// A window of the kind, free, made when there is none; nullptr when the host has no room for one.
Range::Window* FreeWindow(Range& range, bool filled) {
  for (Range::Window& window : range.windows) {
    if (!window.inUse && !window.resident && window.filled == filled) return &window;
  }
  UCHAR* base = filled ? MapWholeFile(range, PROT_READ | PROT_WRITE, MAP_POPULATE)
                       : MapWholeFile(range, PROT_NONE, 0);
  if (base == nullptr) return nullptr;
  if (filled && mprotect(base, range.fileBytes, PROT_NONE) != 0) {
    munmap(base, range.fileBytes);
    return nullptr;
  }
  range.windows.push_back({base, false, filled});
  return &range.windows.back();
}

// Opens the view of `bytes` at `offset` into the file in `window`.
bool OpenView(Range& range, Range::Window& window, size_t offset, size_t bytes) {
  UCHAR* view = window.base + offset;
  if (window.filled) return mprotect(view, bytes, PROT_READ | PROT_WRITE) == 0;
  // Where the entries cannot move (a host without MREMAP_DONTUNMAP for shared memory), the view
  // is opened in place and its pages come in at first touch: slower, the same bytes.
  return MoveEntries(range.parked + offset, view, bytes) ||
         mprotect(view, bytes, PROT_READ | PROT_WRITE) == 0;
}

// A free resident window, made when there is none (its entries filled in once, at the making);
// nullptr when the host has no room for one.
Range::Window* FreeResidentWindow(Range& range) {
  for (Range::Window& window : range.windows) {
    if (window.resident && !window.inUse) return &window;
  }
  UCHAR* base = MapWholeFile(range, PROT_READ | PROT_WRITE, MAP_POPULATE);
  if (base == nullptr) return nullptr;
  range.windows.push_back({base, false, true, true});
  return &range.windows.back();
}

}  // namespace

void UserRangeKeepViewsResident(bool resident) {
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.residentViews = resident;
}

void* UserRangeMapSystemView(const void* address, size_t bytes) {
  ULONG_PTR at = reinterpret_cast<ULONG_PTR>(address) & ~ULONG_PTR(PAGE_SIZE - 1);
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto found = Containing(table, reinterpret_cast<ULONG_PTR>(address));
  if (found == table.byStart.end() || found->second.fd < 0) return nullptr;
  Range& range = found->second;
  size_t offset = at - range.fileStart;
  if (offset + bytes > range.fileBytes) return nullptr;
  if (table.residentViews) {
    Range::Window* window = FreeResidentWindow(range);
    if (window == nullptr) return nullptr;
    window->inUse = true;
    return window->base + offset;
  }
  bool filled = bytes <= kFilledViewBytes;
  if (!filled && range.parked == nullptr) {
    range.parked = MapWholeFile(range, PROT_READ | PROT_WRITE, MAP_POPULATE);
    if (range.parked == nullptr) return nullptr;
  }
  Range::Window* free = FreeWindow(range, filled);
  if (free == nullptr || !OpenView(range, *free, offset, bytes)) return nullptr;
  free->inUse = true;
  return free->base + offset;
}

void UserRangeUnmapSystemView(void* view, size_t bytes) {
  UCHAR* at = static_cast<UCHAR*>(view);
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (auto& entry : table.byStart) {
    Range& range = entry.second;
    for (Range::Window& window : range.windows) {
      if (at < window.base || at >= window.base + range.fileBytes) continue;
      window.inUse = false;
      if (window.resident) return;
      // A touch of the view faults from here on. The entries of a large view go back to the
      // parked mapping first; the emptied view then costs nothing to close.
      if (!window.filled) MoveEntries(at, range.parked + (at - window.base), bytes);
      mprotect(at, bytes, PROT_NONE);
      return;
    }
  }
  // The range went with its buffer, and its windows with it.
}

size_t UserRangeCount() {
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return table.byStart.size();
}

void UserRangeUnregisterAll() {
  RangeTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  table.byStart.clear();
  table.startById.clear();
  table.firstIdSinceReset = table.nextId;
  table.residentViews = false;
}

UserBuffer::UserBuffer(size_t length, bool readable, bool writable, size_t offsetInPage)
    : length_(length) {
  if (offsetInPage >= PAGE_SIZE) {
    UsageError("UserBuffer: offset %zu is not inside a page", offsetInPage);
  }
  bytes_ = RoundUpToPage(offsetInPage + length + (length == 0 ? 1 : 0));
  // A file of its own, zero-filled, mapped shared so that its pages can be seen twice.
  fd_ = memfd_create("hostk-user-buffer", MFD_CLOEXEC);
  if (fd_ < 0 || ftruncate(fd_, (off_t)bytes_) != 0) {
    UsageError("UserBuffer: no file for %zu bytes", bytes_);
  }
  // The pages sit in front of an inaccessible one of their own: a touch past the buffer's last page
  // faults, and nothing the host maps later (a system view of an MDL) lands right behind it.
  void* span = mmap(nullptr, bytes_ + PAGE_SIZE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  void* storage = span == MAP_FAILED ? MAP_FAILED
                                     : mmap(span, bytes_, PROT_READ | PROT_WRITE,
                                            MAP_SHARED | MAP_FIXED, fd_, 0);
  if (storage == MAP_FAILED) UsageError("UserBuffer: no host memory for %zu bytes", bytes_);
  storage_ = static_cast<UCHAR*>(storage);
  data_ = storage_ + offsetInPage;
  id_ = UserRangeRegister(data_, length, readable, writable);
  UserRangeSetBacking(id_, fd_, storage_, bytes_);
}

void UserBuffer::DropPages() {
  if (mprotect(storage_, bytes_, PROT_NONE) != 0) UsageError("UserBuffer: pages not dropped");
}

UserBuffer::~UserBuffer() {
  UserRangeUnregister(id_);
  munmap(storage_, bytes_ + PAGE_SIZE);
  close(fd_);
}

}  // namespace hostk

VOID NTAPI ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
  hostk::Probe(Address, Length, Alignment, false);
}

VOID NTAPI ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
  hostk::Probe(Address, Length, Alignment, true);
}

VOID NTAPI ExRaiseStatus(NTSTATUS Status) { hostk::Raise(Status); }
