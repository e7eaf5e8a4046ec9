// The registry: Zw calls as the driver makes them, the test API, and .reg export and import.
#include <gtest/gtest.h>
#include <strings.h>

#include <string>
#include <thread>
#include <vector>

#include "host/hostk.h"
#include "host/ntddk.h"

namespace {

constexpr char kServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr ULONG kFixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

// A key handle that closes itself.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle_ != NULL) {
      EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle_));
    }
  }
  PHANDLE out() { return &handle_; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = NULL;
};

OBJECT_ATTRIBUTES Attributes(PUNICODE_STRING name, HANDLE root) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                             NULL);
  return attributes;
}

NTSTATUS OpenKey(const char16_t* path, Key* key, HANDLE root = NULL,
                 ACCESS_MASK access = KEY_ALL_ACCESS) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes = Attributes(&name, root);
  return ZwOpenKey(key->out(), access, &attributes);
}

NTSTATUS CreateKey(const char16_t* path, Key* key, ULONG* disposition = nullptr,
                   HANDLE root = NULL) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes = Attributes(&name, root);
  return ZwCreateKey(key->out(), KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                     disposition);
}

NTSTATUS SetValue(HANDLE key, const char16_t* valueName, ULONG type, std::vector<uint8_t> data) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  return ZwSetValueKey(key, &name, 0, type, data.data(), (ULONG)data.size());
}

NTSTATUS Query(HANDLE key, const char16_t* valueName, void* buffer, ULONG length,
               ULONG* resultLength) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, length, resultLength);
}

// The value's type and data, read the way the driver reads: size first, then the record.
hostk::RegistryValue ReadValue(HANDLE key, const char16_t* valueName) {
  ULONG needed = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key, valueName, nullptr, 0, &needed));
  std::vector<uint8_t> buffer(needed);
  ULONG written = 0;
  EXPECT_EQ(STATUS_SUCCESS, Query(key, valueName, buffer.data(), needed, &written));
  EXPECT_EQ(needed, written);
  KEY_VALUE_PARTIAL_INFORMATION fixed;
  memcpy(&fixed, buffer.data(), kFixed);
  return {fixed.Type, std::vector<uint8_t>(buffer.begin() + kFixed, buffer.end())};
}

