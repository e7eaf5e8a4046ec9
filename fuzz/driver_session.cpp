#include "driver_session.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/hostk.h"
#include "host/hostk/client.h"
#include "host/hostk/pnp.h"
#include "host/hostk/pool.h"
#include "host/hostk/registry.h"
#include "host/hostk/user_memory.h"
#include "input_history.h"

namespace kxfuzz {
namespace {

constexpr ULONG kSetLinkMode = 0x222A84;
// A display mode's frame store can ask for up to 4 GiB; the platform's pool would refuse that long
// before, and a run must not spend the host's memory on it.
constexpr SIZE_T kLargestAllocation = 64u << 20;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz: the input left the adapter unclean: %s\n", what.c_str());
  std::fflush(stderr);
  WriteInputHistory();
  std::abort();
}

// Frame stores are the channels' own: kept from one mode set to the next until the adapter stops,
// so they are not the input's to give back.
std::map<ULONG, size_t> LivePoolByTag() {
  std::map<ULONG, size_t> counts;
  for (const hostk::PoolBlock& block : hostk::PoolLiveBlocks()) {
    if (block.tag != kTagFrameStore) counts[block.tag]++;
  }
  return counts;
}

}  // namespace

DriverSession& DriverSession::Get() {
  static DriverSession* session = [] {
    InstallInputHistory();
    hostk::AttachCurrentThread("fuzz");
    auto* created = new DriverSession;
    created->Plug();
    return created;
  }();
  return *session;
}

void DriverSession::Plug() {
  hostk::PoolFailLarger(kLargestAllocation);
  adapter_ = std::make_shared<kxsim::VirtualAdapter>();
  port_ = std::make_unique<kxsim::SimulatedUsbPort>(adapter_->Device());
  driver_ = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  if (driver_ == nullptr) Fail("the driver did not load");
  if (hostk::PnpAddDevice(driver_, port_->Pdo()) != STATUS_SUCCESS) Fail("no device added");
  fdo_ = port_->Pdo()->AttachedDevice;
  bus_ = (BusDeviceContext*)fdo_->DeviceExtension;
  hostk::RegistrySetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters", "Legacy",
                          REG_BINARY, {0});
  if (hostk::PnpStartDevice(port_->Pdo()) != STATUS_SUCCESS) Fail("the adapter did not start");
  quality_ = bus_->Quality;
  sampling_ = bus_->Sampling;
  enableJpeg_ = bus_->EnableJpeg;
  throughPut_ = bus_->ThroughPut;
  Settle(kSecond);
}

void DriverSession::Settle(LONGLONG hundredNs) {
  LARGE_INTEGER interval;
  interval.QuadPart = -hundredNs;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::vector<PDEVICE_OBJECT> DriverSession::Children() {
  hostk::PnpWaitForEnumeration();
  std::vector<PDEVICE_OBJECT> children;
  for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree()) {
    if (node.depth == 1 && node.state == "Started") children.push_back(node.pdo);
  }
  return children;
}

void DriverSession::BeginInput(const uint8_t* bytes, size_t size) {
  RememberInput(bytes, size);
  poolBefore_ = LivePoolByTag();
  mdlsBefore_ = hostk::MdlLiveCount();
}

void DriverSession::EndInput() {
  LeaveLinkMode();
  RemoveChildren();
  // What the far side said and nobody read, and what the driver wrote, go with the input.
  for (UCHAR endpoint = 0x81; endpoint <= 0x84; endpoint++) adapter_->DropQueuedIn(endpoint);
  for (UCHAR endpoint = 0x02; endpoint <= 0x04; endpoint++) adapter_->TakeReceived(endpoint);
  // The adapter logs every register access for the start-up tests; a long run has no use for it.
  adapter_->Log().Clear();
  bus_->Quality = quality_;
  bus_->Sampling = sampling_;
  bus_->EnableJpeg = enableJpeg_;
  bus_->ThroughPut = throughPut_;
  InterlockedExchange((LONG*)&bus_->ErrorCode, 0);
  Settle(kSecond);
  // The context and URB a transfer leaves for the next are the adapter's, as its frame stores are;
  // given back here, so that what an input leaks still shows.
  UsbFreeSpareTransfer(bus_);
  CheckClean();
}

