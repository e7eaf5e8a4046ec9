// The platform's printf, walked by hand: its size prefixes mean Windows widths (l is 32 bits, I is
// pointer-sized, I64 and ll are 64 bits) and h, l and w choose narrow or wide text, none of which the
// host's vsnprintf understands. Conversions the platform's debug print lacks (floating point) are
// printed as written; %n writes nothing.
#include <cstdarg>
#include <cstring>
#include <string>

#include "host/hostk/trace.h"
#include "host/rtl.h"

namespace hostk {
namespace {

enum class ArgSize { kInt, kChar, kShort, k32, k64, kPointer };
enum class TextWidth { kDefault, kNarrow, kWide };

struct Spec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  int width = 0;
  bool width_from_arg = false;
  int precision = -1;  // -1: none given
  bool precision_from_arg = false;
  ArgSize size = ArgSize::kInt;
  TextWidth text = TextWidth::kDefault;
  char conversion = 0;
};

// The platform's counted narrow string (ANSI_STRING), which %Z takes.
struct CountedString {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
};

// A va_list held by value, so helpers can take arguments from it in turn.
struct Args {
  va_list list;
};

constexpr int kNumberLimit = 100000000;  // keeps absurd widths from overflowing an int

const char* ParseFlags(const char* p, Spec& s) {
  for (;; ++p) {
    switch (*p) {
      case '-': s.left = true; break;
      case '+': s.plus = true; break;
      case ' ': s.space = true; break;
      case '#': s.alt = true; break;
      case '0': s.zero = true; break;
      default: return p;
    }
  }
}

const char* ParseNumber(const char* p, int& value, bool& from_arg) {
  if (*p == '*') {
    from_arg = true;
    return p + 1;
  }
  value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < kNumberLimit) value = value * 10 + (*p - '0');
  }
  return p;
}

const char* ParseSize(const char* p, Spec& s) {
  switch (*p) {
    case 'h':
      s.text = TextWidth::kNarrow;
      if (p[1] == 'h') {
        s.size = ArgSize::kChar;
        return p + 2;
      }
      s.size = ArgSize::kShort;
      return p + 1;
    case 'l':
      if (p[1] == 'l') {
        s.size = ArgSize::k64;
        return p + 2;
      }
      s.size = ArgSize::k32;
      s.text = TextWidth::kWide;
      return p + 1;
    case 'w': s.text = TextWidth::kWide; return p + 1;
    case 'L': return p + 1;  // long double: no meaning for the conversions supported here
    case 'j': s.size = ArgSize::k64; return p + 1;
    case 'z':
    case 't': s.size = ArgSize::kPointer; return p + 1;
    case 'I':
      if (p[1] == '6' && p[2] == '4') {
        s.size = ArgSize::k64;
        return p + 3;
      }
      if (p[1] == '3' && p[2] == '2') {
        s.size = ArgSize::k32;
        return p + 3;
      }
      s.size = ArgSize::kPointer;
      return p + 1;
    default: return p;
  }
}

// Parses the conversion that follows a '%' (flags, width, precision, size, type). Returns the
// position after its conversion character, or nullptr when the format ends inside it.
const char* ParseSpec(const char* p, Spec& s) {
  p = ParseFlags(p, s);
  p = ParseNumber(p, s.width, s.width_from_arg);
  if (*p == '.') {
    p = ParseNumber(p + 1, s.precision, s.precision_from_arg);
  }
  p = ParseSize(p, s);
  if (*p == '\0') return nullptr;
  s.conversion = *p;
  return p + 1;
}

// Star arguments come before the value, width first; a negative width means left-justified and a
// negative precision means none.
void TakeStarArguments(Spec& s, Args& a) {
  if (s.width_from_arg) {
    int width = va_arg(a.list, int);
    if (width < 0) {
      s.left = true;
      width = width == INT32_MIN ? kNumberLimit : -width;
    }
    s.width = width < kNumberLimit ? width : kNumberLimit;
  }
  if (s.precision_from_arg) {
    int precision = va_arg(a.list, int);
    s.precision = precision < 0 ? -1 : (precision < kNumberLimit ? precision : kNumberLimit);
  }
}

// Integers narrower than int arrive promoted to int and are cut back to their size here.
int64_t TakeSigned(Args& a, ArgSize size) {
  switch (size) {
    case ArgSize::kChar: return static_cast<signed char>(va_arg(a.list, int));
    case ArgSize::kShort: return static_cast<int16_t>(va_arg(a.list, int));
    case ArgSize::k64: return va_arg(a.list, long long);
    case ArgSize::kPointer: return va_arg(a.list, intptr_t);
    case ArgSize::kInt:
    case ArgSize::k32: break;
  }
  return va_arg(a.list, int32_t);
}

