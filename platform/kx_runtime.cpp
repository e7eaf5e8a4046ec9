// Bounded wide formatting without a C runtime: the kernel image links none.
#include "kx_runtime.h"

namespace {

struct WideWriter {
  PWCHAR buffer;
  SIZE_T capacity;  // characters, terminator included
  SIZE_T length;
  bool cut;

  void Put(WCHAR c) {
    if (length + 1 < capacity) {
      buffer[length++] = c;
    } else {
      cut = true;
    }
  }
};

void PutNumber(WideWriter& out, ULONG value, ULONG base, bool upper, bool negative, ULONG width,
               bool zeroPad) {
  WCHAR digits[12];
  ULONG count = 0;
  do {
    ULONG digit = value % base;
    digits[count++] = (WCHAR)(digit < 10 ? '0' + digit : (upper ? 'A' : 'a') + digit - 10);
    value /= base;
  } while (value != 0);
  ULONG total = count + (negative ? 1 : 0);
  if (negative && zeroPad) out.Put('-');
  for (; total < width; total++) out.Put(zeroPad ? '0' : ' ');
  if (negative && !zeroPad) out.Put('-');
  while (count > 0) out.Put(digits[--count]);
}

}  // namespace

SIZE_T KxWideLength(PCWSTR text) {
  SIZE_T length = 0;
  while (text[length] != 0) length++;
  return length;
}

NTSTATUS KxFormatWideV(PWCHAR buffer, SIZE_T capacity, PCSTR format, va_list args) {
  if (buffer == NULL || capacity == 0) return STATUS_INVALID_PARAMETER;
  WideWriter out = {buffer, capacity, 0, false};
  NTSTATUS status = STATUS_SUCCESS;
  for (const char* p = format; *p != 0 && status == STATUS_SUCCESS; p++) {
    if (*p != '%') {
      out.Put((WCHAR)(UCHAR)*p);
      continue;
    }
    p++;
    bool zeroPad = *p == '0';
    if (zeroPad) p++;
    ULONG width = 0;
    while (*p >= '0' && *p <= '9') width = width * 10 + (ULONG)(*p++ - '0');
    if (*p == 'l') p++;
    switch (*p) {
      case '%':
        out.Put('%');
        break;
      case 'w':
        if (p[1] != 's') {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        p++;
        for (PCWSTR s = va_arg(args, PCWSTR); s != NULL && *s != 0; s++) out.Put(*s);
        break;
      case 's':
        for (PCSTR s = va_arg(args, PCSTR); s != NULL && *s != 0; s++) out.Put((WCHAR)(UCHAR)*s);
        break;
      case 'u':
        PutNumber(out, va_arg(args, ULONG), 10, false, false, width, zeroPad);
        break;
      case 'd': {
        LONG value = va_arg(args, LONG);
        ULONG magnitude = value < 0 ? 0u - (ULONG)value : (ULONG)value;
        PutNumber(out, magnitude, 10, false, value < 0, width, zeroPad);
        break;
      }
      case 'x':
      case 'X':
        PutNumber(out, va_arg(args, ULONG), 16, *p == 'X', false, width, zeroPad);
        break;
      default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    if (*p == 0) break;
  }
  buffer[out.length] = 0;
  if (status == STATUS_SUCCESS && out.cut) status = STATUS_BUFFER_OVERFLOW;
  return status;
}

NTSTATUS KxFormatWide(PWCHAR buffer, SIZE_T capacity, PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  NTSTATUS status = KxFormatWideV(buffer, capacity, format, args);
  va_end(args);
  return status;
}
