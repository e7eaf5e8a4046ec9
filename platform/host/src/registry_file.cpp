// The registry as text: Windows .reg files (export and import) and the UTF-8/UTF-16 conversions
// between test-side names and the platform's.
//
// The .reg form is regedit's version 5 form, in UTF-8 with LF line ends (CRLF is accepted):
//   Windows Registry Editor Version 5.00
//   <blank>
//   [HKEY_LOCAL_MACHINE\System\Key]        one section per key, parents first
//   "Name"=hex:01,02                        REG_BINARY
//   "Count"=dword:0000000a                  REG_DWORD of exactly four bytes
//   @="text with \\ and \" escaped"         REG_SZ (the default value is "@")
//   "Other"=hex(7):41,00,00,00              any other type, and any REG_SZ/REG_DWORD whose data
//                                           the short forms cannot carry exactly
//   <blank>                                 after every section
// Hex data is wrapped as regedit wraps it: a line ends in ",\" before it would pass 80 columns,
// and continues after two spaces. \Registry\Machine is HKEY_LOCAL_MACHINE, \Registry\User is
// HKEY_USERS; a hive's own section is written only when the hive itself holds values.
#include <cctype>
#include <cstdio>

#include "host/hostk/registry.h"
#include "host/zw.h"

namespace hostk {
namespace {

constexpr char kRegHeader[] = "Windows Registry Editor Version 5.00";
constexpr size_t kHexLineLimit = 80;

struct Hive {
  const char* native;
  const char* reg;
};
constexpr Hive kHives[] = {{"\\Registry\\Machine", "HKEY_LOCAL_MACHINE"},
                           {"\\Registry\\User", "HKEY_USERS"}};

// --- UTF-8 ---

char32_t DecodeUtf8(const std::string& text, size_t* i) {
  const unsigned char lead = (unsigned char)text[*i];
  ++*i;
  if (lead < 0x80) return lead;
  int extra = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
  if (extra < 0 || lead > 0xF4 || *i + extra > text.size()) return 0xFFFD;
  char32_t c = lead & (0x3F >> extra);
  for (int k = 0; k < extra; ++k) {
    unsigned char next = (unsigned char)text[*i + k];
    if ((next & 0xC0) != 0x80) return 0xFFFD;
    c = (c << 6) | (next & 0x3F);
  }
  *i += extra;
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  bool invalid = c < kSmallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF);
  return invalid ? 0xFFFD : c;
}

void AppendUtf8(std::string* out, char32_t c) {
  if (c < 0x80) {
    *out += (char)c;
  } else if (c < 0x800) {
    *out += (char)(0xC0 | (c >> 6));
    *out += (char)(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += (char)(0xE0 | (c >> 12));
    *out += (char)(0x80 | ((c >> 6) & 0x3F));
    *out += (char)(0x80 | (c & 0x3F));
  } else {
    *out += (char)(0xF0 | (c >> 18));
    *out += (char)(0x80 | ((c >> 12) & 0x3F));
    *out += (char)(0x80 | ((c >> 6) & 0x3F));
    *out += (char)(0x80 | (c & 0x3F));
  }
}

// --- Export ---

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string Hex2(uint8_t byte) {
  char digits[3];
  snprintf(digits, sizeof digits, "%02x", byte);
  return digits;
}

// The text of a REG_SZ value when the quoted form reproduces its data exactly: one terminator at
// the end, no other NUL, no control characters, no unpaired surrogates.
bool StringForm(const std::vector<uint8_t>& data, std::string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  std::u16string wide;
  for (size_t i = 0; i < data.size(); i += 2) wide += (char16_t)(data[i] | (data[i + 1] << 8));
  if (wide.back() != 0) return false;
  wide.pop_back();
  for (char16_t c : wide) {
    if (c < 0x20) return false;
  }
  *text = Utf16ToUtf8(wide);
  return Utf8ToUtf16(*text) == wide;
}

void AppendWrappedHex(std::string* out, std::string line, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); ++i) {
    // Room for "xx," and the continuation's backslash.
    if (line.size() + 3 + 1 > kHexLineLimit) {
      *out += line + "\\\n";
      line = "  ";
    }
    line += Hex2(data[i]);
    if (i + 1 < data.size()) line += ',';
  }
  *out += line;
}

