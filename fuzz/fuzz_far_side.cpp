// libFuzzer target: one input is what the far side of the adapter says on data channel 1 in while
// the link supervision thread listens: command blocks (magic "KXgt", command 16 announcing a
// display report of some size, 17 withdrawing a display, anything else), display reports and raw
// messages of any length, with virtual time passing between them. Afterwards the thread is
// stopped, the children removed and the adapter checked as after every input.
#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

#include "driver_session.h"

namespace kxfuzz {
namespace {

// Enough for an announcement, its report, a withdrawal and noise between them; every message
// costs a receive with its register programming, so longer inputs would only run fewer.
constexpr size_t kMaxMessages = 12;
constexpr size_t kBlockSize = 1024;

class FarSidePlayer {
 public:
  FarSidePlayer(DriverSession& session, FuzzedDataProvider& data)
      : session_(session), data_(data) {}

  void Play() {
    for (size_t step = 0; step < kMaxMessages && data_.remaining_bytes() > 0; step++) {
      switch (data_.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: Send(Block()); break;
        case 1: Send(Report()); break;
        case 2: Send(data_.ConsumeBytes<uint8_t>(data_.ConsumeIntegralInRange<size_t>(0, 2048)));
                break;
        case 3: Announce(); break;
        default: break;
      }
      // Up to a little past the report receive's 10-second limit, so that a late report is met.
      session_.Settle(data_.ConsumeIntegralInRange<LONGLONG>(0, 12 * kSecond));
    }
  }

 private:
  void Send(std::vector<uint8_t> message) { session_.Adapter().SendFarSideMessage(message); }

  // A command block: mostly the right magic, commands 16 and 17 mostly, any value; mostly the
  // whole 1024 bytes, sometimes short or long.
  std::vector<uint8_t> Block() {
    size_t size = kBlockSize;
    int shape = data_.ConsumeIntegralInRange<int>(0, 7);
    if (shape == 6) size = data_.ConsumeIntegralInRange<size_t>(0, kBlockSize - 1);
    if (shape == 7) size = data_.ConsumeIntegralInRange<size_t>(kBlockSize + 1, 3 * kBlockSize);
    std::vector<uint8_t> block(size, 0);
    uint8_t head[10] = {'K', 'X', 'g', 't'};
    if (data_.ConsumeIntegralInRange<int>(0, 7) == 0) {
      for (int i = 0; i < 4; i++) head[i] = data_.ConsumeIntegral<uint8_t>();
    }
    USHORT command = data_.PickValueInArray<USHORT>({16, 16, 17, data_.ConsumeIntegral<USHORT>()});
    ULONG value = data_.ConsumeIntegralInRange<int>(0, 3) == 0
                      ? data_.ConsumeIntegral<ULONG>()
                      : data_.ConsumeIntegralInRange<ULONG>(0, 2 * kBlockSize);
    head[4] = (uint8_t)command;
    head[5] = (uint8_t)(command >> 8);
    for (int i = 0; i < 4; i++) head[6 + i] = (uint8_t)(value >> (8 * i));
    for (size_t i = 0; i < sizeof head && i < size; i++) block[i] = head[i];
    return block;
  }

  // A display report: identifier, mode count, the report word, then modes and display data from
  // the input, of any length.
  std::vector<uint8_t> Report() {
    std::vector<uint8_t> report(12, 0);
    ULONG id = data_.ConsumeIntegralInRange<ULONG>(0, 300);
    ULONG modes = data_.ConsumeIntegralInRange<int>(0, 7) == 0 ? data_.ConsumeIntegral<ULONG>()
                                                               : data_.ConsumeIntegralInRange<ULONG>(0, 8);
    for (int i = 0; i < 4; i++) report[i] = (uint8_t)(id >> (8 * i));
    for (int i = 0; i < 4; i++) report[4 + i] = (uint8_t)(modes >> (8 * i));
    size_t tail = data_.ConsumeIntegralInRange<size_t>(0, 8 * 8 + 600);
    std::vector<uint8_t> rest = data_.ConsumeBytes<uint8_t>(tail);
    rest.resize(tail);
    report.insert(report.end(), rest.begin(), rest.end());
    return report;
  }

  // The far side's own announcement: a command 16 block and its report, or a command 17.
  void Announce() {
    if (data_.ConsumeBool()) {
      session_.Adapter().AnnounceDisplay(Report());
    } else {
      session_.Adapter().AnnounceRemoval(data_.ConsumeIntegralInRange<ULONG>(0, 300));
    }
  }

  DriverSession& session_;
  FuzzedDataProvider& data_;
};

}  // namespace
}  // namespace kxfuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::DriverSession::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  kxfuzz::DriverSession& session = kxfuzz::DriverSession::Get();
  session.BeginInput(bytes, size);
  BusDeviceContext* bus = session.Bus();
  // Link mode 1 with the driver's own thread, as the mode's control code enters it.
  bus->LinkMode = 1;
  bus->LinkByDriver = 1;
  bus->LinkState = kLinkStateStarted;
  if (!StartLinkThread(session.Fdo())) __builtin_trap();
  session.Settle(kxfuzz::kSecond / 10);  // the thread waits for its first block
  {
    FuzzedDataProvider data(bytes, size);
    kxfuzz::FarSidePlayer(session, data).Play();
  }
  session.EndInput();
  return 0;
}
