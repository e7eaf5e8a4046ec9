// Basic types of the platform with Windows widths on every host: ULONG is 32 bits, WCHAR is 16 bits,
// pointers and ULONG_PTR follow the host. Everything the driver spells the Windows way starts here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// On 32-bit x86 the platform's routines are stdcall, and the few it declares FASTCALL (Kf*, Iof*,
// the fast mutex calls) fastcall, so that a driver image compiled against the platform's headers
// can call the host kernel's routines, and the host kernel the image's. Elsewhere there is one
// convention and both are empty.
#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif
#define NTSYSAPI
#define NTKERNELAPI
#define DECLSPEC_NORETURN [[noreturn]]
#define IN
#define OUT
#define OPTIONAL
#define FORCEINLINE inline
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#ifndef NULL
#define NULL nullptr
#endif
#define TRUE 1
#define FALSE 0

typedef void VOID, *PVOID;
typedef const void* PCVOID;
typedef char CHAR, *PCHAR, *PSTR;
typedef const char* PCSTR;
typedef signed char CCHAR;
typedef uint8_t UCHAR, *PUCHAR;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
// 64-bit members sit on 8-byte boundaries in the platform's records, on 32-bit x86 too, where
// the host's own ABI would put them on 4.
typedef int64_t LONGLONG __attribute__((aligned(8)));
typedef LONGLONG* PLONGLONG;
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef ULONGLONG* PULONGLONG;
typedef ULONGLONG ULONG64, *PULONG64;
typedef LONGLONG LONG64;
typedef intptr_t LONG_PTR, *PLONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef size_t SIZE_T, *PSIZE_T;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;

typedef char16_t WCHAR, *PWCH, *PWCHAR, *PWSTR;
typedef const char16_t *PCWCH, *PCWSTR;

typedef LONG NTSTATUS, *PNTSTATUS;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef LONG KPRIORITY;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  };
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;

#define FIELD_OFFSET(Type, Field) ((LONG)offsetof(Type, Field))
#define CONTAINING_RECORD(Address, Type, Field) \
  ((Type*)((PCHAR)(Address) - (ULONG_PTR)offsetof(Type, Field)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31