// Through the control code as the display stack leaves link mode 1; while the adapter does not
// serve it, by hand as the code would.
void DriverSession::LeaveLinkMode() {
  hostk::Client client;
  HANDLE handle = nullptr;
  NTSTATUS status = client.OpenDevice(fdo_, &handle);
  if (NT_SUCCESS(status)) {
    ULONG mode = 0;
    status = client.DeviceControl(handle, kSetLinkMode, &mode, sizeof mode, nullptr, 0);
    client.Close(handle);
  }
  StopLinkThread(fdo_);
  if (!NT_SUCCESS(status)) bus_->LinkMode = 0;
}

void DriverSession::RemoveChildren() {
  hostk::PnpWaitForEnumeration();
  RemoveDisplayChild(bus_, 255);
  hostk::PnpWaitForEnumeration();
}

void DriverSession::CheckClean() {
  std::string problems;
  std::map<ULONG, size_t> after = LivePoolByTag();
  if (after != poolBefore_) {
    problems += "pool blocks by tag differ from before the input:\n";
    for (const auto& [tag, count] : after) {
      auto before = poolBefore_.find(tag);
      size_t was = before == poolBefore_.end() ? 0 : before->second;
      if (was != count) {
        problems += "  " + hostk::PoolTagName(tag) + ": " + std::to_string(was) + " -> " +
                    std::to_string(count) + "\n";
      }
    }
    for (const auto& [tag, count] : poolBefore_) {
      if (after.count(tag) == 0) {
        problems += "  " + hostk::PoolTagName(tag) + ": " + std::to_string(count) + " -> 0\n";
      }
    }
    problems += hostk::PoolLeakReport();
  }
  if (hostk::MdlLiveCount() != mdlsBefore_) problems += hostk::MdlLeakReport() + "\n";
  if (InterlockedCompareExchange(&bus_->OutstandingIo, 0, 0) != 1) {
    problems += "requests in progress: " + std::to_string(bus_->OutstandingIo - 1) + "\n";
  }
  if (bus_->OpenHandleCount != 0) {
    problems += "open handles: " + std::to_string(bus_->OpenHandleCount) + "\n";
  }
  if (bus_->ChildCount != 0 || !Children().empty()) {
    problems += "children left: " + std::to_string(bus_->ChildCount) + "\n";
    for (PLIST_ENTRY e = bus_->Children.Flink; e != &bus_->Children; e = e->Flink) {
      ChildDeviceContext* child = CONTAINING_RECORD(e, ChildDeviceContext, Link);
      problems += "  display " + std::to_string(child->DisplayId) + " on channel " +
                  std::to_string(child->ChannelIndex) + ", present " +
                  std::to_string(child->Present) + ", state " +
                  std::to_string(child->Header.DevicePnpState) + "\n";
    }
    for (const hostk::PnpDeviceNodeInfo& node : hostk::PnpDeviceTree()) {
      if (node.depth == 1) problems += "  node " + node.instancePath + ": " + node.state + "\n";
    }
  }
  if (bus_->LinkThreadRunning != 0 || bus_->LinkThreadObject != nullptr) {
    problems += "the link thread still runs\n";
  }
  if (bus_->Header.DevicePnpState != Started) problems += "the adapter is no longer started\n";
  if (!problems.empty()) Fail(problems + hostk::DescribeThreads());
}

}  // namespace kxfuzz

// Every far-side input starts and ends a system thread, and an ended thread's share of the address
// sanitizer's quarantine is not given back: left at its defaults a long campaign would grow until
// libFuzzer's memory limit ends it.
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=16:thread_local_quarantine_size_kb=64";
}
