// The executive pool: tagged blocks fenced by guard bytes, a quarantine that keeps freed blocks
// poisoned for a while, and the bookkeeping tests read for leaks. Every broken pool rule is a bug
// check with the code and parameters the platform documents for it.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "host/ex.h"
#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/chaos.h"
#include "host/hostk/pool.h"
#include "host/io.h"
#include "host/ke.h"
#include "pool_faults.h"

namespace hostk {
namespace {

// Layout: [padding][header | front guard][body][rear guard | padding], the allocation page
// aligned. The platform's placement rules hold: a body of a page or more starts a page, a smaller
// one never crosses a page boundary. Every body is at least 16-byte aligned and the rear guard
// starts right at its end, so an overrun by a single byte is caught.
constexpr size_t kAlignment = 16;
constexpr size_t kGuardSize = 16;
// Fresh bodies are not zero: the platform does not zero pool, and a driver relying on it must fail.
constexpr UCHAR kFreshFill = 0xCD;
constexpr UCHAR kFreedFill = 0xDD;
constexpr UCHAR kGuardFill = 0xFD;
constexpr uint32_t kLiveMagic = 0x4C6C6F50;   // "PolL"
constexpr uint32_t kFreedMagic = 0x466C6F50;  // "PolF"
// Freed blocks stay poisoned and owned by the pool until the quarantine outgrows either bound;
// the oldest leave first. A second free of a block still here is told apart as a double free.
constexpr size_t kQuarantineBytes = size_t(64) << 20;
constexpr size_t kQuarantineBlocks = 16384;

struct alignas(kAlignment) BlockHeader {
  uint32_t magic;
  ULONG tag;
  uint32_t type;
  uint32_t reserved;
  uint64_t size;
  uint64_t sequence;
  UCHAR frontGuard[kGuardSize];
};
static_assert(sizeof(BlockHeader) % kAlignment == 0, "the body must stay aligned");

// The table's copy of a block is the truth; the header is checked against it.
struct Block {
  BlockHeader* header;
  ULONG tag;
  POOL_TYPE type;
  SIZE_T size;
  uint64_t sequence;
};

struct PoolState {
  std::mutex lock;
  std::map<ULONG_PTR, Block> live;       // by body address, ordered to place interior pointers
  std::map<ULONG_PTR, Block> forgotten;  // still allocated, released at the next reset
  std::unordered_map<ULONG_PTR, Block> quarantined;
  std::deque<ULONG_PTR> quarantineOrder;  // oldest first
  size_t quarantineBytes = 0;
  uint64_t nextSequence = 1;
};

// Never destroyed: threads still freeing while the process exits must find it intact, and blocks
// it holds stay reachable for leak checkers.
PoolState& Pool() {
  static PoolState* state = new PoolState;
  return *state;
}

UCHAR* BodyOf(BlockHeader* header) { return reinterpret_cast<UCHAR*>(header + 1); }

// Where the body starts in the allocation: right after the header when header and body fit in
// the first page, else at the second page (a small body then still fits in that page).
size_t BodyOffset(SIZE_T size) {
  return size < PAGE_SIZE && sizeof(BlockHeader) + size <= PAGE_SIZE ? sizeof(BlockHeader)
                                                                      : PAGE_SIZE;
}

size_t RearGuardBytes(SIZE_T size) {
  return ((size + kGuardSize + kAlignment - 1) & ~(kAlignment - 1)) - size;
}

size_t BlockBytes(SIZE_T size) { return BodyOffset(size) + size + RearGuardBytes(size); }

// The start of the allocation that holds a block (the table's size, not the header's, which a
// driver may have damaged).
void* AllocationOf(const Block& block) {
  return reinterpret_cast<UCHAR*>(block.header + 1) - BodyOffset(block.size);
}

bool IsPaged(ULONG type) { return (type & 1) != 0; }
bool IsMustSucceed(ULONG type) { return (type & 2) != 0; }

// Offset of the first byte in [bytes, bytes + count) that is not `fill`, or count.
size_t FirstDamaged(const UCHAR* bytes, size_t count, UCHAR fill) {
  const UCHAR* end = bytes + count;
  return static_cast<size_t>(std::find_if(bytes, end, [fill](UCHAR b) { return b != fill; }) -
                             bytes);
}

std::string IrqlText(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
  }
}

void CheckAllocationRules(KIRQL irql, POOL_TYPE type, SIZE_T size, ULONG tag) {
  if (size == 0) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0x00, irql, type, size,
                    "pool allocation of zero bytes: tag '%s' (an empty block is a driver bug)",
                    PoolTagName(tag).c_str());
  }
  if (IsPaged(type) && irql > APC_LEVEL) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0x01, irql, type, size,
                 "paged pool allocation at %s: tag '%s', %zu bytes (paged pool needs IRQL <= "
                 "APC_LEVEL)",
                 IrqlText(irql).c_str(), PoolTagName(tag).c_str(), size);
  }
  if (irql > DISPATCH_LEVEL) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0x02, irql, type, size,
                 "pool allocation at %s: tag '%s', %zu bytes (pool needs IRQL <= DISPATCH_LEVEL)",
                 IrqlText(irql).c_str(), PoolTagName(tag).c_str(), size);
  }
  if (tag == 0) {
    BugCheckParamsF(kBadPoolCaller, 0x9B, type, size, 0,
                 "pool allocation with tag 0: %zu bytes (every allocation needs a tag)", size);
  }
  if (IsMustSucceed(type)) {
    BugCheckParamsF(kBadPoolCaller, 0x9A, type, size, tag,
                 "must-succeed pool type %u is no longer supported: tag '%s', %zu bytes",
                 (unsigned)type, PoolTagName(tag).c_str(), size);
  }
}

