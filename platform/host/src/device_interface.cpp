// Device interfaces: registration, enabling and disabling, and the lookups clients open them by.
//
// Registrations outlive the device they named, as on the platform (where they live in the registry
// under the device's instance path): deleting the device disables its interfaces, and a new device
// with the same instance path registering the same class gets the same link name back.
//
// The platform requires a physical device object. The host kernel does not know which devices a bus
// driver created, so it accepts any live device that is not attached on top of another one (a
// device attached to a stack is a function or filter device, never a PDO: passing one is a driver
// bug).
#include <cstdio>
#include <mutex>
#include <vector>

#include "host/hostk/allocation_sites.h"
#include "host/hostk/client.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/hostk/pool.h"
#include "host/hostk/registry.h"
#include "host/ntstatus.h"
#include "interface_notification.h"
#include "io_internal.h"

namespace hostk {
namespace {

struct InterfaceRecord {
  std::u16string link;
  std::u16string referenceString;
  GUID classGuid;
  PDEVICE_OBJECT device;  // nullptr once the device was deleted
  bool enabled;
};

struct InstancePath {
  PDEVICE_OBJECT device;
  std::string path;
};

struct InterfaceTable {
  std::mutex lock;
  std::vector<InterfaceRecord> interfaces;  // registration order
  std::vector<InstancePath> instancePaths;
  unsigned nextRootInstance = 0;
};

InterfaceTable& Table() {
  static InterfaceTable* table = new InterfaceTable;  // outlives detached threads at exit
  return *table;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  }
  return true;
}

std::u16string FromCounted(PCUNICODE_STRING text) {
  if (text == nullptr || text->Buffer == nullptr) return std::u16string();
  return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

// The caller holds the table lock.
InterfaceRecord* FindLocked(const std::u16string& link) {
  for (InterfaceRecord& record : Table().interfaces) {
    if (EqualNoCase(record.link, link)) return &record;
  }
  return nullptr;
}

// The caller holds the table lock.
std::string InstancePathLocked(PDEVICE_OBJECT device) {
  for (const InstancePath& entry : Table().instancePaths) {
    if (entry.device == device) return entry.path;
  }
  char path[32];
  snprintf(path, sizeof(path), "ROOT\\HOSTK\\%04u", Table().nextRootInstance++);
  Table().instancePaths.push_back({device, path});
  return path;
}

std::u16string LinkName(const std::string& instancePath, const GUID& classGuid,
                        const std::u16string& referenceString) {
  std::string link = "\\??\\" + instancePath + "\\" + GuidToString(classGuid);
  for (size_t i = 4; i < link.size(); i++) {
    if (link[i] == '\\') link[i] = '#';
  }
  std::u16string wide = Utf8ToUtf16(link);
  if (!referenceString.empty()) wide += u"\\" + referenceString;
  return wide;
}

bool CanBePhysicalDevice(PDEVICE_OBJECT device) {
  const ObjectType* type = ObTypeOf(device);
  if (type == nullptr || strcmp(type->name, "Device") != 0) return false;
  return !IoIsDeviceDeleted(device) && IoLowerDevice(device) == nullptr;
}

bool ValidReferenceString(const std::u16string& text) {
  return text.find(u'\\') == std::u16string::npos && text.find(u'/') == std::u16string::npos;
}

// A pool copy the caller frees with RtlFreeUnicodeString.
NTSTATUS CopyToPool(const std::u16string& text, PUNICODE_STRING out) {
  size_t bytes = text.size() * sizeof(WCHAR);
  PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), PoolTag("IoIf"));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, text.data(), bytes);
  buffer[text.size()] = 0;
  out->Buffer = buffer;
  out->Length = (USHORT)bytes;
  out->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at `text[*at]`, then skips an expected dash.
bool ReadHex(const std::string& text, size_t* at, int digits, uint64_t* value, bool dash) {
  *value = 0;
  for (int i = 0; i < digits; i++, (*at)++) {
    int digit = *at < text.size() ? HexDigit(text[*at]) : -1;
    if (digit < 0) return false;
    *value = (*value << 4) | (uint64_t)digit;
  }
  if (!dash) return true;
  if (*at >= text.size() || text[*at] != '-') return false;
  (*at)++;
  return true;
}

}  // namespace

bool GuidFromString(const std::string& text, GUID* guid) {
  std::string body = text;
  if (body.size() == 38 && body.front() == '{' && body.back() == '}') {
    body = body.substr(1, 36);
  }
  if (body.size() != 36) return false;
  size_t at = 0;
  uint64_t data1, data2, data3, clock, node;
  if (!ReadHex(body, &at, 8, &data1, true) || !ReadHex(body, &at, 4, &data2, true) ||
      !ReadHex(body, &at, 4, &data3, true) || !ReadHex(body, &at, 4, &clock, true) ||
      !ReadHex(body, &at, 12, &node, false)) {
    return false;
  }
  guid->Data1 = (ULONG)data1;
  guid->Data2 = (USHORT)data2;
  guid->Data3 = (USHORT)data3;
  guid->Data4[0] = (UCHAR)(clock >> 8);
  guid->Data4[1] = (UCHAR)clock;
  for (int i = 0; i < 6; i++) guid->Data4[2 + i] = (UCHAR)(node >> (8 * (5 - i)));
  return true;
}

