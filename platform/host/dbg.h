// Debug output. Formats follow the platform's printf: %ws and %wZ take wide strings, the l size
// is 32 bits, I64 and ll are 64 bits, I is pointer-sized.
#pragma once

#include "host/ntdef.h"

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

#define DPFLTR_DEFAULT_ID 101
#define DPFLTR_IHVVIDEO_ID 78
#define DPFLTR_IHVDRIVER_ID 77

ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                          ULONG_PTR BugCheckParameter2,
                                          ULONG_PTR BugCheckParameter3,
                                          ULONG_PTR BugCheckParameter4);
DECLSPEC_NORETURN VOID NTAPI KeBugCheck(ULONG BugCheckCode);

#ifdef NDEBUG
#define ASSERT(exp) ((void)0)
#else
#define ASSERT(exp) \
  ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#endif
#define NT_ASSERT(exp) ASSERT(exp)
VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message);
