// Runtime helpers the driver needs on both builds and the kernel does not export.
#pragma once

#include <stdarg.h>

#include "nt.h"

// Bounded formatted printing into a wide-character buffer of `capacity` characters, always
// terminated. Conversions: %ws (wide string), %s (narrow string), %u %d %x %X with an optional 0 flag
// and width, and the l size (32 bits, as on the platform); %% prints one %. Answers
// STATUS_BUFFER_OVERFLOW when the text was cut to fit, STATUS_INVALID_PARAMETER for an empty buffer
// or an unknown conversion.
NTSTATUS KxFormatWide(PWCHAR buffer, SIZE_T capacity, PCSTR format, ...);
NTSTATUS KxFormatWideV(PWCHAR buffer, SIZE_T capacity, PCSTR format, va_list args);

// The number of characters before the terminator.
SIZE_T KxWideLength(PCWSTR text);
