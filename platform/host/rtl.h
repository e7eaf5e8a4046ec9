// Run-time library: memory helpers and counted wide strings.
#pragma once

#include "host/ntdef.h"

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#ifdef KX_COUNTED_COPIES
// The driver's own copies are counted, so that a bench can say how many bytes the driver moves for
// each pixel presented (hostk::CopiedBytes).
namespace hostk {
void CountCopiedBytes(SIZE_T bytes);
}
inline void HostCountedCopy(void* destination, const void* source, SIZE_T length) {
  hostk::CountCopiedBytes(length);
  memcpy(destination, source, length);
}
inline void HostCountedMove(void* destination, const void* source, SIZE_T length) {
  hostk::CountCopiedBytes(length);
  memmove(destination, source, length);
}
#define RtlCopyMemory(Destination, Source, Length) HostCountedCopy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) HostCountedMove((Destination), (Source), (Length))
#else
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#endif
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

// The number of leading bytes that match.
SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminator
  USHORT MaximumLength;  // bytes
  PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define RTL_CONSTANT_STRING(s) \
  { (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s), (PWCH)(s) }

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
// Frees a buffer that the platform allocated for the caller (from the pool).
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