std::string GuidToString(const GUID& guid) {
  char text[40];
  snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
           (unsigned)guid.Data1, (unsigned)guid.Data2, (unsigned)guid.Data3, guid.Data4[0],
           guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
           guid.Data4[7]);
  return text;
}

bool GuidEqual(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

void IoSetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::string& instancePath) {
  std::lock_guard<std::mutex> guard(Table().lock);
  for (InstancePath& entry : Table().instancePaths) {
    if (entry.device == pdo) {
      entry.path = instancePath;
      return;
    }
  }
  Table().instancePaths.push_back({pdo, instancePath});
}

std::string IoDeviceInstancePath(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(Table().lock);
  return InstancePathLocked(pdo);
}

std::vector<DeviceInterface> IoEnabledDeviceInterfaces(const GUID& classGuid) {
  std::lock_guard<std::mutex> guard(Table().lock);
  std::vector<DeviceInterface> found;
  for (const InterfaceRecord& record : Table().interfaces) {
    if (record.enabled && GuidEqual(record.classGuid, classGuid)) {
      found.push_back(
          {Utf16ToUtf8(record.link), Utf16ToUtf8(record.referenceString), record.device});
    }
  }
  return found;
}

bool IoIsDeviceInterfaceEnabled(const std::string& symbolicLink) {
  std::lock_guard<std::mutex> guard(Table().lock);
  InterfaceRecord* record = FindLocked(Utf8ToUtf16(symbolicLink));
  return record != nullptr && record->enabled;
}

bool IoReferenceEnabledInterface(const std::string& symbolicLink, PDEVICE_OBJECT* device,
                                 std::string* referenceString) {
  std::lock_guard<std::mutex> guard(Table().lock);
  InterfaceRecord* record = FindLocked(Utf8ToUtf16(symbolicLink));
  if (record == nullptr || !record->enabled) return false;
  // An enabled interface's device is not deleted yet: IoDeleteDevice disables under this lock
  // before it drops the device.
  ObfReferenceObject(record->device);
  *device = record->device;
  *referenceString = Utf16ToUtf8(record->referenceString);
  return true;
}

void IoVisitEnabledInterfaces(const GUID& classGuid,
                              const std::function<void(const std::vector<std::string>&)>& visit) {
  std::lock_guard<std::mutex> guard(Table().lock);
  std::vector<std::string> links;
  for (const InterfaceRecord& record : Table().interfaces) {
    if (record.enabled && GuidEqual(record.classGuid, classGuid)) {
      links.push_back(Utf16ToUtf8(record.link));
    }
  }
  visit(links);
}

void IoDisableInterfacesOf(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(Table().lock);
  for (InterfaceRecord& record : Table().interfaces) {
    if (record.device != device) continue;
    if (record.enabled) IoNoteInterfaceChange(false, record.classGuid, Utf16ToUtf8(record.link));
    record.enabled = false;
    record.device = nullptr;
  }
  // The address may come back as another device: the instance path stays with the names only.
  auto& paths = Table().instancePaths;
  for (auto it = paths.begin(); it != paths.end(); ++it) {
    if (it->device == device) {
      paths.erase(it);
      break;
    }
  }
}

void IoDeviceInterfacesResetForNextTest() {
  std::lock_guard<std::mutex> guard(Table().lock);
  Table().interfaces.clear();
  Table().instancePaths.clear();
  Table().nextRootInstance = 0;
  IoInterfaceNotificationsResetForNextTest();
}

}  // namespace hostk

using namespace hostk;

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  if (hostk::AllocationSiteCallFails()) return STATUS_INSUFFICIENT_RESOURCES;
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
  std::u16string reference = FromCounted(ReferenceString);
  if (!CanBePhysicalDevice(PhysicalDeviceObject) || !ValidReferenceString(reference)) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::u16string link;
  {
    std::lock_guard<std::mutex> guard(Table().lock);
    link = LinkName(InstancePathLocked(PhysicalDeviceObject), *InterfaceClassGuid, reference);
    InterfaceRecord* record = FindLocked(link);
    if (record == nullptr) {
      Table().interfaces.push_back(
          {link, reference, *InterfaceClassGuid, PhysicalDeviceObject, false});
    } else {
      record->device = PhysicalDeviceObject;
    }
  }
  return CopyToPool(link, SymbolicLinkName);
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
  std::lock_guard<std::mutex> guard(Table().lock);
  InterfaceRecord* record = FindLocked(FromCounted(SymbolicLinkName));
  if (record == nullptr || record->device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Enable) {
    if (record->enabled) return STATUS_OBJECT_NAME_EXISTS;
    record->enabled = true;
  } else {
    if (!record->enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    record->enabled = false;
  }
  IoNoteInterfaceChange(record->enabled, record->classGuid, Utf16ToUtf8(record->link));
  return STATUS_SUCCESS;
}