std::vector<uint8_t> WideBytes(const std::u16string& text, bool terminated = true) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back((uint8_t)c);
    bytes.push_back((uint8_t)(c >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

std::string ServicesPath(const std::string& below = "") {
  return below.empty() ? kServices : std::string(kServices) + "\\" + below;
}

// The values of one key, in the order the snapshot lists them.
std::vector<std::pair<std::string, hostk::RegistryValue>> ValuesOf(const std::string& path) {
  for (const hostk::RegistryKeyRecord& key : hostk::RegistrySnapshot()) {
    if (strcasecmp(key.path.c_str(), path.c_str()) == 0) return key.values;
  }
  ADD_FAILURE() << path << " is not in the snapshot";
  return {};
}

// --- Opening and creating keys ---

TEST(RegistryKeys, OpenOfMissingKeyFails) {
  Key key;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            OpenKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KxBusIdd", &key));
  EXPECT_EQ(NULL, key.get());
}

TEST(RegistryKeys, CreateMakesTheKeyThenOpensIt) {
  hostk::RegistryCreateKey(kServices);
  const char16_t* path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KxBusIdd";
  ULONG disposition = 0;
  {
    Key key;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(path, &key, &disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
    EXPECT_EQ(STATUS_SUCCESS, SetValue(key.get(), u"Start", REG_DWORD, {3, 0, 0, 0}));
  }
  EXPECT_TRUE(hostk::RegistryKeyExists(ServicesPath("KxBusIdd")));
  auto start = hostk::RegistryGetValue(ServicesPath("KxBusIdd"), "Start");
  ASSERT_TRUE(start.has_value());
  EXPECT_EQ((ULONG)REG_DWORD, start->type);
  EXPECT_EQ((std::vector<uint8_t>{3, 0, 0, 0}), start->data);

  Key again;
  ASSERT_EQ(STATUS_SUCCESS, CreateKey(path, &again, &disposition));
  EXPECT_EQ((ULONG)REG_OPENED_EXISTING_KEY, disposition);
}

TEST(RegistryKeys, CreateWithMissingParentFailsAndCreatesNothing) {
  // The platform creates only the last name of the path.
  Key key;
  ULONG disposition = 0xFFFF;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
            CreateKey(u"\\Registry\\Machine\\Software\\Kx\\Settings", &key, &disposition));
  EXPECT_EQ(0xFFFFu, disposition);
  EXPECT_FALSE(hostk::RegistryKeyExists("\\Registry\\Machine\\Software"));
}

TEST(RegistryKeys, MalformedNamesAreRejected) {
  struct Case {
    const char16_t* name;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {u"", STATUS_OBJECT_NAME_INVALID},
      {u"Registry\\Machine\\Kx", STATUS_OBJECT_PATH_SYNTAX_BAD},
      {u"\\Registry\\Machine\\\\Kx", STATUS_OBJECT_NAME_INVALID},
      {u"\\Registry\\Machine\\Kx\\", STATUS_OBJECT_NAME_INVALID},
      {u"\\", STATUS_OBJECT_TYPE_MISMATCH},
      {u"\\Device\\Kx", STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\Registry\\Kx", STATUS_ACCESS_DENIED},  // the hives are fixed
  };
  for (const Case& c : cases) {
    Key key;
    EXPECT_EQ(c.expected, CreateKey(c.name, &key)) << hostk::Utf16ToUtf8(c.name);
  }

  OBJECT_ATTRIBUTES noName = Attributes(nullptr, NULL);
  HANDLE handle = NULL;
  EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, ZwOpenKey(&handle, KEY_READ, &noName));
  UNICODE_STRING odd = RTL_CONSTANT_STRING(u"\\Registry\\Machine");
  odd.Length = 3;
  OBJECT_ATTRIBUTES oddName = Attributes(&odd, NULL);
  EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, ZwOpenKey(&handle, KEY_READ, &oddName));
  noName.Length = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ZwOpenKey(&handle, KEY_READ, &noName));
}

TEST(RegistryKeys, NamesRelativeToARootKey) {
  hostk::RegistrySetValue(ServicesPath("KxBusIdd"), "Start", REG_DWORD, {3, 0, 0, 0});
  Key services;
  ASSERT_EQ(STATUS_SUCCESS,
            OpenKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &services));

  Key parameters;
  ULONG disposition = 0;
  ASSERT_EQ(STATUS_SUCCESS,
            CreateKey(u"KxBusIdd\\Parameters", &parameters, &disposition, services.get()));
  EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
  EXPECT_TRUE(hostk::RegistryKeyExists(ServicesPath("KxBusIdd\\Parameters")));

  Key same;  // an empty name opens the root key itself
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(u"", &same, services.get()));
  Key driver;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(u"KxBusIdd", &driver, same.get()));
  EXPECT_EQ((std::vector<uint8_t>{3, 0, 0, 0}), ReadValue(driver.get(), u"Start").data);

  Key absolute;
  EXPECT_EQ(STATUS_OBJECT_PATH_SYNTAX_BAD,
            OpenKey(u"\\Registry\\Machine", &absolute, services.get()));
}

