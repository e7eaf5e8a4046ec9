// The registry as tests see it. Paths are full native paths ("\Registry\Machine\System\...") in
// UTF-8; names compare case-insensitively as on the platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/ntdef.h"

namespace hostk {

struct RegistryValue {
  ULONG type;
  std::vector<uint8_t> data;
};

// Creates the key and every missing key above it.
void RegistryCreateKey(const std::string& path);
bool RegistryKeyExists(const std::string& path);
void RegistryDeleteKey(const std::string& path);  // with its subkeys
void RegistrySetValue(const std::string& path, const std::string& name, ULONG type,
                      const std::vector<uint8_t>& data);  // creates the key path
std::optional<RegistryValue> RegistryGetValue(const std::string& path, const std::string& name);
void RegistryClear();
// Empties the registry between tests (as RegistryClear).
void RegistryResetForNextTest();

struct RegistryKeyRecord {
  std::string path;
  std::vector<std::pair<std::string, RegistryValue>> values;  // (name, value); "" is the default
};
// Every key below \Registry: parents before children, subkeys in the platform's order (by upcased
// name), values in the order they were first set.
std::vector<RegistryKeyRecord> RegistrySnapshot();

// The whole registry as a Windows .reg file ("Windows Registry Editor Version 5.00"), keys under
// \Registry\Machine written as HKEY_LOCAL_MACHINE, REG_BINARY as hex:, REG_DWORD as dword:,
// REG_SZ as a quoted string, other types as hex(N):.
std::string RegistryExportReg();
// Replaces the registry with the keys and values of a .reg text; false on a syntax error.
bool RegistryImportReg(const std::string& text);

// Names and REG_SZ text cross between UTF-8 (tests, .reg text) and UTF-16 (the platform). Invalid
// sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);

}  // namespace hostk
