// Request memory, its fences, the quarantine of freed requests, and the pending-return rule.
#include "io_request_verifier.h"

#include <cstddef>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "host/hostk/bugcheck.h"
#include "host/hostk/io.h"
#include "host/ntstatus.h"
#include "scheduler.h"

namespace hostk {
namespace {

constexpr size_t kQuarantineLimit = 1024;
constexpr uint8_t kPoison = 0xD1;

// Fences around a packet, outside its geometry: the packet itself is exactly what IoSizeOfIrp
// says, its stack right after its header. The rear fence covers the location past the last one
// (the current location of a packet its originator has not set up), and more.
constexpr size_t kFrontFence = 32;  // keeps the packet 16-byte aligned
constexpr size_t kRearFence = 2 * sizeof(IO_STACK_LOCATION);
constexpr uint8_t kFenceFill = 0xFB;

// The bytes of the header's tail that only the I/O manager owns: the space of the completion APC
// beyond the overlay drivers use. The location below the first overlays the header's tail, and
// its completion routine and context land here (IoSetCompletionRoutine by the lowest driver), so
// they carry a pattern of their own from IoInitializeIrp on.
constexpr size_t kHeaderFenceStart = offsetof(IRP, Tail) + sizeof(((IRP*)nullptr)->Tail.Overlay);
constexpr size_t kHeaderFenceEnd = sizeof(IRP);
static_assert(kHeaderFenceStart < kHeaderFenceEnd, "the completion APC outgrows the overlay");
static_assert(kHeaderFenceEnd - sizeof(IO_STACK_LOCATION) + offsetof(IO_STACK_LOCATION, Context) >=
                  kHeaderFenceStart,
              "the context of the location below the first lands in the header's fence");
constexpr uint8_t kHeaderFenceFill = 0xC5;

enum Fact : int8_t { kUnknown = 0, kYes = 1, kNo = 2 };

struct LocationState {
  uint64_t pass = 0;
  int8_t returnedPending = kUnknown;
  int8_t walkedMarked = kUnknown;
  NTSTATUS status = 0;
  bool markedBySender = false;  // this pass's mark is the sender's, not the dispatch routine's
  bool senderMarkArmed = false;  // for the next pass
};

struct IrpRecord {
  bool live = true;
  bool threaded = false;
  PKTHREAD thread = nullptr;  // a threaded request's originator, referenced
  USHORT size = 0;
  uint64_t generation = 0;
  uint64_t passes = 0;
  std::vector<LocationState> locations;  // indexed by location number
};

struct IrpTable {
  std::mutex lock;
  std::unordered_map<PIRP, IrpRecord> records;  // looked up at every call and completion
  std::deque<PIRP> quarantine;  // freed, oldest first
  uint64_t generations = 0;
  uint64_t failCountdown = 0;  // 0: no allocation failure armed
};

IrpTable& Table() {
  static IrpTable* table = new IrpTable;
  return *table;
}

IrpRecord* Find(PIRP irp) {
  auto it = Table().records.find(irp);
  return it == Table().records.end() ? nullptr : &it->second;
}

void ResetLocations(IrpRecord& record, PIRP irp) {
  record.locations.assign((size_t)irp->StackCount + 2, LocationState{});
}

// Both facts of one location are known: they must agree.
void CheckPendingPair(PIRP irp, CHAR location, const LocationState& state) {
  if (state.returnedPending == kUnknown || state.walkedMarked == kUnknown) return;
  if (state.returnedPending == kYes && state.walkedMarked == kNo) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "request %p: the dispatch routine at stack location %d returned STATUS_PENDING "
              "without IoMarkIrpPending (or its completion routine did not propagate "
              "PendingReturned)",
              (void*)irp, (int)location);
  }
  if (state.returnedPending == kNo && state.walkedMarked == kYes && !state.markedBySender) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "request %p: stack location %d was marked pending but its dispatch routine returned "
              "0x%08X, not STATUS_PENDING",
              (void*)irp, (int)location, (unsigned)state.status);
  }
}

// The offset of the first byte in [begin, begin + size) that is not `fill`, or size. Every
// request is checked at each call and completion, so the whole fence is compared a word at a time
// and only a damaged one is searched byte by byte.
size_t FirstDamaged(const uint8_t* begin, size_t size, uint8_t fill) {
  const uint64_t pattern = 0x0101010101010101ull * fill;
  size_t i = 0;
  for (; i + sizeof pattern <= size; i += sizeof pattern) {
    uint64_t word;
    std::memcpy(&word, begin + i, sizeof word);
    if (word != pattern) break;
  }
  for (; i < size; i++) {
    if (begin[i] != fill) return i;
  }
  return size;
}