TEST(RegistryKeys, NamesAreCaseInsensitiveAndKeepTheirCase) {
  hostk::RegistryCreateKey(ServicesPath("KxBusIdd"));
  Key key;
  ASSERT_EQ(STATUS_SUCCESS,
            OpenKey(u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\KXBUSIDD", &key));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key.get(), u"FrameRate", REG_DWORD, {30, 0, 0, 0}));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key.get(), u"FRAMERATE", REG_DWORD, {60, 0, 0, 0}));
  EXPECT_EQ((std::vector<uint8_t>{60, 0, 0, 0}), ReadValue(key.get(), u"framerate").data);

  auto values = ValuesOf(ServicesPath("KxBusIdd"));
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ("FrameRate", values[0].first);
}

TEST(RegistryKeys, SubkeysAreOrderedByUpcasedNameAndParentsComeFirst) {
  for (const char* name : {"b", "A", "c", "B\\x"}) hostk::RegistryCreateKey(ServicesPath(name));
  std::vector<std::string> paths;
  const size_t prefix = ServicesPath().size();
  for (const auto& key : hostk::RegistrySnapshot()) {
    if (key.path.size() > prefix) paths.push_back(key.path.substr(prefix));
  }
  EXPECT_EQ((std::vector<std::string>{"\\A", "\\b", "\\b\\x", "\\c"}), paths);
}

// --- Values ---

class RegistryValues : public testing::Test {
 protected:
  void SetUp() override {
    hostk::RegistryCreateKey(ServicesPath("KxBusIdd"));
    ASSERT_EQ(
        STATUS_SUCCESS,
        OpenKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KxBusIdd", &key_));
  }
  Key key_;
};

TEST_F(RegistryValues, PartialInformationFollowsTheBufferRules) {
  const std::vector<uint8_t> data = {1, 2, 3, 4, 5};
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"Edid", REG_BINARY, data));
  const ULONG full = kFixed + 5;
  std::vector<uint8_t> buffer(64, 0xCC);
  ULONG result = 0;

  // Too small for the fixed part: nothing written.
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(key_.get(), u"Edid", nullptr, 0, &result));
  EXPECT_EQ(full, result);
  result = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            Query(key_.get(), u"Edid", buffer.data(), kFixed - 1, &result));
  EXPECT_EQ(full, result);
  EXPECT_EQ(std::vector<uint8_t>(64, 0xCC), buffer);

  // Room for the fixed part only: it is written, the data is not.
  for (ULONG length : {kFixed, full - 1}) {
    std::fill(buffer.begin(), buffer.end(), 0xCC);
    result = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(key_.get(), u"Edid", buffer.data(), length, &result));
    EXPECT_EQ(full, result);
    KEY_VALUE_PARTIAL_INFORMATION fixed;
    memcpy(&fixed, buffer.data(), kFixed);
    EXPECT_EQ(0u, fixed.TitleIndex);
    EXPECT_EQ((ULONG)REG_BINARY, fixed.Type);
    EXPECT_EQ(5u, fixed.DataLength);
    EXPECT_EQ(std::vector<uint8_t>(buffer.size() - kFixed, 0xCC),
              std::vector<uint8_t>(buffer.begin() + kFixed, buffer.end()));
  }

  // Enough room: everything, and nothing past it.
  std::fill(buffer.begin(), buffer.end(), 0xCC);
  EXPECT_EQ(STATUS_SUCCESS, Query(key_.get(), u"Edid", buffer.data(), 64, &result));
  EXPECT_EQ(full, result);
  EXPECT_EQ(data, std::vector<uint8_t>(buffer.begin() + kFixed, buffer.begin() + full));
  EXPECT_EQ(0xCC, buffer[full]);
}

TEST_F(RegistryValues, MissingValueAndUnsupportedClassFail) {
  ULONG result = 0;
  uint8_t buffer[32];
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(key_.get(), u"Missing", buffer, 32, &result));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"Start", REG_DWORD, {3, 0, 0, 0}));
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"Start");
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            ZwQueryValueKey(key_.get(), &name, KeyValueFullInformation, buffer, 32, &result));
}

TEST_F(RegistryValues, ValuesSurviveCloseAndReopenWithTheirType) {
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"Mode", REG_DWORD, {7, 0, 0, 0}));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"", REG_SZ, WideBytes(u"default")));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"Empty", REG_BINARY, {}));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"Mode", REG_BINARY, {9}));  // type changes too

  Key reopened;
  ASSERT_EQ(STATUS_SUCCESS,
            OpenKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KxBusIdd",
                    &reopened, NULL, KEY_READ));
  hostk::RegistryValue mode = ReadValue(reopened.get(), u"Mode");
  EXPECT_EQ((ULONG)REG_BINARY, mode.type);
  EXPECT_EQ(std::vector<uint8_t>{9}, mode.data);
  hostk::RegistryValue byDefault = ReadValue(reopened.get(), u"");
  EXPECT_EQ((ULONG)REG_SZ, byDefault.type);
  EXPECT_EQ(WideBytes(u"default"), byDefault.data);
  EXPECT_TRUE(ReadValue(reopened.get(), u"Empty").data.empty());
}

