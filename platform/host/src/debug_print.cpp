// DbgPrint and DbgPrintEx. Every line goes to the sink, which hands it to every live capture and
// echoes it to stderr when KX_TRACE=1. Lines are kept whatever their component and level: the
// debugger's filtering is a matter for whoever reads them.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "host/dbg.h"
#include "host/hostk/irql.h"
#include "host/hostk/trace.h"
#include "host/ntstatus.h"

namespace hostk {
namespace {

struct CaptureBuffer {
  mutable std::mutex mutex;
  std::vector<TraceLine> lines;
};

// Lock order: the sink's mutex, then a capture's.
struct Sink {
  std::mutex mutex;
  std::vector<CaptureBuffer*> captures;
};

// Never destroyed, so a thread may still print while the process exits.
Sink& TheSink() {
  static Sink* sink = new Sink;
  return *sink;
}

bool EchoToStderr() {
  static const bool echo = [] {
    const char* value = getenv("KX_TRACE");
    return value != nullptr && strcmp(value, "1") == 0;
  }();
  return echo;
}

void Publish(ULONG component, ULONG level, const std::string& text) {
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  if (EchoToStderr()) {
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
  }
  for (CaptureBuffer* capture : sink.captures) {
    std::lock_guard<std::mutex> capture_lock(capture->mutex);
    capture->lines.push_back(TraceLine{component, level, text});
  }
}

ULONG PrintV(ULONG component, ULONG level, PCSTR format, va_list args) {
  // The platform converts wide text through pageable tables, so it forbids it above PASSIVE_LEVEL.
  if (FormatHasWideConversion(format)) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "DbgPrint with a wide-text conversion (%C %S %lc %ls %wc "
                                     "%ws %wZ) above PASSIVE_LEVEL");
  }
  Publish(component, level, FormatWindowsV(format, args));
  return STATUS_SUCCESS;
}

}  // namespace

struct TraceCapture::State : CaptureBuffer {};

TraceCapture::TraceCapture() : state_(new State) {
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  sink.captures.push_back(state_);
}

TraceCapture::~TraceCapture() {
  {
    Sink& sink = TheSink();
    std::lock_guard<std::mutex> lock(sink.mutex);
    for (auto it = sink.captures.begin(); it != sink.captures.end(); ++it) {
      if (*it == state_) {
        sink.captures.erase(it);
        break;
      }
    }
  }
  delete state_;
}

std::vector<TraceLine> TraceCapture::Lines() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->lines;
}

bool TraceCapture::Contains(const std::string& fragment) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  for (const TraceLine& line : state_->lines) {
    if (line.text.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void TraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lines.clear();
}

void TraceResetForNextTest() {
  Sink& sink = TheSink();
  std::lock_guard<std::mutex> lock(sink.mutex);
  for (CaptureBuffer* capture : sink.captures) {
    std::lock_guard<std::mutex> capture_lock(capture->mutex);
    capture->lines.clear();
  }
}

}  // namespace hostk

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG status = hostk::PrintV(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, Format, args);
  va_end(args);
  return status;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  ULONG status = hostk::PrintV(ComponentId, Level, Format, args);
  va_end(args);
  return status;
}
