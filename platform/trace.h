// The driver's levelled trace.
//
//   KX_TRACE(KX_TRACE_WARNING, "reset of pipe %u failed: 0x%08X\n", pipeIndex, status);
//
// Formats follow the platform's printf: the l size is 32 bits, 64-bit values take %I64u or %llu,
// %ws and %wZ print wide strings, and wide-text conversions are allowed only at PASSIVE_LEVEL.
// Each trace is one DbgPrintEx call for DPFLTR_IHVDRIVER_ID, prefixed "KxBusIdd: "; our levels map
// to the platform's filter levels, so the debugger's mask for the IHVDRIVER component chooses what
// it shows (by default, errors only). End the format with "\n": the platform adds none.
//
// KX_TRACE_ENABLED (1 unless NDEBUG is defined) compiles traces in or out. Compiled out, a trace
// costs nothing and its arguments are never evaluated, so they must not hold side effects the code
// needs; they are still named (inside sizeof), so a value kept only for a trace draws no
// unused-variable warning. As with <assert.h>, each inclusion chooses anew: a file may redefine
// KX_TRACE_ENABLED and include this header again.

#ifndef KX_PLATFORM_TRACE_LEVELS
#define KX_PLATFORM_TRACE_LEVELS

#include "nt.h"

#define KX_TRACE_ERROR 1
#define KX_TRACE_WARNING 2
#define KX_TRACE_INFO 3
#define KX_TRACE_VERBOSE 4

#define KX_TRACE_PLATFORM_LEVEL(level)                                    \
  ((level) == KX_TRACE_ERROR     ? DPFLTR_ERROR_LEVEL                     \
   : (level) == KX_TRACE_WARNING ? DPFLTR_WARNING_LEVEL                   \
   : (level) == KX_TRACE_INFO    ? DPFLTR_TRACE_LEVEL                     \
                                 : DPFLTR_INFO_LEVEL)

#define KX_TRACE_CALL(level, format, ...)                                          \
  DbgPrintEx(DPFLTR_IHVDRIVER_ID, KX_TRACE_PLATFORM_LEVEL(level), "KxBusIdd: " format, \
             ##__VA_ARGS__)

#endif  // KX_PLATFORM_TRACE_LEVELS

#ifndef KX_TRACE_ENABLED
#ifdef NDEBUG
#define KX_TRACE_ENABLED 0
#else
#define KX_TRACE_ENABLED 1
#endif
#endif

#undef KX_TRACE
#if KX_TRACE_ENABLED
#define KX_TRACE(level, format, ...) ((void)KX_TRACE_CALL(level, format, ##__VA_ARGS__))
#else
#define KX_TRACE(level, format, ...) ((void)sizeof(KX_TRACE_CALL(level, format, ##__VA_ARGS__)))
#endif
