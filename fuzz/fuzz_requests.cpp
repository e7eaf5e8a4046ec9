// libFuzzer target: one input is a sequence of requests a user process sends the started adapter
// and its display children: opens by name, device control with any code (mostly the codes the
// driver knows), any lengths and bytes, buffers in user memory, past its end or null; reads and
// writes on transfer-set handles; closes; children attached and detached. After the input every
// handle is closed and the adapter put back; anything left behind, a sanitizer report or a bug
// check of the host kernel's verifier is a crash.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control_codes.h"
#include "driver_session.h"
#include "host/hostk/client.h"
#include "sim/display/display_driver.h"
#include "user_arena.h"

namespace kxfuzz {
namespace {

constexpr size_t kMaxSteps = 64;
constexpr size_t kMaxHandles = 16;

// With KX_FUZZ_TRACE set, every step is told on standard error as it is played, so that a
// finding's input can be read as the requests it makes.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) {
  static const bool enabled = std::getenv("KX_FUZZ_TRACE") != nullptr;
  if (!enabled) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

struct Handle {
  HANDLE value;
  int dataChannel;  // 1-4 for a transfer-set handle, 0 otherwise
};

class RequestPlayer {
 public:
  RequestPlayer(DriverSession& session, FuzzedDataProvider& data)
      : session_(session), data_(data) {}

  void Play() {
    for (size_t step = 0; step < kMaxSteps && data_.remaining_bytes() > 0; step++) {
      switch (data_.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: Open(); break;
        case 1: AdapterControl(); break;
        case 2: ChildControl(); break;
        case 3: Transfer(true); break;
        case 4: Transfer(false); break;
        case 5: Close(); break;
        case 6: AttachChild(); break;
        case 7: Settle(); break;
        case 8: Remove(); break;
        default: OpenChild(); break;
      }
    }
  }

 private:
  void Settle() {
    LONGLONG time = data_.ConsumeIntegralInRange<LONGLONG>(0, 2 * kSecond);
    Trace("settle %lld00 ns\n", (long long)time);
    session_.Settle(time);
  }

  void Remove() {
    ULONG id = data_.ConsumeIntegralInRange<ULONG>(0, 260);
    Trace("remove display %u\n", (unsigned)id);
    RemoveDisplayChild(session_.Bus(), id);
  }

  // A buffer as an offset into the user block, or null.
  std::string Describe(const UserSpan& span) const {
    char text[64];
    if (span.address == nullptr) {
      std::snprintf(text, sizeof text, "null+%u", (unsigned)span.length);
    } else {
      std::snprintf(text, sizeof text, "block+%zu, %u bytes", arena_.OffsetOf(span.address),
                    (unsigned)span.length);
    }
    return text;
  }

  // "", "\DISP00".."\DISP10", "\DMASET0".."\DMASET3", or any printable name.
  std::string Name(int* dataChannel) {
    *dataChannel = 0;
    int pick = data_.ConsumeIntegralInRange<int>(0, 16);
    if (pick == 0) return "";
    if (pick <= 11) {
      char name[8];
      std::snprintf(name, sizeof name, "\\DISP%02d", pick - 1);
      return name;
    }
    if (pick <= 15) {
      *dataChannel = pick - 11;
      return "\\DMASET" + std::to_string(pick - 12);
    }
    std::string name = data_.ConsumeRandomLengthString(40);
    for (char& c : name) c = (char)(0x20 + (unsigned char)c % 95);
    return name;
  }

  ULONG Code(const uint32_t* known, size_t count) {
    int kind = data_.ConsumeIntegralInRange<int>(0, 7);
    if (kind < 6) return known[data_.ConsumeIntegralInRange<size_t>(0, count - 1)];
    if (kind == 6) return 0x222000 | data_.ConsumeIntegralInRange<ULONG>(0, 0xFFF);
    return data_.ConsumeIntegral<ULONG>();
  }

  Handle* PickHandle() {
    if (handles_.empty()) return nullptr;
    return &handles_[data_.ConsumeIntegralInRange<size_t>(0, handles_.size() - 1)];
  }

  void Open() {
    if (handles_.size() >= kMaxHandles) return;
    Handle handle = {};
    std::string name = Name(&handle.dataChannel);
    NTSTATUS status = client_.OpenDevice(session_.Fdo(), &handle.value, name);
    Trace("open \"%s\": 0x%08X\n", name.c_str(), (unsigned)status);
    if (NT_SUCCESS(status)) handles_.push_back(handle);
  }

  void Close() {
    Handle* handle = PickHandle();
    if (handle == nullptr) return;
    Trace("close handle %p\n", handle->value);
    client_.Close(handle->value);
    handles_.erase(handles_.begin() + (handle - handles_.data()));
  }

  void AdapterControl() {
    Handle* handle = PickHandle();
    if (handle == nullptr) return;
    ULONG code = Code(kAdapterCodes, std::size(kAdapterCodes));
    UserSpan input = arena_.Decode(data_);
    UserSpan output = arena_.Decode(data_);
    if (!NT_SUCCESS(ProbeLikeIoManager(code, input, output))) return;
    NTSTATUS status = client_.DeviceControl(handle->value, code, input.address, input.length,
                                            output.address, output.length);
    Trace("control 0x%06X on %p, in %s, out %s: 0x%08X\n", (unsigned)code, handle->value,
          Describe(input).c_str(), Describe(output).c_str(), (unsigned)status);
  }

  // As the display driver sends them: to the top of the child's stack, from this process.
  void ChildControl() {
    std::vector<PDEVICE_OBJECT> children = session_.Children();
    if (children.empty()) return;
    PDEVICE_OBJECT child = children[data_.ConsumeIntegralInRange<size_t>(0, children.size() - 1)];
    ULONG code = Code(kChildCodes, std::size(kChildCodes));
    UserSpan input = arena_.Decode(data_);
    UserSpan output = arena_.Decode(data_);
    if (!NT_SUCCESS(ProbeLikeIoManager(code, input, output))) return;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(child);
    NTSTATUS status = kxsim::DisplayIoctl(top, code, input.address, input.length, output.address,
                                          output.length);
    Trace("child control 0x%06X, in %s, out %s: 0x%08X\n", (unsigned)code,
          Describe(input).c_str(), Describe(output).c_str(), (unsigned)status);
    ObfDereferenceObject(top);
  }

  // The adapter answers a read only with what it has to send, so a read first gives the far side
  // something to say on the handle's channel.
  void Transfer(bool read) {
    Handle* handle = PickHandle();
    if (handle == nullptr) return;
    if (read && handle->dataChannel != 0) {
      size_t size = data_.ConsumeIntegralInRange<size_t>(0, 4096);
      std::vector<uint8_t> message = data_.ConsumeBytes<uint8_t>(size);
      message.resize(size);
      session_.Adapter().QueueIn((UCHAR)(0x80 | handle->dataChannel), std::move(message));
    }
    UserSpan buffer = arena_.Decode(data_);
    ULONG_PTR moved = 0;
    NTSTATUS status = read ? client_.Read(handle->value, buffer.address, buffer.length, &moved)
                           : client_.Write(handle->value, buffer.address, buffer.length, &moved);
    Trace("%s on %p (channel %d), buffer %s: 0x%08X, %zu bytes\n", read ? "read" : "write",
          handle->value, handle->dataChannel, Describe(buffer).c_str(), (unsigned)status,
          (size_t)moved);
  }

  // A display report as the far side or the attach code delivers it: an identifier, a mode count
  // and whatever bytes follow.
  void AttachChild() {
    std::vector<uint8_t> report(12, 0);
    ULONG id = data_.ConsumeIntegralInRange<ULONG>(0, 12);
    ULONG modes = data_.ConsumeIntegralInRange<ULONG>(0, 4);
    for (int i = 0; i < 4; i++) report[i] = (uint8_t)(id >> (8 * i));
    for (int i = 0; i < 4; i++) report[4 + i] = (uint8_t)(modes >> (8 * i));
    size_t tail = data_.ConsumeIntegralInRange<size_t>(0, 8 * modes + 600);
    std::vector<uint8_t> rest = data_.ConsumeBytes<uint8_t>(tail);
    report.insert(report.end(), rest.begin(), rest.end());
    NTSTATUS status = CreateDisplayChild(session_.Bus(), report.data(), (ULONG)report.size());
    Trace("attach display %u with %u modes, %zu bytes: 0x%08X\n", (unsigned)id, (unsigned)modes,
          report.size(), (unsigned)status);
  }

  // Children are not opened by name: the open must fail cleanly.
  void OpenChild() {
    std::vector<PDEVICE_OBJECT> children = session_.Children();
    if (children.empty()) return;
    HANDLE handle = nullptr;
    PDEVICE_OBJECT child = children[data_.ConsumeIntegralInRange<size_t>(0, children.size() - 1)];
    if (NT_SUCCESS(client_.OpenDevice(child, &handle, "\\DISP00"))) client_.Close(handle);
  }

  DriverSession& session_;
  FuzzedDataProvider& data_;
  // The process's memory outlives its handles, as when a process ends: the client, which closes
  // what is still open when the input ends, goes first.
  UserArena arena_;
  hostk::Client client_;
  std::vector<Handle> handles_;
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
  {
    FuzzedDataProvider data(bytes, size);
    kxfuzz::RequestPlayer(session, data).Play();
  }
  session.EndInput();
  return 0;
}
