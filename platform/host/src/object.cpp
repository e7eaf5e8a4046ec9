// Reference-counted objects with a hidden header, and the kernel handle table.
#include "host/hostk/object.h"

#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>

#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/ke.h"
#include "host/ntstatus.h"
#include "host/zw.h"

namespace hostk {
namespace {

constexpr uint64_t kObjectMagic = 0x4B784F626A656374ull;  // "KxObject"

struct alignas(16) ObjectHeader {
  uint64_t magic;
  const ObjectType* type;
  LONG references;
};

struct ObjectTable {
  std::mutex lock;
  std::set<const void*> live;           // bodies
  std::map<uintptr_t, void*> handles;   // handle value -> body
  uintptr_t nextHandle = 0x80000004u;   // kernel handles, as on 32-bit Windows
};

ObjectTable& Table() {
  static ObjectTable* table = new ObjectTable;  // outlives detached threads at exit
  return *table;
}

ObjectHeader* HeaderOf(const void* body) {
  return (ObjectHeader*)((const char*)body - sizeof(ObjectHeader));
}

// The caller holds the table lock.
ObjectHeader* LiveHeaderLocked(const void* body, const char* what) {
  if (body == nullptr || Table().live.count(body) == 0) {
    BugCheckF(kInvalidDataAccessTrap, "%s of %p, which is not a live object", what, body);
  }
  return HeaderOf(body);
}

}  // namespace

void* ObCreateObject(const ObjectType* type, size_t bodySize) {
  void* memory = ::operator new(sizeof(ObjectHeader) + bodySize, std::align_val_t(16));
  ObjectHeader* header = new (memory) ObjectHeader{kObjectMagic, type, 1};
  void* body = header + 1;
  memset(body, 0, bodySize);
  std::lock_guard<std::mutex> guard(Table().lock);
  Table().live.insert(body);
  return body;
}

const ObjectType* ObTypeOf(const void* body) {
  std::lock_guard<std::mutex> guard(Table().lock);
  if (Table().live.count(body) == 0) return nullptr;
  return HeaderOf(body)->type;
}

LONG ObReferenceCount(const void* body) {
  std::lock_guard<std::mutex> guard(Table().lock);
  return LiveHeaderLocked(body, "ObReferenceCount")->references;
}

HANDLE ObInsertHandle(void* body) {
  std::lock_guard<std::mutex> guard(Table().lock);
  LiveHeaderLocked(body, "ObInsertHandle")->references++;
  uintptr_t value = Table().nextHandle;
  Table().nextHandle += 4;
  Table().handles[value] = body;
  return (HANDLE)value;
}

LONG ObReferenceByHandle(HANDLE handle, const ObjectType* type, void** body) {
  std::lock_guard<std::mutex> guard(Table().lock);
  auto it = Table().handles.find((uintptr_t)handle);
  if (it == Table().handles.end()) return STATUS_INVALID_HANDLE;
  ObjectHeader* header = HeaderOf(it->second);
  if (type != nullptr && header->type != type) return STATUS_OBJECT_TYPE_MISMATCH;
  header->references++;
  *body = it->second;
  return STATUS_SUCCESS;
}

LONG ObCloseHandle(HANDLE handle) {
  void* body;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    auto it = Table().handles.find((uintptr_t)handle);
    if (it == Table().handles.end()) return STATUS_INVALID_HANDLE;
    body = it->second;
    Table().handles.erase(it);
  }
  ObfDereferenceObject(body);
  return STATUS_SUCCESS;
}

size_t ObOpenHandleCount() {
  std::lock_guard<std::mutex> guard(Table().lock);
  return Table().handles.size();
}

size_t ObLiveObjectCount(const ObjectType* type) {
  std::lock_guard<std::mutex> guard(Table().lock);
  size_t count = 0;
  for (const void* body : Table().live) count += HeaderOf(body)->type == type;
  return count;
}

std::string ObReport() {
  std::lock_guard<std::mutex> guard(Table().lock);
  std::ostringstream out;
  for (const auto& [value, body] : Table().handles) {
    out << "handle 0x" << std::hex << value << std::dec << " open on a "
        << HeaderOf(body)->type->name << " object\n";
  }
  return out.str();
}

}  // namespace hostk

using hostk::HeaderOf;

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  std::lock_guard<std::mutex> guard(hostk::Table().lock);
  return ++hostk::LiveHeaderLocked(Object, "ObfReferenceObject")->references;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  hostk::ObjectHeader* header;
  {
    std::lock_guard<std::mutex> guard(hostk::Table().lock);
    header = hostk::LiveHeaderLocked(Object, "ObfDereferenceObject");
    if (--header->references > 0) return header->references;
    hostk::Table().live.erase(Object);
  }
  // The last reference is gone: nobody else can reach the object any more.
  if (header->type->destroy != nullptr) header->type->destroy(Object);
  header->magic = 0;
  ::operator delete(header, std::align_val_t(16));
  return 0;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  return hostk::ObCloseHandle(Handle);
}