uint8_t* FenceBase(PIRP irp) { return (uint8_t*)irp - kFrontFence; }

LocationState* StateAt(IrpRecord* record, CHAR location) {
  if (record == nullptr || location < 1 || (size_t)location >= record->locations.size()) {
    return nullptr;
  }
  return &record->locations[(size_t)location];
}

}  // namespace

PIRP IrpAllocateMemory(USHORT size) {
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    if (Table().failCountdown != 0 && --Table().failCountdown == 0) return nullptr;
  }
  uint8_t* base =
      (uint8_t*)::operator new(kFrontFence + size + kRearFence, std::align_val_t(16));
  memset(base, kFenceFill, kFrontFence);
  memset(base + kFrontFence + size, kFenceFill, kRearFence);
  PIRP irp = (PIRP)(base + kFrontFence);
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord& record = Table().records[irp];
  record = IrpRecord{};
  record.size = size;
  record.generation = ++Table().generations;
  return irp;
}

void IrpReleaseMemory(PIRP irp) {
  CheckIrpFences(irp, "freeing the request");
  PKTHREAD thread = nullptr;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    thread = Find(irp)->thread;
    Find(irp)->thread = nullptr;
  }
  if (thread != nullptr) ObfDereferenceObject(thread);
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  record->live = false;
  memset((void*)irp, kPoison, record->size);
  Table().quarantine.push_back(irp);
  if (Table().quarantine.size() > kQuarantineLimit) {
    PIRP oldest = Table().quarantine.front();
    Table().quarantine.pop_front();
    Table().records.erase(oldest);
    ::operator delete(FenceBase(oldest), std::align_val_t(16));
  }
}

void CheckIrpLive(PIRP irp, const char* what) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  if (record == nullptr) {
    BugCheckF(kDriverVerifierDetectedViolation, "%s: %p is not a request of the I/O manager", what,
              (void*)irp);
  }
  if (!record->live) {
    BugCheckF(kDriverVerifierDetectedViolation, "%s: request %p was already freed", what,
              (void*)irp);
  }
}

void IrpLayHeaderFence(PIRP irp) {
  memset((uint8_t*)irp + kHeaderFenceStart, kHeaderFenceFill, kHeaderFenceEnd - kHeaderFenceStart);
}

void CheckIrpFences(PIRP irp, const char* what) {
  size_t allocated;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    IrpRecord* record = Find(irp);
    if (record == nullptr || !record->live) return;
    allocated = record->size;
  }
  const uint8_t* base = FenceBase(irp);
  size_t front = FirstDamaged(base, kFrontFence, kFenceFill);
  if (front != kFrontFence) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, (ULONG_PTR)irp, (ULONG_PTR)(base + front),
                    0, 0,
                    "%s: request %p was written before its header, outside the packet (at byte "
                    "%zu before it)",
                    what, (void*)irp, kFrontFence - front);
  }
  const uint8_t* rear = base + kFrontFence + allocated;
  size_t damaged = FirstDamaged(rear, kRearFence, kFenceFill);
  if (damaged != kRearFence) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, (ULONG_PTR)irp, (ULONG_PTR)(rear + damaged),
                    0, 0,
                    "%s: request %p was written past the end of its packet of %zu bytes (at "
                    "byte %zu after it: a stack location above the top one, such as the current "
                    "location of a request its originator has not sent yet)",
                    what, (void*)irp, allocated, damaged);
  }
  const uint8_t* header = (const uint8_t*)irp + kHeaderFenceStart;
  size_t headerFence = kHeaderFenceEnd - kHeaderFenceStart;
  if (FirstDamaged(header, headerFence, kHeaderFenceFill) != headerFence) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, (ULONG_PTR)irp, 0, 0, 0,
                    "%s: the tail of request %p's header was overwritten: a driver wrote the "
                    "stack location below the first (IoGetNextIrpStackLocation, for example "
                    "IoSetCompletionRoutine, at location 1 of %d)",
                    what, (void*)irp, (int)irp->StackCount);
  }
  PIO_STACK_LOCATION expected = (PIO_STACK_LOCATION)(irp + 1) + (irp->CurrentLocation - 1);
  if (irp->Tail.Overlay.CurrentStackLocation != expected) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, (ULONG_PTR)irp,
                    (ULONG_PTR)irp->Tail.Overlay.CurrentStackLocation, (ULONG_PTR)expected, 0,
                    "%s: request %p's current stack location does not match its location number "
                    "%d: its header was overwritten (a driver wrote the stack location below the "
                    "first, for example IoCopyCurrentIrpStackLocationToNext at location 1)",
                    what, (void*)irp, (int)irp->CurrentLocation);
  }
}

