// The configuration store: defaults, sizes and clamps of the start and compression options, the
// status values, the deferred "ErrorCode" write, and failures.
#include <gtest/gtest.h>

#include "host/hostk/processors.h"
#include "support/adapter_fixture.h"
#include "support/tested_driver.h"

namespace {

using kxtest::AdapterFixture;

using RegistryParameters = AdapterFixture;

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

TEST_F(RegistryParameters, WithoutAParametersKeyEveryDefaultStands) {
  ASSERT_FALSE(hostk::RegistryKeyExists(KeyPath("Parameters")));
  bus_->Legacy = bus_->LinkByDriver = 9;
  ReadStartOptions(bus_);
  ReadCompressionOptions(bus_);
  EXPECT_EQ(0, bus_->Legacy);
  EXPECT_EQ(0, bus_->LinkByDriver);
  EXPECT_EQ(0u, bus_->DriverModel);
  EXPECT_EQ(0, bus_->DriverRotate);
  EXPECT_EQ(75, bus_->Quality);
  EXPECT_EQ(3, bus_->Sampling);
  EXPECT_EQ(0, bus_->EnableJpeg);
  EXPECT_EQ(0xFFFFu, bus_->ThroughPut);
}

TEST_F(RegistryParameters, ValuesAreTakenOnlyAtTheirSizeOrShorter) {
  SetParameter("Legacy", Bytes({1}));  // and no "LinkByDriver": it follows "Legacy"
  SetParameter("DriverModel", Bytes({8, 0, 0, 0}));
  SetParameter("DriverRotate", Bytes({2}));
  SetParameter("Quality", Bytes({200}));
  SetParameter("Sampling", Bytes({1, 0}));  // two bytes for a one-byte value: ignored
  SetParameter("EnableJpeg", Bytes({5}));
  SetParameter("ThroughPut", Bytes({0x34, 0x12}));  // shorter: only its bytes are replaced
  ReadStartOptions(bus_);
  ReadCompressionOptions(bus_);
  EXPECT_EQ(1, bus_->Legacy);
  EXPECT_EQ(1, bus_->LinkByDriver);
  EXPECT_EQ(8u, bus_->DriverModel);
  EXPECT_EQ(2, bus_->DriverRotate);
  EXPECT_EQ(100, bus_->Quality);
  EXPECT_EQ(3, bus_->Sampling);
  EXPECT_EQ(1, bus_->EnableJpeg);
  EXPECT_EQ(0x1234u, bus_->ThroughPut);

  SetParameter("LinkByDriver", Bytes({0}));
  SetParameter("Quality", Bytes({0}));
  ReadStartOptions(bus_);
  ReadCompressionOptions(bus_);
  EXPECT_EQ(1, bus_->Legacy);
  EXPECT_EQ(0, bus_->LinkByDriver);
  EXPECT_EQ(0, bus_->Quality);

  SetParameter("Quality", Bytes({90, 0, 0, 0}));  // a 4-byte quality is not taken
  ReadCompressionOptions(bus_);
  EXPECT_EQ(75, bus_->Quality);
}

// The processors one rectangle may use: all but one by default, 1 to 8 whatever is stored.
TEST_F(RegistryParameters, EncodeThreadsDefaultToAllProcessorsButOneAndStayWithinOneToEight) {
  const std::pair<ULONG, ULONG> kDefaults[] = {{1, 1}, {2, 1}, {4, 3}, {9, 8}, {32, 8}};
  for (auto [processors, threads] : kDefaults) {
    hostk::SetActiveProcessorCount(processors);
    ReadCompressionOptions(bus_);
    EXPECT_EQ(threads, bus_->EncodeThreads) << processors << " processors";
  }
  hostk::SetActiveProcessorCount(4);
  const std::pair<std::vector<uint8_t>, ULONG> kStored[] = {
      {Bytes({2, 0, 0, 0}), 2}, {Bytes({0, 0, 0, 0}), 1}, {Bytes({100}), 8},
      {Bytes({1, 0, 0, 1}), 8}, {Bytes({6}), 6}};
  for (const auto& [bytes, threads] : kStored) {
    SetParameter("EncodeThreads", bytes);
    ReadCompressionOptions(bus_);
    EXPECT_EQ(threads, bus_->EncodeThreads) << int(bytes[0]) << " stored";
  }
}

TEST_F(RegistryParameters, StatusValuesCreateTheirKeyAsRawLittleEndianBytes) {
  bus_->ErrorCode = 0x01020304;
  EXPECT_EQ(STATUS_SUCCESS, ReportErrorCode(bus_));
  ULONG speed = 2;
  EXPECT_EQ(STATUS_SUCCESS, WriteStatusValue(KX_WSTR("UsbSpeed"), 4, &speed));
  auto error = hostk::RegistryGetValue(KeyPath("Parameters\\0000"), "ErrorCode");
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ((ULONG)REG_BINARY, error->type);
  EXPECT_EQ(Bytes({4, 3, 2, 1}), error->data);
  EXPECT_TRUE(hostk::RegistryGetValue(KeyPath("Parameters\\0000"), "UsbSpeed").has_value());

  ULONG mode = 1;
  EXPECT_EQ(STATUS_SUCCESS, WriteParameter(KX_WSTR("LinkMode"), 4, &mode));
  EXPECT_EQ(Bytes({1, 0, 0, 0}), hostk::RegistryGetValue(KeyPath("Parameters"), "LinkMode")->data);
}

TEST_F(RegistryParameters, BadArgumentsAreRefusedBeforeAnyAccess) {
  UCHAR byte = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadParameter(nullptr, 1, &byte));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadParameter(KX_WSTR(""), 1, &byte));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, ReadParameter(KX_WSTR("Legacy"), 0, &byte));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, WriteParameter(KX_WSTR("Legacy"), 1, nullptr));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, ReadParameter(KX_WSTR("Legacy"), 1, &byte));
}