uint64_t TakeUnsigned(Args& a, ArgSize size) {
  switch (size) {
    case ArgSize::kChar: return static_cast<unsigned char>(va_arg(a.list, int));
    case ArgSize::kShort: return static_cast<uint16_t>(va_arg(a.list, int));
    case ArgSize::k64: return va_arg(a.list, unsigned long long);
    case ArgSize::kPointer: return va_arg(a.list, uintptr_t);
    case ArgSize::kInt:
    case ArgSize::k32: break;
  }
  return va_arg(a.list, uint32_t);
}

// Appends `body` (which shows as `shown` characters) after `prefix`, padded to the field width.
void AppendField(std::string& out, const Spec& s, const std::string& prefix,
                 const std::string& body, size_t shown, bool zero_pad) {
  size_t length = prefix.size() + shown;
  size_t pad = static_cast<size_t>(s.width) > length ? s.width - length : 0;
  if (s.left) {
    out += prefix;
    out += body;
    out.append(pad, ' ');
  } else if (zero_pad) {
    out += prefix;
    out.append(pad, '0');
    out += body;
  } else {
    out.append(pad, ' ');
    out += prefix;
    out += body;
  }
}

std::string Digits(uint64_t value, unsigned base, bool upper) {
  const char* symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[64];
  size_t at = sizeof buffer;
  do {
    buffer[--at] = symbols[value % base];
    value /= base;
  } while (value != 0);
  return std::string(buffer + at, sizeof buffer - at);
}

void AppendInteger(std::string& out, const Spec& s, uint64_t magnitude, bool negative,
                   unsigned base) {
  std::string digits = magnitude == 0 && s.precision == 0
                           ? std::string()
                           : Digits(magnitude, base, s.conversion == 'X');
  if (s.precision > static_cast<int>(digits.size())) {
    digits.insert(0, s.precision - digits.size(), '0');
  }
  if (base == 8 && s.alt && (digits.empty() || digits[0] != '0')) digits.insert(0, "0");
  std::string prefix;
  bool is_signed = s.conversion == 'd' || s.conversion == 'i';
  if (is_signed && negative) prefix = "-";
  else if (is_signed && s.plus) prefix = "+";
  else if (is_signed && s.space) prefix = " ";
  if (base == 16 && s.alt && magnitude != 0) prefix = s.conversion == 'X' ? "0X" : "0x";
  // A precision sets the digits, so the 0 flag gives way to it.
  bool zero_pad = s.zero && !s.left && s.precision < 0;
  AppendField(out, s, prefix, digits, digits.size(), zero_pad);
}

void AppendSigned(std::string& out, const Spec& s, Args& a) {
  int64_t value = TakeSigned(a, s.size);
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  AppendInteger(out, s, magnitude, value < 0, 10);
}

// Pointers print as the platform prints them: upper-case hex, zero-filled to the pointer's width.
void AppendPointer(std::string& out, const Spec& s, Args& a) {
  auto value = reinterpret_cast<uintptr_t>(va_arg(a.list, void*));
  std::string digits = Digits(value, 16, true);
  digits.insert(0, 2 * sizeof(void*) - digits.size(), '0');
  AppendField(out, s, std::string(), digits, digits.size(), s.zero && !s.left);
}