TEST_F(RegistryValues, DeleteValueRemovesOnlyThatValue) {
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"A", REG_DWORD, {1, 0, 0, 0}));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"B", REG_DWORD, {2, 0, 0, 0}));
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"a");
  EXPECT_EQ(STATUS_SUCCESS, ZwDeleteValueKey(key_.get(), &name));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ZwDeleteValueKey(key_.get(), &name));
  EXPECT_FALSE(hostk::RegistryGetValue(ServicesPath("KxBusIdd"), "A").has_value());
  EXPECT_TRUE(hostk::RegistryGetValue(ServicesPath("KxBusIdd"), "B").has_value());
}

TEST_F(RegistryValues, HandlesAllowOnlyTheAccessTheyWereOpenedFor) {
  ASSERT_EQ(STATUS_SUCCESS, SetValue(key_.get(), u"A", REG_DWORD, {1, 0, 0, 0}));
  const char16_t* path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KxBusIdd";
  Key reader, writer, generic;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(path, &reader, NULL, KEY_READ));
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(path, &writer, NULL, KEY_WRITE));
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(path, &generic, NULL, 0x80000000 /* GENERIC_READ */));
  EXPECT_EQ(STATUS_ACCESS_DENIED, SetValue(reader.get(), u"A", REG_DWORD, {2, 0, 0, 0}));
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"A");
  EXPECT_EQ(STATUS_ACCESS_DENIED, ZwDeleteValueKey(reader.get(), &name));
  ULONG result = 0;
  EXPECT_EQ(STATUS_ACCESS_DENIED, Query(writer.get(), u"A", nullptr, 0, &result));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(generic.get(), u"A", nullptr, 0, &result));
  EXPECT_EQ(STATUS_SUCCESS, SetValue(writer.get(), u"A", REG_DWORD, {2, 0, 0, 0}));
}

TEST_F(RegistryValues, ClosedOrForeignHandlesAreInvalid) {
  Key other;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(u"\\Registry\\Machine", &other));
  HANDLE closed = other.get();
  ASSERT_EQ(STATUS_SUCCESS, ZwClose(closed));
  *other.out() = NULL;
  ULONG result = 0;
  EXPECT_EQ(STATUS_INVALID_HANDLE, Query(closed, u"A", nullptr, 0, &result));
  EXPECT_EQ(STATUS_INVALID_HANDLE, SetValue(closed, u"A", REG_DWORD, {1, 0, 0, 0}));
  Key child;
  EXPECT_EQ(STATUS_INVALID_HANDLE, OpenKey(u"System", &child, closed));
  EXPECT_EQ(STATUS_INVALID_HANDLE, Query((HANDLE)0x1234, u"A", nullptr, 0, &result));
}

TEST_F(RegistryValues, HandlesOnADeletedKeySeeItDeleted) {
  hostk::RegistryCreateKey(ServicesPath("KxBusIdd\\Parameters"));
  Key parameters;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(u"Parameters", &parameters, key_.get()));
  Key machine;
  ASSERT_EQ(STATUS_SUCCESS, OpenKey(u"\\Registry\\Machine", &machine));

  hostk::RegistryDeleteKey(ServicesPath("KxBusIdd"));
  EXPECT_FALSE(hostk::RegistryKeyExists(ServicesPath("KxBusIdd\\Parameters")));
  ULONG result = 0;
  EXPECT_EQ(STATUS_KEY_DELETED, Query(key_.get(), u"A", nullptr, 0, &result));
  EXPECT_EQ(STATUS_KEY_DELETED, SetValue(parameters.get(), u"A", REG_DWORD, {1, 0, 0, 0}));
  Key child;
  EXPECT_EQ(STATUS_KEY_DELETED, CreateKey(u"New", &child, nullptr, key_.get()));

  // Clearing keeps the hives: a handle on one still works.
  hostk::RegistryClear();
  EXPECT_FALSE(hostk::RegistryKeyExists(kServices));
  Key system;
  EXPECT_EQ(STATUS_SUCCESS, CreateKey(u"System", &system, nullptr, machine.get()));
}

