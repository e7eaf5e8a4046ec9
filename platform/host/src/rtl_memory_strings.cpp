// Run-time library: RtlCompareMemory, the count of the driver's copies, and the counted wide
// strings (UNICODE_STRING).
//
// Lengths are in bytes. A counted string need not be terminated; the routines that write one add a
// terminator only when MaximumLength leaves room for it, as the platform does. Upcasing follows
// the simple upper-case mapping of the whole Basic Multilingual Plane (upcase_table.inc, generated
// from the Unicode character database by tools/unicode/gen_upcase_table.py).
#include <algorithm>
#include <atomic>

#include "host/ex.h"
#include "host/ntstatus.h"
#include "host/rtl.h"
#include "host/hostk/rtl_copies.h"

namespace {

// Every code point from first to last, stepping by stride, upper-cases to itself plus delta.
struct UpcaseRun {
  WCHAR first;
  WCHAR last;
  int stride;
  int delta;
};

constexpr UpcaseRun kUpcaseRuns[] = {
#include "upcase_table.inc"
};

// The longest counted string: MaximumLength = Length + 2 must still fit in a USHORT.
constexpr ULONG kMaxStringBytes = 0xFFFC;

ULONG WideLengthBytes(PCWSTR text) {
  ULONG chars = 0;
  while (text[chars] != 0 && chars * sizeof(WCHAR) < kMaxStringBytes) ++chars;
  return chars * sizeof(WCHAR);
}

void TerminateIfRoom(PUNICODE_STRING s) {
  if ((ULONG)s->Length + sizeof(WCHAR) <= s->MaximumLength) {
    s->Buffer[s->Length / sizeof(WCHAR)] = 0;
  }
}

// Appends `bytes` bytes at the end of `destination`, or changes nothing when they do not fit.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, ULONG bytes) {
  if (bytes == 0) return STATUS_SUCCESS;
  if ((ULONG)destination->Length + bytes > destination->MaximumLength) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  // memmove: the source may be a part of the destination's own buffer.
  memmove((PUCHAR)destination->Buffer + destination->Length, source, bytes);
  destination->Length = (USHORT)(destination->Length + bytes);
  TerminateIfRoom(destination);
  return STATUS_SUCCESS;
}

}  // namespace

namespace hostk {
namespace {
std::atomic<uint64_t> copiedBytes{0};
}

void CountCopiedBytes(SIZE_T bytes) { copiedBytes.fetch_add(bytes, std::memory_order_relaxed); }
uint64_t CopiedBytes() { return copiedBytes.load(std::memory_order_relaxed); }
}  // namespace hostk

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const UCHAR* a = (const UCHAR*)Source1;
  const UCHAR* b = (const UCHAR*)Source2;
  SIZE_T matched = 0;
  while (matched < Length && a[matched] == b[matched]) ++matched;
  return matched;
}

// Every letter of the Basic Multilingual Plane with a single-character capital folds to it; the
// rest (digits, capitals, letters such as U+00DF whose capital is two characters) stay.
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  const UpcaseRun* end = kUpcaseRuns + sizeof kUpcaseRuns / sizeof kUpcaseRuns[0];
  const UpcaseRun* after =
      std::upper_bound(kUpcaseRuns, end, SourceCharacter,
                       [](WCHAR c, const UpcaseRun& run) { return c < run.first; });
  if (after == kUpcaseRuns) return SourceCharacter;
  const UpcaseRun& run = after[-1];
  if (SourceCharacter > run.last || (SourceCharacter - run.first) % run.stride != 0) {
    return SourceCharacter;
  }
  return (WCHAR)(SourceCharacter + run.delta);
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = (PWCH)SourceString;
  if (SourceString == NULL) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  ULONG bytes = WideLengthBytes(SourceString);
  DestinationString->Length = (USHORT)bytes;
  DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != NULL) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = NULL;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
  ULONG chars1 = String1->Length / sizeof(WCHAR);
  ULONG chars2 = String2->Length / sizeof(WCHAR);
  ULONG common = chars1 < chars2 ? chars1 : chars2;
  for (ULONG i = 0; i < common; ++i) {
    WCHAR c1 = String1->Buffer[i];
    WCHAR c2 = String2->Buffer[i];
    if (CaseInSensitive) {
      c1 = RtlUpcaseUnicodeChar(c1);
      c2 = RtlUpcaseUnicodeChar(c2);
    }
    if (c1 != c2) return (LONG)c1 - (LONG)c2;
  }
  return (LONG)String1->Length - (LONG)String2->Length;
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
  if (String1->Length != String2->Length) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0 ? TRUE : FALSE;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (SourceString == NULL) {
    DestinationString->Length = 0;
    return;
  }
  ULONG bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) {
    // Truncated to whole characters.
    bytes = DestinationString->MaximumLength & ~(ULONG)(sizeof(WCHAR) - 1);
  }
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = (USHORT)bytes;
  TerminateIfRoom(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == NULL) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source, WideLengthBytes(Source));
}
