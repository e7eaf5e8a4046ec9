// What the tests can read of the driver under test beyond its requests: its own variables (in the
// test program for the driver built for the host, in the shipped image's data for the image preset,
// whose variables the test program does not link) and its traces.
#pragma once

#include "driver/kxbus.h"

namespace kxtest {

#if defined(KX_SHIPPED_IMAGE)
DriverGlobals& TestedDriverGlobals();  // tests/shipped/driver_routines.cpp
// The shipped image is built without its traces: what a test reads only from them, it cannot see.
constexpr bool kTestedDriverTraces = false;
// Nor does it count its copies (hostk::CopiedBytes): its memcpy is the platform's.
constexpr bool kTestedDriverCountsCopies = false;
#else
inline DriverGlobals& TestedDriverGlobals() { return Globals; }
constexpr bool kTestedDriverTraces = true;
constexpr bool kTestedDriverCountsCopies = true;
#endif

}  // namespace kxtest
