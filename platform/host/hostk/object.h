// The object manager of the host kernel: reference-counted objects with a hidden header, and one
// handle table for the kernel's handles (threads, registry keys). Used by host-kernel modules and
// the simulated world; driver code reaches it only through the platform calls (ObReferenceObjectByHandle,
// ObfReferenceObject, ObfDereferenceObject, ZwClose).
#pragma once

#include <string>

#include "host/ntdef.h"

namespace hostk {

struct ObjectType {
  const char* name;
  // Called once when the last reference is dropped, before the memory is released.
  void (*destroy)(void* body);
};

// A new object with one reference held by the caller; the body is zero-filled and 16-byte aligned.
void* ObCreateObject(const ObjectType* type, size_t bodySize);

// The type of an object body, or nullptr when the pointer is not a live object.
const ObjectType* ObTypeOf(const void* body);

LONG ObReferenceCount(const void* body);

// A new handle that holds its own reference on the object.
HANDLE ObInsertHandle(void* body);

// The object behind a handle with one more reference, or STATUS_INVALID_HANDLE /
// STATUS_OBJECT_TYPE_MISMATCH (type may be nullptr for any type).
LONG ObReferenceByHandle(HANDLE handle, const ObjectType* type, void** body);

// Closes a handle and drops its reference; STATUS_INVALID_HANDLE when it is not open.
LONG ObCloseHandle(HANDLE handle);

size_t ObOpenHandleCount();
size_t ObLiveObjectCount(const ObjectType* type);
// One line per open handle and per live object type, for leak reports.
std::string ObReport();

}  // namespace hostk