void AppendValue(std::string* out, const std::string& name, const RegistryValue& value) {
  std::string line = name.empty() ? "@=" : "\"" + Escaped(name) + "\"=";
  std::string text;
  if (value.type == REG_SZ && StringForm(value.data, &text)) {
    *out += line + "\"" + Escaped(text) + "\"\n";
    return;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    const std::vector<uint8_t>& d = value.data;
    ULONG number = d[0] | (d[1] << 8) | (d[2] << 16) | ((ULONG)d[3] << 24);
    char digits[9];
    snprintf(digits, sizeof digits, "%08x", (unsigned)number);
    *out += line + "dword:" + digits + "\n";
    return;
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    char tag[16];
    snprintf(tag, sizeof tag, "hex(%x):", (unsigned)value.type);
    line += tag;
  }
  AppendWrappedHex(out, line, value.data);
  *out += "\n";
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (tolower((unsigned char)text[i]) != tolower((unsigned char)prefix[i])) return false;
  }
  return true;
}

// Rewrites the front of a path from one spelling of a hive to the other; false when it names none.
bool MapHive(const std::string& path, bool toReg, std::string* mapped) {
  for (const Hive& hive : kHives) {
    std::string from = toReg ? hive.native : hive.reg;
    if (StartsWithNoCase(path, from) && (path.size() == from.size() || path[from.size()] == '\\')) {
      *mapped = (toReg ? hive.reg : hive.native) + path.substr(from.size());
      return true;
    }
  }
  return false;
}

bool IsHive(const std::string& regPath) {
  for (const Hive& hive : kHives) {
    if (regPath == hive.reg) return true;
  }
  return false;
}

// --- Import ---

// Physical lines with CR dropped and continuations ("\" at the end) joined.
std::vector<std::string> LogicalLines(const std::string& text) {
  std::vector<std::string> lines;
  bool continuing = false;
  size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (continuing) {
      size_t first = line.find_first_not_of(" \t");
      line.erase(0, first == std::string::npos ? line.size() : first);
    }
    bool continues = !line.empty() && line.back() == '\\';
    if (continues) line.pop_back();
    if (continuing) {
      lines.back() += line;
    } else {
      lines.push_back(line);
    }
    continuing = continues;
    start = end + 1;
  }
  return lines;
}

// Reads a quoted string at `*pos` (which holds the opening quote), undoing \\ and \".
bool ReadQuoted(const std::string& line, size_t* pos, std::string* text) {
  if (*pos >= line.size() || line[*pos] != '"') return false;
  for (size_t i = *pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= line.size() || (line[i + 1] != '\\' && line[i + 1] != '"')) return false;
      c = line[++i];
    }
    *text += c;
  }
  return false;
}

bool ParseHexNumber(const std::string& digits, size_t maxDigits, ULONG* number) {
  if (digits.empty() || digits.size() > maxDigits) return false;
  *number = 0;
  for (char c : digits) {
    if (!isxdigit((unsigned char)c)) return false;
    *number = (*number << 4) |
              (ULONG)(isdigit((unsigned char)c) ? c - '0' : tolower((unsigned char)c) - 'a' + 10);
  }
  return true;
}

bool ParseHexBytes(const std::string& list, std::vector<uint8_t>* bytes) {
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string token = list.substr(start, end - start);
    size_t first = token.find_first_not_of(" \t");
    size_t last = token.find_last_not_of(" \t");
    ULONG byte;
    if (first == std::string::npos ||
        !ParseHexNumber(token.substr(first, last - first + 1), 2, &byte)) {
      return false;
    }
    bytes->push_back((uint8_t)byte);
    start = end + 1;
  }
  return true;
}