TEST_F(RegistryValues, ConcurrentWritersKeepEveryValue) {
  constexpr int kThreads = 4;
  constexpr int kValues = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kValues; ++i) {
        std::u16string name = hostk::Utf8ToUtf16("v" + std::to_string(t) + "_" + std::to_string(i));
        UNICODE_STRING counted;
        RtlInitUnicodeString(&counted, name.c_str());
        uint8_t byte = (uint8_t)i;
        EXPECT_EQ(STATUS_SUCCESS, ZwSetValueKey(key_.get(), &counted, 0, REG_BINARY, &byte, 1));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ((size_t)kThreads * kValues, ValuesOf(ServicesPath("KxBusIdd")).size());
}

// --- IRQL ---

using RegistryIrqlDeathTest = RegistryValues;

TEST_F(RegistryIrqlDeathTest, ZwCallsAbovePassiveLevelBugCheck) {
  EXPECT_DEATH(
      {
        KfRaiseIrql(DISPATCH_LEVEL);
        Key key;
        CreateKey(u"\\Registry\\Machine\\Kx", &key);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*ZwCreateKey");
  EXPECT_DEATH(
      {
        KfRaiseIrql(DISPATCH_LEVEL);
        ULONG result;
        Query(key_.get(), u"A", nullptr, 0, &result);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*ZwQueryValueKey");
  EXPECT_DEATH(
      {
        KfRaiseIrql(APC_LEVEL);
        SetValue(key_.get(), u"A", REG_DWORD, {1, 0, 0, 0});
      },
      "IRQL_NOT_LESS_OR_EQUAL.*ZwSetValueKey");
}

// --- The test API ---

TEST(RegistryTestApi, CreateDeleteAndClear) {
  hostk::RegistryCreateKey(ServicesPath("KxBusIdd\\Parameters"));
  EXPECT_TRUE(hostk::RegistryKeyExists("\\REGISTRY\\MACHINE\\SYSTEM"));
  hostk::RegistryDeleteKey(ServicesPath("KxBusIdd"));
  EXPECT_FALSE(hostk::RegistryKeyExists(ServicesPath("KxBusIdd")));
  EXPECT_TRUE(hostk::RegistryKeyExists(kServices));
  hostk::RegistryDeleteKey(ServicesPath("NotThere"));  // nothing to do

  hostk::RegistrySetValue("\\Registry\\User\\S-1-5-18", "A", REG_DWORD, {1, 0, 0, 0});
  hostk::RegistryClear();
  EXPECT_FALSE(hostk::RegistryKeyExists("\\Registry\\Machine\\System"));
  EXPECT_FALSE(hostk::RegistryKeyExists("\\Registry\\User\\S-1-5-18"));
  EXPECT_TRUE(hostk::RegistryKeyExists("\\Registry\\Machine"));
  EXPECT_TRUE(hostk::RegistryKeyExists("\\Registry\\User"));
}

// --- .reg files ---

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST(RegistryFile, ExportOfASmallTree) {
  const std::string kx = "\\Registry\\Machine\\System\\Kx";
  hostk::RegistrySetValue(kx, "Mode", REG_DWORD, {10, 0, 0, 0});
  hostk::RegistrySetValue(kx, "Blob", REG_BINARY, {1, 2, 0xAB});
  hostk::RegistrySetValue(kx, "", REG_SZ, WideBytes(u"C:\\a \"b\""));
  hostk::RegistrySetValue(kx + "\\Child", "List", REG_MULTI_SZ,
                          WideBytes(std::u16string(u"A\0", 2)));
  hostk::RegistryCreateKey("\\Registry\\User\\S-1-5-18");

  EXPECT_EQ(
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\System]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\System\\Kx]\n"
      "\"Mode\"=dword:0000000a\n"
      "\"Blob\"=hex:01,02,ab\n"
      "@=\"C:\\\\a \\\"b\\\"\"\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\System\\Kx\\Child]\n"
      "\"List\"=hex(7):41,00,00,00,00,00\n"
      "\n"
      "[HKEY_USERS\\S-1-5-18]\n"
      "\n",
      hostk::RegistryExportReg());
}

TEST(RegistryFile, LongHexDataWrapsBefore80Columns) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 50; ++i) data.push_back((uint8_t)i);
  hostk::RegistrySetValue("\\Registry\\Machine\\Kx", "BinaryValue", REG_BINARY, data);
  std::vector<std::string> lines = Lines(hostk::RegistryExportReg());
  ASSERT_EQ(7u, lines.size());
  EXPECT_EQ("\"BinaryValue\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\",
            lines[3]);
  EXPECT_EQ("  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,\\",
            lines[4]);
  EXPECT_EQ("  2d,2e,2f,30,31", lines[5]);
  for (const std::string& line : lines) EXPECT_LE(line.size(), 80u) << line;
}

