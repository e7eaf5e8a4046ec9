// Remove locks: the count of outstanding acquisitions that IoReleaseRemoveLockAndWait drains
// before a device goes away. Beside every lock with outstanding acquisitions the host kernel keeps
// which tags hold it and where they were taken, as the platform's checked build does, so that a
// broken rule names the holders.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/io.h"
#include "host/ntstatus.h"

namespace hostk {
namespace {

struct Holder {
  LONG count = 0;
  // Where the latest acquisition with this tag was taken.
  const char* file = nullptr;
  ULONG line = 0;
};

using Holders = std::map<PVOID, Holder>;

// Every lock's count, flag and tags change under this one lock, so that a release, the removal and
// the bookkeeping of tags are seen in one order by every thread.
struct Settings {
  ULONG tag = 0;
  ULONG maxLockedMinutes = 0;
  ULONG highWatermark = 0;  // 0: no bound
};

struct RemoveLockTable {
  std::mutex lock;
  std::map<const IO_REMOVE_LOCK*, Holders> holders;  // only locks with outstanding acquisitions
  std::map<const IO_REMOVE_LOCK*, Settings> settings;  // every initialised lock not yet removed
};

RemoveLockTable& Table() {
  static auto* table = new RemoveLockTable;  // outlives detached threads at exit
  return *table;
}

std::string DescribeHoldersLocked(const IO_REMOVE_LOCK* lock) {
  auto it = Table().holders.find(lock);
  if (it == Table().holders.end()) return "no tag holds it";
  std::string out = "held by";
  char line[256];
  for (const auto& [tag, holder] : it->second) {
    snprintf(line, sizeof line, " [tag %p: %d time(s), last at %s:%u]", tag, (int)holder.count,
             holder.file != nullptr ? holder.file : "?", (unsigned)holder.line);
    out += line;
  }
  return out;
}

void CheckSize(ULONG size, const char* what) {
  if (size != sizeof(IO_REMOVE_LOCK)) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "%s: remove lock size %u does not match IO_REMOVE_LOCK (%u bytes)", what,
              (unsigned)size, (unsigned)sizeof(IO_REMOVE_LOCK));
  }
}

void AddHolderLocked(PIO_REMOVE_LOCK lock, PVOID tag, PCSTR file, ULONG line) {
  Holder& holder = Table().holders[lock][tag];
  holder.count++;
  holder.file = file;
  holder.line = line;
}

// Removes one acquisition by `tag`; a tag that holds none is a broken rule.
void TakeHolderLocked(PIO_REMOVE_LOCK lock, PVOID tag, const char* what) {
  auto it = Table().holders.find(lock);
  Holders::iterator holder;
  if (it == Table().holders.end() || (holder = it->second.find(tag)) == it->second.end()) {
    std::string held = DescribeHoldersLocked(lock);
    BugCheckF(kDriverVerifierDetectedViolation,
              "%s: remove lock %p released with tag %p, which was never acquired (%s)", what,
              (void*)lock, tag, held.c_str());
  }
  if (--holder->second.count == 0) it->second.erase(holder);
  if (it->second.empty()) Table().holders.erase(it);
}

// The acquisitions the driver holds, leaving out the initial one that only removal gives back.
LONG OutstandingLocked(const IO_REMOVE_LOCK* lock) {
  return lock->Common.Removed ? lock->Common.IoCount : lock->Common.IoCount - 1;
}

void CheckHighWatermarkLocked(PIO_REMOVE_LOCK lock) {
  auto it = Table().settings.find(lock);
  if (it == Table().settings.end() || lock->Common.Removed) return;
  ULONG highWatermark = it->second.highWatermark;
  if (highWatermark != 0 && OutstandingLocked(lock) > (LONG)highWatermark) {
    std::string held = DescribeHoldersLocked(lock);
    BugCheckF(kDriverVerifierDetectedViolation,
              "IoAcquireRemoveLock: remove lock %p acquired more than its high-water mark of %u "
              "times (%s)",
              (void*)lock, (unsigned)highWatermark, held.c_str());
  }
}

}  // namespace
}  // namespace hostk

using namespace hostk;

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                    ULONG MaxLockedMinutes, ULONG HighWatermark,
                                    ULONG RemlockSize) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
  CheckSize(RemlockSize, "IoInitializeRemoveLock");
  if (HighWatermark > 0x7FFFFFFF) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "IoInitializeRemoveLock: high-water mark %u is above 0x7FFFFFFF",
              (unsigned)HighWatermark);
  }
  std::lock_guard<std::mutex> guard(Table().lock);
  // Memory reused for a new lock starts with no holders.
  Table().holders.erase(Lock);
  Lock->Common.Removed = FALSE;
  Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
  Lock->Common.IoCount = 1;
  Table().settings[Lock] = Settings{AllocateTag, MaxLockedMinutes, HighWatermark};
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                     ULONG Line, ULONG RemlockSize) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
  CheckSize(RemlockSize, "IoAcquireRemoveLock");
  std::lock_guard<std::mutex> guard(Table().lock);
  RemoveLock->Common.IoCount++;
  if (RemoveLock->Common.Removed) {
    // The acquisition is undone; the count it briefly held may be the last one the remover waits
    // for.
    if (--RemoveLock->Common.IoCount == 0) {
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
  }
  CheckHighWatermarkLocked(RemoveLock);
  AddHolderLocked(RemoveLock, Tag, File, Line);
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
  CheckSize(RemlockSize, "IoReleaseRemoveLock");
  std::lock_guard<std::mutex> guard(Table().lock);
  if (OutstandingLocked(RemoveLock) <= 0) {
    BugCheck(kDriverVerifierDetectedViolation,
             "IoReleaseRemoveLock: remove lock released more often than acquired",
             (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag, (ULONG_PTR)RemoveLock->Common.IoCount);
  }
  TakeHolderLocked(RemoveLock, Tag, "IoReleaseRemoveLock");
  if (--RemoveLock->Common.IoCount == 0) {
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                        ULONG RemlockSize) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
  CheckSize(RemlockSize, "IoReleaseRemoveLockAndWait");
  bool drained;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    if (RemoveLock->Common.Removed) {
      BugCheck(kDriverVerifierDetectedViolation,
               "IoReleaseRemoveLockAndWait: remove lock is already removed",
               (ULONG_PTR)RemoveLock, (ULONG_PTR)Tag);
    }
    // The caller must hold an acquisition of its own; it is given back with the initial one.
    TakeHolderLocked(RemoveLock, Tag, "IoReleaseRemoveLockAndWait");
    RemoveLock->Common.Removed = TRUE;
    RemoveLock->Common.IoCount -= 2;
    Table().settings.erase(RemoveLock);
    drained = RemoveLock->Common.IoCount == 0;
  }
  if (!drained) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}