// A block with its guards laid and its body filled, not yet tracked; nullptr when memory runs out.
BlockHeader* NewBlock(POOL_TYPE type, SIZE_T size, ULONG tag) {
  if (size > SIZE_MAX - PAGE_SIZE - kGuardSize - kAlignment) return nullptr;
  void* allocation = nullptr;
  if (posix_memalign(&allocation, PAGE_SIZE, BlockBytes(size)) != 0) return nullptr;
  auto* header = reinterpret_cast<BlockHeader*>(static_cast<UCHAR*>(allocation) +
                                                BodyOffset(size) - sizeof(BlockHeader));
  header->magic = kLiveMagic;
  header->tag = tag;
  header->type = type;
  header->reserved = 0;
  header->size = size;
  header->sequence = 0;
  memset(header->frontGuard, kGuardFill, kGuardSize);
  UCHAR* body = BodyOf(header);
  memset(body, kFreshFill, size);
  memset(body + size, kGuardFill, RearGuardBytes(size));
  return header;
}

PVOID Track(BlockHeader* header) {
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  header->sequence = pool.nextSequence++;
  Block block{header, header->tag, static_cast<POOL_TYPE>(header->type),
              static_cast<SIZE_T>(header->size), header->sequence};
  UCHAR* body = BodyOf(header);
  pool.live.emplace(reinterpret_cast<ULONG_PTR>(body), block);
  return body;
}

[[noreturn]] void ReportForeignFree(const PoolState& pool, ULONG_PTR address) {
  auto quarantined = pool.quarantined.find(address);
  if (quarantined != pool.quarantined.end()) {
    const Block& block = quarantined->second;
    BugCheckParamsF(kBadPoolCaller, 0x07, 0, block.header->magic, address,
                 "double free: the block at %p tagged '%s' (%zu bytes) was freed already",
                 (void*)address, PoolTagName(block.tag).c_str(), block.size);
  }
  auto after = pool.live.upper_bound(address);
  if (after != pool.live.begin()) {
    auto containing = std::prev(after);
    if (address < containing->first + containing->second.size) {
      BugCheckParamsF(kBadPoolCaller, 0x46, address, 0, 0,
                   "free of an address not from the pool: %p lies %zu bytes into the block at %p "
                   "tagged '%s' (%zu bytes)",
                   (void*)address, (size_t)(address - containing->first),
                   (void*)containing->first, PoolTagName(containing->second.tag).c_str(),
                   containing->second.size);
    }
  }
  BugCheckParamsF(kBadPoolCaller, 0x46, address, 0, 0,
               "free of an address not from the pool: %p (never allocated, or freed long ago)",
               (void*)address);
}

void CheckFreeRules(KIRQL irql, const Block& block, ULONG tag) {
  UCHAR* body = BodyOf(block.header);
  if (IsPaged(block.type) && irql > APC_LEVEL) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0x11, irql, block.type, (ULONG_PTR)body,
                 "paged pool free at %s: the block at %p tagged '%s' (paged pool is freed at "
                 "IRQL <= APC_LEVEL)",
                 IrqlText(irql).c_str(), (void*)body, PoolTagName(block.tag).c_str());
  }
  if (irql > DISPATCH_LEVEL) {
    BugCheckParamsF(kDriverVerifierDetectedViolation, 0x12, irql, block.type, (ULONG_PTR)body,
                 "pool free at %s: the block at %p tagged '%s' (pool is freed at IRQL <= "
                 "DISPATCH_LEVEL)",
                 IrqlText(irql).c_str(), (void*)body, PoolTagName(block.tag).c_str());
  }
  // Tag 0 is ExFreePool's: no tag to compare.
  if (tag != 0 && tag != block.tag) {
    BugCheckParamsF(kBadPoolCaller, 0x0A, (ULONG_PTR)body, block.tag, tag,
                 "free with the wrong tag: the block at %p was allocated with tag '%s' and freed "
                 "with '%s'",
                 (void*)body, PoolTagName(block.tag).c_str(), PoolTagName(tag).c_str());
  }
}