std::vector<uint8_t> StringData(const std::string& text) {
  std::u16string wide = Utf8ToUtf16(text);
  std::vector<uint8_t> data;
  for (char16_t c : wide) {
    data.push_back((uint8_t)(c & 0xFF));
    data.push_back((uint8_t)(c >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

bool ParseData(const std::string& data, RegistryValue* value) {
  if (!data.empty() && data[0] == '"') {
    size_t pos = 0;
    std::string text;
    if (!ReadQuoted(data, &pos, &text) || pos != data.size()) return false;
    *value = RegistryValue{REG_SZ, StringData(text)};
    return true;
  }
  ULONG number;
  if (data.compare(0, 6, "dword:") == 0) {
    if (!ParseHexNumber(data.substr(6), 8, &number)) return false;
    *value = RegistryValue{REG_DWORD,
                           {(uint8_t)number, (uint8_t)(number >> 8), (uint8_t)(number >> 16),
                            (uint8_t)(number >> 24)}};
    return true;
  }
  if (data.compare(0, 4, "hex:") == 0) {
    *value = RegistryValue{REG_BINARY, {}};
    return ParseHexBytes(data.substr(4), &value->data);
  }
  size_t close = data.find("):");
  if (data.compare(0, 4, "hex(") != 0 || close == std::string::npos ||
      !ParseHexNumber(data.substr(4, close - 4), 8, &number)) {
    return false;
  }
  *value = RegistryValue{number, {}};
  return ParseHexBytes(data.substr(close + 2), &value->data);
}

bool ParseValueLine(const std::string& line, std::pair<std::string, RegistryValue>* entry) {
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else if (!ReadQuoted(line, &pos, &entry->first) || entry->first.empty()) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') return false;
  return ParseData(line.substr(pos + 1), &entry->second);
}

bool ParseSection(const std::string& line, std::string* path) {
  if (line.size() < 3 || line.back() != ']' || line[1] == '-') return false;
  std::string regPath = line.substr(1, line.size() - 2);
  // Every name in the path must be non-empty.
  if (regPath.find("\\\\") != std::string::npos || regPath.back() == '\\') return false;
  return MapHive(regPath, false, path);
}

bool ParseReg(const std::string& text, std::vector<RegistryKeyRecord>* records) {
  std::vector<std::string> lines = LogicalLines(text);
  if (lines.empty() || lines[0] != kRegHeader) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      records->emplace_back();
      if (!ParseSection(line, &records->back().path)) return false;
      continue;
    }
    std::pair<std::string, RegistryValue> entry;
    if (records->empty() || !ParseValueLine(line, &entry)) return false;
    records->back().values.push_back(std::move(entry));
  }
  return true;
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    char32_t c = DecodeUtf8(text, &i);
    if (c < 0x10000) {
      out += (char16_t)c;
    } else {
      out += (char16_t)(0xD800 + ((c - 0x10000) >> 10));
      out += (char16_t)(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string Utf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

std::string RegistryExportReg() {
  std::string out = std::string(kRegHeader) + "\n\n";
  for (const RegistryKeyRecord& key : RegistrySnapshot()) {
    std::string regPath;
    if (!MapHive(key.path, true, &regPath)) continue;
    if (IsHive(regPath) && key.values.empty()) continue;
    out += "[" + regPath + "]\n";
    for (const auto& [name, value] : key.values) AppendValue(&out, name, value);
    out += "\n";
  }
  return out;
}

bool RegistryImportReg(const std::string& text) {
  std::vector<RegistryKeyRecord> records;
  if (!ParseReg(text, &records)) return false;
  RegistryClear();
  for (const RegistryKeyRecord& key : records) {
    RegistryCreateKey(key.path);
    for (const auto& [name, value] : key.values) {
      RegistrySetValue(key.path, name, value.type, value.data);
    }
  }
  return true;
}

}  // namespace hostk
