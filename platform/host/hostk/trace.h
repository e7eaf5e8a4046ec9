// Debug output as tests see it. Every DbgPrint and DbgPrintEx line goes to the sink: echoed to
// stderr when KX_TRACE=1 is set in the environment, and kept by every live capture.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "host/ntdef.h"

namespace hostk {

struct TraceLine {
  ULONG component;  // DPFLTR_DEFAULT_ID for DbgPrint
  ULONG level;      // DPFLTR_INFO_LEVEL for DbgPrint
  std::string text; // formatted, as printed (a trailing newline kept)
};

// Collects the lines printed from any thread while it lives.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<TraceLine> Lines() const;
  // True when some line contains `fragment`.
  bool Contains(const std::string& fragment) const;
  void Clear();

 private:
  struct State;
  State* state_;
};

// The platform's printf with Windows conversions and sizes (see host/dbg.h), bounded only by memory.
std::string FormatWindowsV(const char* format, va_list args);
std::string FormatWindows(const char* format, ...);

// True when `format` has a conversion that takes wide text (%C %S %lc %ls %wc %ws %wZ), which the
// platform's debug print allows only at PASSIVE_LEVEL.
bool FormatHasWideConversion(const char* format);

// Between tests: empties every live capture.
void TraceResetForNextTest();

}  // namespace hostk