void CheckGuards(const Block& block) {
  UCHAR* body = BodyOf(block.header);
  size_t front = FirstDamaged(block.header->frontGuard, kGuardSize, kGuardFill);
  if (front != kGuardSize) {
    BugCheckParamsF(kSpecialPoolDetectedMemoryCorruption, (ULONG_PTR)body,
                 (ULONG_PTR)&block.header->frontGuard[front], 0, 0x23,
                 "guard bytes damaged before the block at %p tagged '%s' (%zu bytes): lowest "
                 "damaged byte at body-%zu",
                 (void*)body, PoolTagName(block.tag).c_str(), block.size, kGuardSize - front);
  }
  size_t rearSize = RearGuardBytes(block.size);
  size_t rear = FirstDamaged(body + block.size, rearSize, kGuardFill);
  if (rear != rearSize) {
    BugCheckParamsF(kSpecialPoolDetectedMemoryCorruption, (ULONG_PTR)body,
                 (ULONG_PTR)(body + block.size + rear), 0, 0x24,
                 "guard bytes damaged after the block at %p tagged '%s' (%zu bytes): first "
                 "damaged byte at body+%zu",
                 (void*)body, PoolTagName(block.tag).c_str(), block.size, block.size + rear);
  }
}

void CheckHeader(const Block& block) {
  const BlockHeader* header = block.header;
  if (header->magic == kLiveMagic && header->tag == block.tag && header->type == block.type &&
      header->size == block.size && header->sequence == block.sequence) {
    return;
  }
  BugCheckParamsF(kBadPoolCaller, 0x01, (ULONG_PTR)header, header->magic, 0,
               "pool header damaged: the block at %p tagged '%s' (%zu bytes)",
               (void*)BodyOf(block.header), PoolTagName(block.tag).c_str(), block.size);
}

// Poison that changed while the block sat in the quarantine is a write after free.
void ReleaseQuarantined(const Block& block) {
  UCHAR* body = BodyOf(block.header);
  size_t written = FirstDamaged(body, block.size, kFreedFill);
  if (written != block.size) {
    BugCheckParamsF(kDriverCorruptedExpool, (ULONG_PTR)(body + written), 0, 0, (ULONG_PTR)body,
                 "write after free: the block at %p tagged '%s' (%zu bytes) was written at "
                 "offset %zu after it was freed",
                 (void*)body, PoolTagName(block.tag).c_str(), block.size, written);
  }
  CheckGuards(block);
  std::free(AllocationOf(block));
}

void ReleaseOldestQuarantined(PoolState& pool) {
  auto entry = pool.quarantined.find(pool.quarantineOrder.front());
  Block block = entry->second;
  pool.quarantined.erase(entry);
  pool.quarantineOrder.pop_front();
  pool.quarantineBytes -= BlockBytes(block.size);
  ReleaseQuarantined(block);
}

void Quarantine(PoolState& pool, const Block& block) {
  block.header->magic = kFreedMagic;
  UCHAR* body = BodyOf(block.header);
  memset(body, kFreedFill, block.size);
  ULONG_PTR address = reinterpret_cast<ULONG_PTR>(body);
  pool.quarantined.emplace(address, block);
  pool.quarantineOrder.push_back(address);
  pool.quarantineBytes += BlockBytes(block.size);
  while (pool.quarantineBytes > kQuarantineBytes ||
         pool.quarantineOrder.size() > kQuarantineBlocks) {
    ReleaseOldestQuarantined(pool);
  }
}

void FreeBlock(PVOID p, ULONG tag) {
  KIRQL irql = KeGetCurrentIrql();
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  ULONG_PTR address = reinterpret_cast<ULONG_PTR>(p);
  std::map<ULONG_PTR, Block>* table = &pool.live;
  auto found = table->find(address);
  if (found == table->end()) {
    // A block a test forgot is still the pool's; freeing it late is no fault.
    table = &pool.forgotten;
    found = table->find(address);
    if (found == table->end()) ReportForeignFree(pool, address);
  }
  Block block = found->second;
  CheckFreeRules(irql, block, tag);
  CheckGuards(block);
  CheckHeader(block);
  table->erase(found);
  Quarantine(pool, block);
}

