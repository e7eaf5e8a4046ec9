// The registry: an in-memory tree of keys rooted at \Registry (with the hives \Registry\Machine and
// \Registry\User), the Zw calls the driver makes on it, and the test API of hostk/registry.h.
//
// Rules, as the platform has them:
// - Key and value names compare case-insensitively (RtlUpcaseUnicodeChar) and keep the case they
//   were created with. Subkeys are kept in upcased-name order, values in the order first set.
// - ZwCreateKey creates only the last component of its path; a missing parent is
//   STATUS_OBJECT_NAME_NOT_FOUND. Only the test API creates whole paths.
// - A handle remembers the access it was opened with: reading a value needs KEY_QUERY_VALUE,
//   setting or deleting one KEY_SET_VALUE.
// - A key deleted while handles are open on it (RegistryDeleteKey, RegistryClear) is detached from
//   the tree; every call through such a handle answers STATUS_KEY_DELETED.
// - Keys cannot be created directly below \Registry, nor values set on it: the hives are fixed.
//
// One mutex guards the tree. The object manager is never called with it held, so a key object's
// last dereference (which may come from any ZwClose) never waits for the registry.
#include "host/hostk/registry.h"

#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "host/hostk/bugcheck.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/ke.h"
#include "host/ntstatus.h"
#include "host/zw.h"

