// The display stack's client of the adapter: it finds the adapter by its device interface (whose
// class says the generation), opens a control handle, and steers the adapter with the adapter's
// control codes as a user-mode process sends them.
//
// Calls run on a managed thread at PASSIVE_LEVEL; a request the driver leaves pending is waited
// for with a kernel wait.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/ntddk.h"

namespace kxsim {

constexpr ULONG kBusGetLinkMode = 0x222A80;
constexpr ULONG kBusSetLinkMode = 0x222A84;
constexpr ULONG kBusAttachDisplay = 0x222A88;
constexpr ULONG kBusDetachDisplay = 0x222A8C;
constexpr ULONG kBusGetUsbSpeed = 0x222A90;
constexpr ULONG kBusSetCompression = 0x222AA0;

class AdapterClient {
 public:
  AdapterClient();
  ~AdapterClient();  // closes the handle
  AdapterClient(const AdapterClient&) = delete;
  AdapterClient& operator=(const AdapterClient&) = delete;

  // Opens the first enabled adapter interface of either generation. STATUS_NO_SUCH_DEVICE when
  // no adapter is published.
  NTSTATUS Open();
  const std::string& InterfaceName() const { return interfaceName_; }
  bool Extended() const { return extended_; }
  // The class of the interface opened.
  const GUID& InterfaceClass() const;
  // Closes the handle; the calls after it answer STATUS_INVALID_HANDLE. Safe on another thread
  // than the calls'.
  void Close();

  NTSTATUS SetLinkMode(ULONG mode);
  NTSTATUS GetLinkMode(ULONG* mode);
  // JPEG on, with this quality and chroma sampling (0 4:4:4, 1 and 2 4:2:2, 3 4:2:0).
  NTSTATUS SetCompression(int quality, int sampling);
  NTSTATUS AttachDisplay(const std::vector<uint8_t>& report);
  NTSTATUS DetachDisplay(ULONG displayId);
  // 0 full speed, 1 high speed, 2 SuperSpeed.
  NTSTATUS GetUsbSpeed(ULONG* speed);

 private:
  NTSTATUS Call(ULONG code, const std::vector<uint8_t>& input, ULONG* output);

  std::unique_ptr<hostk::Client> client_;
  HANDLE handle_ = nullptr;
  std::string interfaceName_;
  bool extended_ = false;
};

}  // namespace kxsim