void AppendCodePoint(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Appends `count` UTF-16 units as UTF-8 (an unpaired surrogate becomes U+FFFD) and returns how many
// characters that made.
size_t AppendUtf16(std::string& out, const char16_t* text, size_t count) {
  size_t characters = 0;
  for (size_t i = 0; i < count; ++i, ++characters) {
    char16_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < count && IsLowSurrogate(text[i + 1])) {
      AppendCodePoint(out, 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendCodePoint(out, 0xFFFD);
    } else {
      AppendCodePoint(out, unit);
    }
  }
  return characters;
}

size_t LimitedLength(size_t length, int precision) {
  return precision >= 0 && static_cast<size_t>(precision) < length ? precision : length;
}

void AppendNarrow(std::string& out, const Spec& s, const char* text, size_t length) {
  if (text == nullptr) {
    text = "(null)";
    length = 6;
  }
  length = LimitedLength(length, s.precision);
  AppendField(out, s, std::string(), std::string(text, length), length, s.zero && !s.left);
}

void AppendWide(std::string& out, const Spec& s, const char16_t* text, size_t length) {
  if (text == nullptr) {
    AppendNarrow(out, s, nullptr, 0);
    return;
  }
  std::string body;
  size_t shown = AppendUtf16(body, text, LimitedLength(length, s.precision));
  AppendField(out, s, std::string(), body, shown, s.zero && !s.left);
}

size_t WideLength(const char16_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// Capital C, S mean the other width from lower case; h forces narrow, l and w force wide.
bool TakesWideText(const Spec& s) {
  if (s.text != TextWidth::kDefault) return s.text == TextWidth::kWide;
  return s.conversion == 'C' || s.conversion == 'S';
}

void AppendCharacter(std::string& out, const Spec& s, Args& a) {
  int value = va_arg(a.list, int);
  if (TakesWideText(s)) {
    char16_t unit = static_cast<char16_t>(value);
    AppendWide(out, s, &unit, 1);
  } else {
    char narrow = static_cast<char>(value);
    AppendField(out, s, std::string(), std::string(1, narrow), 1, s.zero && !s.left);
  }
}

void AppendString(std::string& out, const Spec& s, Args& a) {
  if (TakesWideText(s)) {
    const char16_t* text = va_arg(a.list, const char16_t*);
    AppendWide(out, s, text, text ? WideLength(text) : 0);
  } else {
    const char* text = va_arg(a.list, const char*);
    // Reads no further than the precision allows: the text need not be terminated within it.
    AppendNarrow(out, s, text, text ? strnlen(text, LimitedLength(SIZE_MAX, s.precision)) : 0);
  }
}

// %Z takes an ANSI_STRING, %wZ a UNICODE_STRING; both print Length bytes' worth of characters.
void AppendCountedString(std::string& out, const Spec& s, Args& a) {
  if (TakesWideText(s)) {
    auto* string = va_arg(a.list, const UNICODE_STRING*);
    bool absent = string == nullptr || string->Buffer == nullptr;
    AppendWide(out, s, absent ? nullptr : string->Buffer, absent ? 0 : string->Length / 2);
  } else {
    auto* string = va_arg(a.list, const CountedString*);
    bool absent = string == nullptr || string->Buffer == nullptr;
    AppendNarrow(out, s, absent ? nullptr : string->Buffer, absent ? 0 : string->Length);
  }
}

// Appends one conversion; `start` and `end` delimit its text in the format, printed as written
// when the conversion is not one the platform's debug print supports.
void AppendConversion(std::string& out, const Spec& s, Args& a, const char* start,
                      const char* end) {
  switch (s.conversion) {
    case 'd':
    case 'i': AppendSigned(out, s, a); break;
    case 'u': AppendInteger(out, s, TakeUnsigned(a, s.size), false, 10); break;
    case 'o': AppendInteger(out, s, TakeUnsigned(a, s.size), false, 8); break;
    case 'x':
    case 'X': AppendInteger(out, s, TakeUnsigned(a, s.size), false, 16); break;
    case 'p': AppendPointer(out, s, a); break;
    case 'c':
    case 'C': AppendCharacter(out, s, a); break;
    case 's':
    case 'S': AppendString(out, s, a); break;
    case 'Z': AppendCountedString(out, s, a); break;
    case 'n': va_arg(a.list, void*); break;
    case '%': out += '%'; break;
    default: out.append(start, end); break;
  }
}

}  // namespace

std::string FormatWindowsV(const char* format, va_list args) {
  std::string out;
  if (format == nullptr) return out;
  Args a;
  va_copy(a.list, args);
  for (const char* p = format; *p != '\0';) {
    const char* percent = strchr(p, '%');
    if (percent == nullptr) {
      out.append(p);
      break;
    }
    out.append(p, percent);
    Spec s;
    const char* end = ParseSpec(percent + 1, s);
    if (end == nullptr) {
      out.append(percent);
      break;
    }
    TakeStarArguments(s, a);
    AppendConversion(out, s, a, percent, end);
    p = end;
  }
  va_end(a.list);
  return out;
}

std::string FormatWindows(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string out = FormatWindowsV(format, args);
  va_end(args);
  return out;
}

bool FormatHasWideConversion(const char* format) {
  if (format == nullptr) return false;
  for (const char* p = strchr(format, '%'); p != nullptr; p = strchr(p, '%')) {
    Spec s;
    p = ParseSpec(p + 1, s);
    if (p == nullptr) return false;
    bool text = strchr("cCsSZ", s.conversion) != nullptr;
    if (text && TakesWideText(s)) return true;
  }
  return false;
}

}  // namespace hostk