namespace hostk {
namespace {

struct ValueEntry {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct KeyNode {
  std::u16string name;
  bool deleted = false;
  std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys;  // by upcased name
  std::vector<ValueEntry> values;
};
using KeyPtr = std::shared_ptr<KeyNode>;
using Names = std::vector<std::u16string>;

struct Store {
  std::mutex lock;
  KeyPtr master;  // \Registry
};

KeyPtr NewKey(const std::u16string& name) {
  KeyPtr key = std::make_shared<KeyNode>();
  key->name = name;
  return key;
}

std::u16string Upcased(const std::u16string& name) {
  std::u16string upper(name);
  for (char16_t& c : upper) c = RtlUpcaseUnicodeChar(c);
  return upper;
}

bool NamesEqual(const std::u16string& a, const std::u16string& b) {
  return a.size() == b.size() && Upcased(a) == Upcased(b);
}

void AddSubkey(KeyNode& parent, const KeyPtr& child) {
  parent.subkeys[Upcased(child->name)] = child;
}

void AddHives(KeyNode& master) {
  AddSubkey(master, NewKey(u"Machine"));
  AddSubkey(master, NewKey(u"User"));
}

Store& TheStore() {
  static Store* store = [] {
    Store* s = new Store;  // outlives handles still open at exit
    s->master = NewKey(u"Registry");
    AddHives(*s->master);
    return s;
  }();
  return *store;
}

// --- The tree (the caller holds the store lock) ---

KeyPtr FindSubkey(const KeyNode& parent, const std::u16string& name) {
  auto it = parent.subkeys.find(Upcased(name));
  return it == parent.subkeys.end() ? nullptr : it->second;
}

// Follows `names` from `key` as far as they exist; returns how many were found and leaves `key`
// at the last one found.
size_t Walk(KeyPtr& key, const Names& names) {
  size_t found = 0;
  for (const std::u16string& name : names) {
    KeyPtr next = FindSubkey(*key, name);
    if (next == nullptr) break;
    key = next;
    ++found;
  }
  return found;
}

void MarkDeleted(KeyNode& key) {
  key.deleted = true;
  for (auto& entry : key.subkeys) MarkDeleted(*entry.second);
}

// Detaches everything below `key`, which stays.
void Empty(KeyNode& key) {
  for (auto& entry : key.subkeys) MarkDeleted(*entry.second);
  key.subkeys.clear();
  key.values.clear();
}

ValueEntry* FindValue(KeyNode& key, const std::u16string& name) {
  for (ValueEntry& value : key.values) {
    if (NamesEqual(value.name, name)) return &value;
  }
  return nullptr;
}

void SetValue(KeyNode& key, const std::u16string& name, ULONG type, const uint8_t* data,
              size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (ValueEntry* existing = FindValue(key, name)) {
    existing->type = type;
    existing->data = std::move(bytes);
    return;
  }
  key.values.push_back(ValueEntry{name, type, std::move(bytes)});
}

bool DeleteValue(KeyNode& key, const std::u16string& name) {
  for (auto it = key.values.begin(); it != key.values.end(); ++it) {
    if (NamesEqual(it->name, name)) {
      key.values.erase(it);
      return true;
    }
  }
  return false;
}

// --- Paths ---

// Splits a path relative to some key into its names; false when a name is empty (a doubled or
// trailing separator).
bool SplitRelative(const std::u16string& path, Names* names) {
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string name = path.substr(start, end == std::u16string::npos ? end : end - start);
    if (name.empty()) return false;
    names->push_back(name);
    if (end == std::u16string::npos) return true;
    start = end + 1;
  }
}

[[noreturn]] void TestApiMisuse(const std::string& path, const char* why) {
  BugCheckF(kManuallyInitiatedCrash, "registry test API: \"%s\" %s", path.c_str(), why);
}

// The names below \Registry of a full path given to the test API.
Names TestPathNames(const std::string& path) {
  std::u16string wide = Utf8ToUtf16(path);
  Names names;
  if (wide.empty() || wide[0] != u'\\' || !SplitRelative(wide.substr(1), &names) ||
      !NamesEqual(names[0], u"Registry")) {
    TestApiMisuse(path, "is not a full registry path (\\Registry\\...)");
  }
  names.erase(names.begin());
  return names;
}

// Creates every missing key along `names` below the master key.
KeyPtr CreatePath(const std::string& path, const Names& names) {
  if (names.empty()) TestApiMisuse(path, "names the master key, which is fixed");
  KeyPtr key = TheStore().master;
  size_t found = Walk(key, names);
  if (found == 0) {
    TestApiMisuse(path, "is outside the hives \\Registry\\Machine and \\Registry\\User");
  }
  for (size_t i = found; i < names.size(); ++i) {
    KeyPtr child = NewKey(names[i]);
    AddSubkey(*key, child);
    key = child;
  }
  return key;
}

KeyPtr FindPath(const Names& names) {
  KeyPtr key = TheStore().master;
  return Walk(key, names) == names.size() ? key : nullptr;
}

std::u16string FromCounted(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return std::u16string();
  return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// --- Key objects behind handles ---

constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

struct KeyObject {
  KeyPtr key;
  ACCESS_MASK access;
};

void DestroyKeyObject(void* body) { static_cast<KeyObject*>(body)->~KeyObject(); }

const ObjectType kKeyType = {"Key", DestroyKeyObject};

// Generic rights map onto the key rights as the platform maps them for keys.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted =
      desired & ~(kGenericRead | kGenericWrite | kGenericExecute | kGenericAll | kMaximumAllowed);
  if (desired & (kGenericRead | kGenericExecute)) granted |= KEY_READ;
  if (desired & kGenericWrite) granted |= KEY_WRITE;
  if (desired & (kGenericAll | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
  return granted;
}

NTSTATUS InsertKeyHandle(const KeyPtr& key, ACCESS_MASK desired, PHANDLE handle) {
  void* body = ObCreateObject(&kKeyType, sizeof(KeyObject));
  new (body) KeyObject{key, MapKeyAccess(desired)};
  HANDLE inserted = ObInsertHandle(body);
  ObfDereferenceObject(body);  // the handle holds the object now
  if (inserted == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  *handle = inserted;
  return STATUS_SUCCESS;
}

// The key behind a handle, when the handle grants `needed`.
NTSTATUS KeyFromHandle(HANDLE handle, ACCESS_MASK needed, KeyPtr* key) {
  void* body = nullptr;
  NTSTATUS status = ObReferenceByHandle(handle, &kKeyType, &body);
  if (!NT_SUCCESS(status)) return status;
  KeyObject* object = static_cast<KeyObject*>(body);
  bool allowed = (object->access & needed) == needed;
  *key = object->key;
  ObfDereferenceObject(body);
  return allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

// Where a Zw lookup starts and the names it follows from there, from its object attributes.
NTSTATUS ResolveName(POBJECT_ATTRIBUTES attributes, KeyPtr* start, Names* names) {
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
    return STATUS_INVALID_PARAMETER;
  }
  PUNICODE_STRING objectName = attributes->ObjectName;
  if (objectName != nullptr && (objectName->Length % sizeof(WCHAR)) != 0) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  std::u16string path = FromCounted(objectName);
  if (attributes->RootDirectory != NULL) {
    NTSTATUS status = KeyFromHandle(attributes->RootDirectory, 0, start);
    if (!NT_SUCCESS(status)) return status;
    if (path.empty()) return STATUS_SUCCESS;  // the root key itself
    if (path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return SplitRelative(path, names) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
  }
  if (path.empty()) return STATUS_OBJECT_NAME_INVALID;
  if (path[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  // The namespace root is a directory, not a key.
  if (path.size() == 1) return STATUS_OBJECT_TYPE_MISMATCH;
  if (!SplitRelative(path.substr(1), names)) return STATUS_OBJECT_NAME_INVALID;
  if (!NamesEqual((*names)[0], u"Registry")) return STATUS_OBJECT_NAME_NOT_FOUND;
  names->erase(names->begin());
  *start = TheStore().master;
  return STATUS_SUCCESS;
}

// Opens or (when `disposition` is given) creates the key the attributes name.
NTSTATUS OpenOrCreate(POBJECT_ATTRIBUTES attributes, KeyPtr* key, PULONG disposition, bool create) {
  Names names;
  NTSTATUS status = ResolveName(attributes, key, &names);
  if (!NT_SUCCESS(status)) return status;
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  if ((*key)->deleted) return STATUS_KEY_DELETED;
  size_t found = Walk(*key, names);
  if (found == names.size()) {
    if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
  }
  if (!create || found + 1 < names.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (*key == store.master) return STATUS_ACCESS_DENIED;
  KeyPtr child = NewKey(names.back());
  AddSubkey(**key, child);
  *key = child;
  if (disposition != nullptr) *disposition = REG_CREATED_NEW_KEY;
  return STATUS_SUCCESS;
}

// Runs `action` on the live key behind `handle` with the store locked.
template <typename Action>
NTSTATUS WithKey(HANDLE handle, ACCESS_MASK needed, Action action) {
  KeyPtr key;
  NTSTATUS status = KeyFromHandle(handle, needed, &key);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::mutex> guard(TheStore().lock);
  if (key->deleted) return STATUS_KEY_DELETED;
  return action(*key);
}

NTSTATUS WritePartialInformation(const ValueEntry& value, PVOID buffer, ULONG length,
                                 PULONG resultLength) {
  constexpr ULONG kFixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  const uint64_t needed = (uint64_t)kFixed + value.data.size();
  *resultLength = (ULONG)needed;
  if (length < kFixed) return STATUS_BUFFER_TOO_SMALL;
  KEY_VALUE_PARTIAL_INFORMATION fixed = {};
  fixed.TitleIndex = 0;
  fixed.Type = value.type;
  fixed.DataLength = (ULONG)value.data.size();
  memcpy(buffer, &fixed, kFixed);
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  if (!value.data.empty()) memcpy((PUCHAR)buffer + kFixed, value.data.data(), value.data.size());
  return STATUS_SUCCESS;
}

}  // namespace

// --- Test API ---

void RegistryCreateKey(const std::string& path) {
  Names names = TestPathNames(path);
  std::lock_guard<std::mutex> guard(TheStore().lock);
  CreatePath(path, names);
}

bool RegistryKeyExists(const std::string& path) {
  Names names = TestPathNames(path);
  std::lock_guard<std::mutex> guard(TheStore().lock);
  return FindPath(names) != nullptr;
}

void RegistryDeleteKey(const std::string& path) {
  Names names = TestPathNames(path);
  if (names.size() < 2) TestApiMisuse(path, "is the master key or a hive, which cannot be deleted");
  std::u16string last = names.back();
  names.pop_back();
  std::lock_guard<std::mutex> guard(TheStore().lock);
  KeyPtr parent = FindPath(names);
  if (parent == nullptr) return;
  KeyPtr key = FindSubkey(*parent, last);
  if (key == nullptr) return;
  MarkDeleted(*key);
  parent->subkeys.erase(Upcased(last));
}

void RegistrySetValue(const std::string& path, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data) {
  Names names = TestPathNames(path);
  std::lock_guard<std::mutex> guard(TheStore().lock);
  KeyPtr key = CreatePath(path, names);
  SetValue(*key, Utf8ToUtf16(name), type, data.data(), data.size());
}

std::optional<RegistryValue> RegistryGetValue(const std::string& path, const std::string& name) {
  Names names = TestPathNames(path);
  std::lock_guard<std::mutex> guard(TheStore().lock);
  KeyPtr key = FindPath(names);
  if (key == nullptr) return std::nullopt;
  const ValueEntry* value = FindValue(*key, Utf8ToUtf16(name));
  if (value == nullptr) return std::nullopt;
  return RegistryValue{value->type, value->data};
}

void RegistryClear() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  // The hives stay (handles open on them keep working); everything in them goes.
  for (auto& hive : store.master->subkeys) Empty(*hive.second);
}

void RegistryResetForNextTest() { RegistryClear(); }

namespace {

void SnapshotBelow(const KeyNode& key, const std::string& path,
                   std::vector<RegistryKeyRecord>* records) {
  for (const auto& entry : key.subkeys) {
    const KeyNode& child = *entry.second;
    RegistryKeyRecord record;
    record.path = path + "\\" + Utf16ToUtf8(child.name);
    for (const ValueEntry& value : child.values) {
      record.values.emplace_back(Utf16ToUtf8(value.name), RegistryValue{value.type, value.data});
    }
    records->push_back(record);
    SnapshotBelow(child, record.path, records);
  }
}

}  // namespace

std::vector<RegistryKeyRecord> RegistrySnapshot() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> guard(store.lock);
  std::vector<RegistryKeyRecord> records;
  SnapshotBelow(*store.master, "\\Registry", &records);
  return records;
}

}  // namespace hostk

// --- The platform calls ---

using hostk::KeyNode;
using hostk::KeyPtr;

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                           POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                           PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
  // Titles, classes and volatility have no effect on what the driver can observe here.
  UNREFERENCED_PARAMETER(TitleIndex);
  UNREFERENCED_PARAMETER(Class);
  UNREFERENCED_PARAMETER(CreateOptions);
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG disposition = 0;
  KeyPtr key;
  NTSTATUS status = hostk::OpenOrCreate(ObjectAttributes, &key, &disposition, true);
  if (!NT_SUCCESS(status)) return status;
  status = hostk::InsertKeyHandle(key, DesiredAccess, KeyHandle);
  if (NT_SUCCESS(status) && Disposition != nullptr) *Disposition = disposition;
  return status;
}

NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  KeyPtr key;
  NTSTATUS status = hostk::OpenOrCreate(ObjectAttributes, &key, nullptr, false);
  if (!NT_SUCCESS(status)) return status;
  return hostk::InsertKeyHandle(key, DesiredAccess, KeyHandle);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (ValueName == nullptr || ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (KeyValueInformation == nullptr && Length != 0) return STATUS_INVALID_PARAMETER;
  // Only the partial record is modelled; the basic and full records are not declared here.
  if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  std::u16string name = hostk::FromCounted(ValueName);
  return hostk::WithKey(KeyHandle, KEY_QUERY_VALUE, [&](KeyNode& key) {
    const hostk::ValueEntry* value = hostk::FindValue(key, name);
    if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return hostk::WritePartialInformation(*value, KeyValueInformation, Length, ResultLength);
  });
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
  UNREFERENCED_PARAMETER(TitleIndex);
  if (ValueName == nullptr || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
  std::u16string name = hostk::FromCounted(ValueName);
  return hostk::WithKey(KeyHandle, KEY_SET_VALUE, [&](KeyNode& key) {
    if (&key == hostk::TheStore().master.get()) return STATUS_ACCESS_DENIED;
    hostk::SetValue(key, name, Type, (const uint8_t*)Data, DataSize);
    return STATUS_SUCCESS;
  });
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  hostk::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
  if (ValueName == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string name = hostk::FromCounted(ValueName);
  return hostk::WithKey(KeyHandle, KEY_SET_VALUE, [&](KeyNode& key) {
    return hostk::DeleteValue(key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  });
}