TEST(RegistryFile, ExportImportExportIsIdentical) {
  const std::string kx = "\\Registry\\Machine\\System\\Kx";
  std::vector<uint8_t> longData(300);
  for (size_t i = 0; i < longData.size(); ++i) longData[i] = (uint8_t)(i * 7);
  hostk::RegistrySetValue(kx, "Long", REG_BINARY, longData);
  hostk::RegistrySetValue(kx, "Empty", REG_BINARY, {});
  hostk::RegistrySetValue(kx, "Unterminated", REG_SZ, WideBytes(u"abc", false));
  hostk::RegistrySetValue(kx, "Multi\"Line", REG_SZ, WideBytes(u"a\nb"));
  hostk::RegistrySetValue(kx, "Short dword", REG_DWORD, {1, 2, 3});
  hostk::RegistrySetValue(kx, "Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  hostk::RegistrySetValue(kx, "Caf\xC3\xA9\\name", REG_SZ, WideBytes(u"\u00e9t\u00e9 \U0001F600"));
  hostk::RegistrySetValue(kx, std::string(90, 'n'), REG_NONE, {0xFF});
  hostk::RegistrySetValue("\\Registry\\Machine", "AtTheHive", REG_DWORD, {1, 0, 0, 0});
  hostk::RegistrySetValue("\\Registry\\User\\.DEFAULT\\Kx", "", REG_EXPAND_SZ, WideBytes(u"%x%"));
  std::vector<hostk::RegistryKeyRecord> before = hostk::RegistrySnapshot();
  std::string exported = hostk::RegistryExportReg();

  hostk::RegistryClear();
  ASSERT_TRUE(hostk::RegistryImportReg(exported));
  EXPECT_EQ(exported, hostk::RegistryExportReg());
  std::vector<hostk::RegistryKeyRecord> after = hostk::RegistrySnapshot();
  ASSERT_EQ(before.size(), after.size());
  for (size_t k = 0; k < before.size(); ++k) {
    EXPECT_EQ(before[k].path, after[k].path);
    ASSERT_EQ(before[k].values.size(), after[k].values.size()) << before[k].path;
    for (size_t v = 0; v < before[k].values.size(); ++v) {
      EXPECT_EQ(before[k].values[v].first, after[k].values[v].first);
      EXPECT_EQ(before[k].values[v].second.type, after[k].values[v].second.type);
      EXPECT_EQ(before[k].values[v].second.data, after[k].values[v].second.data);
    }
  }
}

TEST(RegistryFile, ImportOfAHandWrittenFile) {
  // CRLF, a comment, upper-case hex, a short dword and free wrapping, as people write them.
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; the adapter's settings\r\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KxBusIdd\\Parameters]\r\n"
      "\"Displays\"=dword:2\r\n"
      "\"Edid\"=hex:00,FF,ff,\\\r\n"
      "    00,01\r\n"
      "\"Name\"=\"Kx \\\"one\\\"\"\r\n"
      "@=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\r\n";
  ASSERT_TRUE(hostk::RegistryImportReg(text));
  const std::string path = ServicesPath("KxBusIdd\\Parameters");
  EXPECT_TRUE(hostk::RegistryKeyExists(ServicesPath("KxBusIdd")));
  auto values = ValuesOf(path);
  ASSERT_EQ(4u, values.size());
  EXPECT_EQ("Displays", values[0].first);
  EXPECT_EQ((ULONG)REG_DWORD, values[0].second.type);
  EXPECT_EQ((std::vector<uint8_t>{2, 0, 0, 0}), values[0].second.data);
  EXPECT_EQ((ULONG)REG_BINARY, values[1].second.type);
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0x00, 0x01}), values[1].second.data);
  EXPECT_EQ((ULONG)REG_SZ, values[2].second.type);
  EXPECT_EQ(WideBytes(u"Kx \"one\""), values[2].second.data);
  EXPECT_EQ("", values[3].first);
  EXPECT_EQ((ULONG)REG_QWORD, values[3].second.type);
  EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}), values[3].second.data);

  // The driver sees the imported values through its own calls.
  Key key;
  ASSERT_EQ(
      STATUS_SUCCESS,
      OpenKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KxBusIdd\\Parameters",
              &key, NULL, KEY_READ));
  EXPECT_EQ(values[1].second.data, ReadValue(key.get(), u"Edid").data);
}

