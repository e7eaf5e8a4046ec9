// Reads and writes on the adapter's transfer-set handles as the display stack makes them: the
// driver started on the virtual adapter, handles opened by file name, buffers in user memory
// reaching the driver through the I/O manager's direct I/O.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/pool.h"
#include "pipeline_fixture.h"

namespace kxtest {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; i++) bytes[i] = (uint8_t)(seed + i * 13 + (i >> 10));
  return bytes;
}

// Transfers as the adapter received them, end to end.
inline Bytes Joined(const std::vector<Bytes>& transfers) {
  Bytes all;
  for (const Bytes& transfer : transfers) all.insert(all.end(), transfer.begin(), transfer.end());
  return all;
}

struct Outcome {
  NTSTATUS status;
  ULONG_PTR information;
};

class ReadWrite : public PipelineTest {
 protected:
  static constexpr ULONG kStage = 1024;  // MaxTransferSize of most tests: many stages, cheaply

  void Start(kxsim::VirtualAdapterOptions options = {}) {
    Plug(options);
    client_ = std::make_unique<hostk::Client>();
  }
  void TearDown() override {
    client_.reset();
    PipelineTest::TearDown();
  }
  HANDLE Open(const std::string& fileName) {
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, client_->OpenDevice(fdo_, &handle, fileName)) << fileName;
    return handle;
  }
  HANDLE OpenChannel(ULONG channel) { return Open("\\DMASET" + std::to_string(channel - 1)); }

  Outcome Read(HANDLE handle, void* buffer, ULONG length) {
    Outcome outcome{STATUS_PENDING, 0xDEAD};
    outcome.status = client_->Read(handle, buffer, length, &outcome.information);
    return outcome;
  }
  Outcome Write(HANDLE handle, const void* buffer, ULONG length) {
    Outcome outcome{STATUS_PENDING, 0xDEAD};
    outcome.status = client_->Write(handle, buffer, length, &outcome.information);
    return outcome;
  }
  // A write of `length` bytes on `channel` succeeds and its bytes reach the adapter.
  void ExpectWriteArrives(HANDLE handle, ULONG channel, ULONG length);
  // Work items have run and every reference the path took is back.
  void ExpectSettled() {
    Settle();
    EXPECT_EQ(1, Interlocked(bus_->OutstandingIo));
  }

  std::unique_ptr<hostk::Client> client_;
};

}  // namespace kxtest