size_t IrpAllocatedSize(PIRP irp) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  return record != nullptr && record->live ? record->size : 0;
}

void IrpSetThreaded(PIRP irp, bool threaded) {
  PKTHREAD thread = threaded ? CurrentKThread() : nullptr;
  if (thread != nullptr) ObfReferenceObject(thread);
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    IrpRecord* record = Find(irp);
    record->threaded = threaded;
    std::swap(thread, record->thread);
  }
  if (thread != nullptr) ObfDereferenceObject(thread);
}

PKTHREAD IrpThreadOf(PIRP irp) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  return record != nullptr ? record->thread : nullptr;
}

bool IrpIsThreaded(PIRP irp) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  return record != nullptr && record->threaded;
}

uint64_t IrpGeneration(PIRP irp) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  return record != nullptr && record->live ? record->generation : 0;
}

void IrpNoteReused(PIRP irp) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  record->generation = ++Table().generations;
  record->locations.clear();
}

void IrpNoteMarkedBySender(PIRP irp, CHAR location) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  if (record->locations.empty()) ResetLocations(*record, irp);
  if (LocationState* state = StateAt(record, location)) state->senderMarkArmed = true;
}

uint64_t IrpNoteDispatchStart(PIRP irp, CHAR location) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  if (record->locations.empty()) ResetLocations(*record, irp);
  LocationState* state = StateAt(record, location);
  bool senderMarked = state->senderMarkArmed;
  *state = LocationState{};
  state->markedBySender = senderMarked;
  state->pass = ++record->passes;
  return state->pass;
}

void IrpNoteDispatchResult(PIRP irp, uint64_t pass, CHAR location, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(Table().lock);
  IrpRecord* record = Find(irp);
  LocationState* state = StateAt(record, location);
  if (state == nullptr || state->pass != pass || !record->live) return;  // gone, or sent again
  state->returnedPending = status == STATUS_PENDING ? kYes : kNo;
  state->status = status;
  CheckPendingPair(irp, location, *state);
  // Any status but STATUS_PENDING tells the caller that the request is finished: its completion
  // must have passed this location already. Otherwise the caller takes the request for done while
  // someone still holds it, and the caller's event and status block, perhaps on its stack, are
  // written when it really ends.
  if (state->returnedPending == kNo && state->walkedMarked == kUnknown) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "request %p: the dispatch routine at stack location %d returned 0x%08X, not "
              "STATUS_PENDING, for a request that is not completed (one passed down, queued or "
              "kept must be marked pending and answered with STATUS_PENDING)",
              (void*)irp, (int)location, (unsigned)status);
  }
}

void IrpNoteWalkPassed(PIRP irp, CHAR location, bool markedPending) {
  std::lock_guard<std::mutex> guard(Table().lock);
  LocationState* state = StateAt(Find(irp), location);
  if (state == nullptr || state->pass == 0) return;  // no dispatch ran at this location
  state->walkedMarked = markedPending ? kYes : kNo;
  CheckPendingPair(irp, location, *state);
}

void IoFailIrpAllocation(uint64_t n) {
  std::lock_guard<std::mutex> guard(Table().lock);
  Table().failCountdown = n;
}

size_t IoLiveIrpCount() {
  std::lock_guard<std::mutex> guard(Table().lock);
  size_t count = 0;
  for (const auto& entry : Table().records) count += entry.second.live;
  return count;
}

std::string IoLiveIrpReport() {
  std::lock_guard<std::mutex> guard(Table().lock);
  std::ostringstream out;
  for (const auto& [irp, record] : Table().records) {
    if (!record.live) continue;
    out << "request " << (void*)irp << (record.threaded ? " (threaded)" : "") << " at location "
        << (int)irp->CurrentLocation << " of " << (int)irp->StackCount << ", major function 0x"
        << std::hex << (irp->CurrentLocation <= irp->StackCount
                            ? (unsigned)IoGetCurrentIrpStackLocation(irp)->MajorFunction
                            : 0xFFu)
        << std::dec << "\n";
  }
  return out.str();
}

}  // namespace hostk