TEST(RegistryFile, ImportRejectsMalformedTextAndKeepsTheRegistry) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::string section = "[HKEY_LOCAL_MACHINE\\Kx]\n";
  const std::string bad[] = {
      "REGEDIT4\n\n" + section,
      header + "\"a\"=dword:1\n",  // a value before any key
      header + "[HKEY_CURRENT_USER\\Kx]\n",
      header + "[-HKEY_LOCAL_MACHINE\\Kx]\n",
      header + "[HKEY_LOCAL_MACHINE\\Kx\\\\Sub]\n",
      header + "[HKEY_LOCAL_MACHINE\\Kx\n",
      header + section + "\"a\"=hex:1g\n",
      header + section + "\"a\"=hex:100\n",
      header + section + "\"a\"=dword:123456789\n",
      header + section + "\"a\"=\"unterminated\n",
      header + section + "\"a\"=\"bad \\n escape\"\n",
      header + section + "\"a\"=-\n",
      header + section + "\"a\" = dword:1\n",
      header + section + "a=dword:1\n",
  };
  hostk::RegistrySetValue("\\Registry\\Machine\\Kept", "A", REG_DWORD, {1, 0, 0, 0});
  const std::string before = hostk::RegistryExportReg();
  for (const std::string& text : bad) {
    EXPECT_FALSE(hostk::RegistryImportReg(text)) << text;
    EXPECT_EQ(before, hostk::RegistryExportReg()) << text;
  }
}

TEST(RegistryFile, Utf16ConversionsRoundTripAndReplaceInvalidSequences) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  EXPECT_EQ(u"a\u00e9\u20ac\U0001F600", hostk::Utf8ToUtf16(text));
  EXPECT_EQ(text, hostk::Utf16ToUtf8(hostk::Utf8ToUtf16(text)));
  EXPECT_EQ(u"\uFFFD\uFFFDx", hostk::Utf8ToUtf16("\xC0\xAFx"));  // overlong form
  EXPECT_EQ(u"\uFFFD\uFFFD", hostk::Utf8ToUtf16("\xE2\x82"));    // cut short
  EXPECT_EQ(
      "\xEF\xBF\xBD"
      "b",
      hostk::Utf16ToUtf8(std::u16string{(char16_t)0xD800, u'b'}));
}

}  // namespace