std::string TypeName(ULONG type) {
  switch (type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolNx: return "NonPagedPoolNx";
    case NonPagedPoolNxCacheAligned: return "NonPagedPoolNxCacheAligned";
    default: return "PoolType" + std::to_string(type);
  }
}

struct TagTotals {
  size_t blocks = 0;
  size_t bytes = 0;
  std::set<ULONG> types;
};

std::string LeakLine(const std::string& name, const TagTotals& totals) {
  std::string line = name + ": " + std::to_string(totals.blocks) + " blocks, " +
                     std::to_string(totals.bytes) + " bytes (";
  const char* separator = "";
  for (ULONG type : totals.types) {
    line += separator + TypeName(type);
    separator = ", ";
  }
  return line + ")\n";
}

}  // namespace

std::string PoolTagName(ULONG tag) {
  std::string name(4, '?');
  for (int i = 0; i < 4; ++i) {
    auto c = static_cast<unsigned char>(tag >> (8 * i));
    if (c >= 0x20 && c <= 0x7E) name[i] = static_cast<char>(c);
  }
  return name;
}

std::vector<PoolBlock> PoolLiveBlocks() {
  PoolState& pool = Pool();
  std::vector<PoolBlock> blocks;
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    blocks.reserve(pool.live.size());
    for (const auto& entry : pool.live) {
      const Block& block = entry.second;
      blocks.push_back(PoolBlock{block.tag, block.type, block.size, block.sequence});
    }
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const PoolBlock& a, const PoolBlock& b) { return a.sequence < b.sequence; });
  return blocks;
}

size_t PoolLiveCount() {
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  return pool.live.size();
}

size_t PoolLiveCount(ULONG tag) {
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  auto hasTag = [tag](const auto& entry) { return entry.second.tag == tag; };
  return static_cast<size_t>(std::count_if(pool.live.begin(), pool.live.end(), hasTag));
}

bool PoolBlockContaining(const void* address, size_t length, const void** body, PoolBlock* block) {
  ULONG_PTR start = reinterpret_cast<ULONG_PTR>(address);
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  auto after = pool.live.upper_bound(start);
  if (after == pool.live.begin()) return false;
  auto containing = std::prev(after);
  const Block& live = containing->second;
  if (length > live.size || start - containing->first > live.size - length) return false;
  *body = reinterpret_cast<const void*>(containing->first);
  *block = PoolBlock{live.tag, live.type, live.size, live.sequence};
  return true;
}

bool PoolContainsRange(const void* address, size_t length, POOL_TYPE* type) {
  const void* body;
  PoolBlock block;
  if (!PoolBlockContaining(address, length, &body, &block)) return false;
  if (type != nullptr) *type = block.type;
  return true;
}

bool PoolBlockAt(const void* body, PoolBlock* block) {
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  auto found = pool.live.find(reinterpret_cast<ULONG_PTR>(body));
  if (found == pool.live.end()) return false;
  const Block& live = found->second;
  *block = PoolBlock{live.tag, live.type, live.size, live.sequence};
  return true;
}

std::string PoolLeakReport() {
  // Keyed by name first for the order, then by value so that tags printing alike stay apart.
  std::map<std::pair<std::string, ULONG>, TagTotals> byTag;
  for (const PoolBlock& block : PoolLiveBlocks()) {
    TagTotals& totals = byTag[{PoolTagName(block.tag), block.tag}];
    ++totals.blocks;
    totals.bytes += block.size;
    totals.types.insert(block.type);
  }
  std::string report;
  for (const auto& entry : byTag) report += LeakLine(entry.first.first, entry.second);
  return report;
}

void PoolForgetLiveBlocks() {
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  pool.forgotten.merge(pool.live);
  pool.live.clear();
}

void PoolResetForNextTest() {
  PoolClearFaults();
  PoolState& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  while (!pool.quarantineOrder.empty()) ReleaseOldestQuarantined(pool);
  for (const auto& entry : pool.forgotten) std::free(AllocationOf(entry.second));
  pool.forgotten.clear();
  pool.forgotten.merge(pool.live);
  pool.live.clear();
}

}  // namespace hostk

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (hostk::AllocationSiteCallFails()) return NULL;
  hostk::CheckAllocationRules(KeGetCurrentIrql(), PoolType, NumberOfBytes, Tag);
  if (hostk::PoolInjectedFailure(Tag, NumberOfBytes)) return NULL;
  hostk::BlockHeader* header = hostk::NewBlock(PoolType, NumberOfBytes, Tag);
  if (header == nullptr) return NULL;
  return hostk::Track(header);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, hostk::PoolTag("None"));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  hostk::ChaosPoint();
  hostk::FreeBlock(P, Tag);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }
