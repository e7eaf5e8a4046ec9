#include "sim/display/adapter_client.h"

namespace kxsim {
namespace {

// The adapter's interface classes: the extended generation, then the basic one.
const GUID kExtendedAdapterInterface = {
    0xCF507BAA, 0xC6C8, 0x414F, {0x93, 0x12, 0xA3, 0xE0, 0xC2, 0xC4, 0xD8, 0x58}};
const GUID kBasicAdapterInterface = {
    0x2016ABA7, 0xD140, 0x40C8, {0xA3, 0xF9, 0xC4, 0x37, 0x7E, 0xDA, 0xE1, 0x82}};

constexpr ULONG kCompressionJpeg = 0x10000;
// Any non-zero throughput keeps JPEG on; the adapter only stores it.
constexpr USHORT kThroughput = 1;

std::vector<uint8_t> Le32(ULONG value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

}  // namespace

AdapterClient::AdapterClient() : client_(std::make_unique<hostk::Client>()) {}

AdapterClient::~AdapterClient() {
  if (handle_ != nullptr) client_->Close(handle_);
}

NTSTATUS AdapterClient::Open() {
  for (const GUID* cls : {&kExtendedAdapterInterface, &kBasicAdapterInterface}) {
    std::vector<hostk::DeviceInterface> found = hostk::IoEnabledDeviceInterfaces(*cls);
    if (found.empty()) continue;
    NTSTATUS status = client_->Open(found.front().symbolicLink, &handle_);
    if (!NT_SUCCESS(status)) {
      handle_ = nullptr;
      return status;
    }
    interfaceName_ = found.front().symbolicLink;
    extended_ = cls == &kExtendedAdapterInterface;
    return STATUS_SUCCESS;
  }
  return STATUS_NO_SUCH_DEVICE;
}

const GUID& AdapterClient::InterfaceClass() const {
  return extended_ ? kExtendedAdapterInterface : kBasicAdapterInterface;
}

void AdapterClient::Close() {
  // The host client refuses a second close of the same handle, so the destructor's is harmless.
  if (handle_ != nullptr) client_->Close(handle_);
}

NTSTATUS AdapterClient::Call(ULONG code, const std::vector<uint8_t>& input, ULONG* output) {
  if (handle_ == nullptr) return STATUS_INVALID_HANDLE;
  uint8_t answer[4] = {};
  ULONG_PTR information = 0;
  NTSTATUS status = client_->DeviceControl(handle_, code, input.empty() ? nullptr : input.data(),
                                           ULONG(input.size()), output ? answer : nullptr,
                                           output ? 4 : 0, &information);
  if (output != nullptr) {
    if (NT_SUCCESS(status) && information < 4) status = STATUS_UNSUCCESSFUL;
    *output = ULONG(answer[0]) | ULONG(answer[1]) << 8 | ULONG(answer[2]) << 16 |
              ULONG(answer[3]) << 24;
  }
  return status;
}

NTSTATUS AdapterClient::SetLinkMode(ULONG mode) {
  return Call(kBusSetLinkMode, Le32(mode), nullptr);
}

NTSTATUS AdapterClient::GetLinkMode(ULONG* mode) { return Call(kBusGetLinkMode, {}, mode); }

NTSTATUS AdapterClient::SetCompression(int quality, int sampling) {
  std::vector<uint8_t> input = Le32(kCompressionJpeg);
  std::vector<uint8_t> length = Le32(4);
  input.insert(input.end(), length.begin(), length.end());
  input.push_back(uint8_t(sampling));
  input.push_back(uint8_t(quality));
  input.push_back(uint8_t(kThroughput));
  input.push_back(uint8_t(kThroughput >> 8));
  return Call(kBusSetCompression, input, nullptr);
}

NTSTATUS AdapterClient::AttachDisplay(const std::vector<uint8_t>& report) {
  return Call(kBusAttachDisplay, report, nullptr);
}

NTSTATUS AdapterClient::DetachDisplay(ULONG displayId) {
  return Call(kBusDetachDisplay, Le32(displayId), nullptr);
}

NTSTATUS AdapterClient::GetUsbSpeed(ULONG* speed) { return Call(kBusGetUsbSpeed, {}, speed); }

}  // namespace kxsim