TEST_F(RegistryParameters, ErrorCodeFromDispatchLevelLandsThroughAWorkItemHoldingAReference) {
  MarkStarted();
  bus_->ErrorCode = 0x10;
  hostk::WorkQueueHold(true);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  EXPECT_EQ(STATUS_PENDING, ReportErrorCode(bus_));
  KeLowerIrql(irql);
  EXPECT_EQ(2, bus_->OutstandingIo);  // the queued work item's reference
  hostk::WorkQueueHold(false);
  KeWaitForSingleObject(&bus_->IoIdleEvent, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(1, bus_->OutstandingIo);
  EXPECT_EQ(Bytes({0x10, 0, 0, 0}),
            hostk::RegistryGetValue(KeyPath("Parameters\\0000"), "ErrorCode")->data);

  // Not started: nothing is queued, nothing is held.
  SetBusPnpState(bus_, Stopped);
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, ReportErrorCode(bus_));
  KeLowerIrql(irql);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(RegistryParameters, EveryAllocationFailureKeepsDefaultsAndLeaksNothing) {
  MarkStarted();
  SetParameter("Quality", Bytes({50}));
  // The query buffer or the key path.
  hostk::PoolFailTag(kTagRegistry);
  ReadCompressionOptions(bus_);
  EXPECT_EQ(75, bus_->Quality);
  ULONG value = 0;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, WriteStatusValue(KX_WSTR("UsbSpeed"), 4, &value));
  hostk::PoolClearFaults();
  UCHAR quality = 75;
  hostk::PoolFailNth(2);  // the key path is the first allocation, the query buffer the second
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ReadParameter(KX_WSTR("Quality"), 1, &quality));
  EXPECT_EQ(75, quality);
  hostk::PoolClearFaults();

  // The deferred write: its context, then its work item.
  for (ULONG tag : {kTagWorkItem, hostk::PoolTag("IoWk")}) {
    hostk::PoolFailTag(tag);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ReportErrorCode(bus_));
    KeLowerIrql(irql);
    hostk::PoolClearFaults();
    EXPECT_EQ(1, bus_->OutstandingIo);
    EXPECT_EQ(0u, hostk::PoolLiveCount(kTagWorkItem));
  }
}

// The driver loads without its registry path copy: reads keep defaults, writes fail.
TEST(RegistryParametersNoPath, WithoutThePathCopyWritesFailAndReadsKeepDefaults) {
  hostk::PoolFailTag(kTagRegistryPath);
  PDRIVER_OBJECT driver = hostk::PnpLoadDriver("KxBusIdd", DriverEntry);
  hostk::PoolClearFaults();
  ASSERT_NE(nullptr, driver);
  hostk::RegistrySetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters", "Quality",
                          REG_BINARY, {40});
  PDEVICE_OBJECT pdo = hostk::PnpCreatePlainBusDevice();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpAddDevice(driver, pdo));
  BusDeviceContext* bus = (BusDeviceContext*)pdo->AttachedDevice->DeviceExtension;
  ReadCompressionOptions(bus);
  EXPECT_EQ(75, bus->Quality);
  ULONG value = 0;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteStatusValue(KX_WSTR("UsbSpeed"), 4, &value));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteParameter(KX_WSTR("LinkMode"), 4, &value));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpRemoveDevice(pdo));
  hostk::PnpDeletePlainBusDevice(pdo);
}

}  // namespace

namespace {

// A registry path as long as a counted string can be: the copy's 16-bit size would wrap for the
// longest ones, so they get no copy and the store fails as it does without one; a shorter one is
// kept, but a key path built on it that no counted string can carry is refused, not truncated.
TEST(RegistryPathLength, PathsTooLongForACountedStringAreRefused) {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxLongPath");
  UCHAR value = 1;
  for (USHORT length : {USHORT(0xFFFE), USHORT(0xFFFF), USHORT(0xFFFC)}) {
    std::u16string path(0x8000, u'k');
    UNICODE_STRING registryPath = {length, length, (PWCH)path.data()};
    size_t before = hostk::PoolLiveCount(kTagRegistryPath);
    ASSERT_EQ(STATUS_SUCCESS, DriverEntry(driver, &registryPath));
    bool kept = length == 0xFFFC;
    EXPECT_EQ(kept, kxtest::TestedDriverGlobals().RegistryPathCopy != nullptr) << length;
    EXPECT_EQ(kept ? before + 1 : before, hostk::PoolLiveCount(kTagRegistryPath)) << length;
    if (kept) {
      EXPECT_EQ(0, kxtest::TestedDriverGlobals().RegistryPathCopy[length / 2]);
    }
    EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteParameter(KX_WSTR("Legacy"), 1, &value)) << length;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, WriteStatusValue(KX_WSTR("UsbSpeed"), 1, &value)) << length;
    DriverUnload(driver);
    EXPECT_EQ(before, hostk::PoolLiveCount(kTagRegistryPath)) << length;
  }
  hostk::IoDeleteDriverObject(driver);
}

}  // namespace
