// The adapter's control codes as the display stack sends them: the driver started on the virtual
// adapter, handles opened by file name, buffered requests through a system buffer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "pipeline_fixture.h"

namespace kxtest {

using Bytes = std::vector<uint8_t>;

inline Bytes U32(ULONG value) {
  return {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}
inline Bytes Words(std::initializer_list<ULONG> values) {
  Bytes bytes;
  for (ULONG value : values) {
    Bytes word = U32(value);
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  return bytes;
}
inline ULONG U32At(const Bytes& bytes, size_t offset) {
  if (bytes.size() < offset + 4) return 0xDEADBEEF;
  return (ULONG)bytes[offset] | (ULONG)bytes[offset + 1] << 8 | (ULONG)bytes[offset + 2] << 16 |
         (ULONG)bytes[offset + 3] << 24;
}

// A display report with `modes` modes, cut to `length` bytes when that is given.
Bytes DisplayReportBytes(LONG id, ULONG modes, size_t length = SIZE_MAX);
// A complete display description: identifier, 512 bytes of data, report word, the mode count
// and its modes; `length` bytes when given (a shorter one is cut, a longer one zero-padded).
Bytes DescriptionBytes(LONG id, ULONG modes, size_t length = SIZE_MAX);

struct Reply {
  NTSTATUS status;
  ULONG_PTR information;
  Bytes out;  // the first `information` bytes of the answer
};

class AdapterCodes : public PipelineTest {
 protected:
  void TearDown() override;

  // The adapter started by the Plug and Play manager with these registry options.
  void StartWith(ULONG driverModel = 0, bool linkByDriver = false,
                 kxsim::VirtualAdapterOptions options = {});
  HANDLE Open(const std::string& fileName = "");
  Reply Call(HANDLE handle, ULONG code, const Bytes& input, ULONG outLength);
  // On a control handle opened at the first call.
  Reply Call(ULONG code, const Bytes& input, ULONG outLength);
  // Straight to the dispatcher: no file object and no system buffer, whatever the lengths say,
  // and the status and information the request arrives with.
  Reply CallBare(ULONG code, ULONG inLength, ULONG outLength, NTSTATUS arrived = STATUS_PENDING,
                 ULONG_PTR arrivedInformation = 0);
  // A Plug and Play state set by hand, and the one before it restored before the test ends.
  void ForceState(LONG state);

  hostk::Client& client();
  std::unique_ptr<hostk::Client> client_;
  HANDLE control_ = nullptr;
  bool forced_ = false;
};

}  // namespace kxtest
