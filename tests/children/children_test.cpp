// Display children on a started adapter: created from display reports and descriptions, bound to
// channels, enumerated and started by the Plug and Play manager, and removed in three stages.
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "pipeline_fixture.h"

namespace kxtest {
namespace {

using Bytes = std::vector<uint8_t>;

// A display report: identifier, n modes of 8 bytes (each byte its index plus `seed`), the report
// word, and 512 bytes of display data.
Bytes Report(LONG id, ULONG modes, USHORT word = 0x1234, uint8_t seed = 1) {
  Bytes report(12 + 8 * modes + 512, 0);
  for (int i = 0; i < 4; i++) report[i] = (uint8_t)((ULONG)id >> (8 * i));
  for (int i = 0; i < 4; i++) report[4 + i] = (uint8_t)(modes >> (8 * i));
  report[8] = (uint8_t)word;
  report[9] = (uint8_t)(word >> 8);
  for (size_t i = 12; i < report.size(); i++) report[i] = (uint8_t)(i + seed);
  return report;
}

std::string Narrow(const WCHAR* text) {
  std::string out;
  for (; text != nullptr && *text != 0; text++) out += (char)*text;
  return out;
}

class Children : public PipelineTest {
 protected:
  void SetUp() override {
    Plug();
  }
  NTSTATUS Create(LONG id, ULONG modes = 2) {
    Bytes report = Report(id, modes);
    NTSTATUS status = CreateDisplayChild(bus_, report.data(), (ULONG)report.size());
    hostk::PnpWaitForEnumeration();
    return status;
  }
  ChildDeviceContext* Child(LONG id) {
    for (PLIST_ENTRY e = bus_->Children.Flink; e != &bus_->Children; e = e->Flink) {
      ChildDeviceContext* child = CONTAINING_RECORD(e, ChildDeviceContext, Link);
      if ((LONG)child->DisplayId == id) return child;
    }
    return nullptr;
  }
  const hostk::PnpDeviceNodeInfo* Node(const std::string& path) {
    tree_ = hostk::PnpDeviceTree();
    for (const auto& node : tree_) {
      if (node.instancePath == path) return &node;
    }
    return nullptr;
  }
  std::vector<hostk::PnpDeviceNodeInfo> tree_;
};

TEST_F(Children, AChildIsBoundEnumeratedAndStarted) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1, 3));
  ChildDeviceContext* child = Child(1);
  ASSERT_NE(nullptr, child);
  EXPECT_EQ("Kestrelix\\DisplayIDD01", Narrow(child->DeviceId));
  EXPECT_EQ(0u, child->ChannelIndex);
  EXPECT_EQ(0, bus_->Channels[0].Free);
  EXPECT_EQ(1, bus_->Channels[0].DisplayId);
  const hostk::PnpDeviceNodeInfo* node = Node("Kestrelix\\DisplayIDD01\\01");
  ASSERT_NE(nullptr, node);
  EXPECT_EQ("Started", node->state);
  EXPECT_EQ(Started, child->Header.DevicePnpState);
  EXPECT_EQ(std::vector<std::string>{"Kestrelix\\DisplayIDD01"}, node->hardwareIds);
  EXPECT_EQ(std::vector<std::string>{"Kestrelix\\VirtualDisplay"}, node->compatibleIds);
  EXPECT_EQ("Kestrelix Virtual Display", node->description);
  ASSERT_TRUE(node->busInformation);
  EXPECT_EQ(PNPBus, node->busInformationAnswer.LegacyBusType);
  EXPECT_EQ(0x8265BDBDu, node->busInformationAnswer.BusTypeGuid.Data1);
  EXPECT_EQ(1u, node->capabilities.UINumber);
  EXPECT_TRUE(node->capabilities.SurpriseRemovalOK);
  // The description: identifier, display data, report word, modes, and a zero tail of 512.
  ASSERT_EQ(8u * 3 + 1044, child->DescriptionSize);
  const UCHAR* description = (const UCHAR*)child->Description;
  Bytes report = Report(1, 3);
  EXPECT_EQ(1, description[0]);
  EXPECT_TRUE(std::equal(report.begin() + 12 + 24, report.end(), description + 4));
  EXPECT_EQ(0x34, description[516]);
  EXPECT_EQ(3, description[528]);
  EXPECT_TRUE(std::equal(report.begin() + 12, report.begin() + 36, description + 532));
  for (ULONG i = 532 + 24; i < child->DescriptionSize; i++) ASSERT_EQ(0, description[i]) << i;
}

// Display numbers 0 to 254: from 255 up a number stands for every display in a detach, so a
// display numbered so could never be detached alone (0xFFFFFFFF also marks a channel without a
// display). Either creation refuses them before anything is made.
TEST_F(Children, IdentifiersRunFromZeroTo254) {
  for (LONG id : {255, 1000, -2147483647 - 1, -1}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Create(id));
    Bytes description(532, 0);
    for (int i = 0; i < 4; i++) description[i] = (uint8_t)((ULONG)id >> (8 * i));
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              AddDisplayChildFromDescription(bus_, description.data(), (ULONG)description.size()));
  }
  EXPECT_EQ(0u, bus_->ChildCount);
  EXPECT_EQ(1, bus_->Channels[0].Free);
  ASSERT_EQ(STATUS_SUCCESS, Create(100));
  EXPECT_EQ("Kestrelix\\DisplayIDD100", Narrow(Child(100)->DeviceId));
  EXPECT_NE(nullptr, Node("Kestrelix\\DisplayIDD100\\100"));
  ASSERT_EQ(STATUS_SUCCESS, Create(254));
  ASSERT_EQ(STATUS_SUCCESS, Create(0));
  EXPECT_EQ("Kestrelix\\DisplayIDD00", Narrow(Child(0)->DeviceId));
  // Each of them is detached alone.
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 254));
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(2u, bus_->ChildCount);
  EXPECT_EQ(nullptr, Child(254));
}

TEST_F(Children, TheEleventhAndAnIdentifierAlreadyBoundAreRefused) {
  for (LONG id = 1; id <= 10; id++) ASSERT_EQ(STATUS_SUCCESS, Create(id)) << id;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Create(11));
  EXPECT_EQ(10u, bus_->ChildCount);
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 4));
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Create(2));  // bound to a channel before the free one
  EXPECT_EQ(STATUS_SUCCESS, Create(11));
  EXPECT_EQ(3u, Child(11)->ChannelIndex);
}

// A report is trusted for no more bytes than it has: one shorter than its own count implies, or a
// count whose description would not fit 32 bits, is refused before anything is created.
TEST_F(Children, ReportsAndDescriptionsShorterThanTheirCountAreRefused) {
  Bytes report = Report(7, 4);
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            CreateDisplayChild(bus_, report.data(), (ULONG)report.size() - 1));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateDisplayChild(bus_, report.data(), 11));
  Bytes huge = Report(7, 0);
  huge[4] = 0xFF, huge[5] = 0xFF, huge[6] = 0xFF, huge[7] = 0x1F;  // 8n + 1044 beyond 32 bits
  EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateDisplayChild(bus_, huge.data(), 0xFFFFFFFF));
  Bytes description(532 + 16, 0);
  description[528] = 2;
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            AddDisplayChildFromDescription(bus_, description.data(), 532 + 15));
  EXPECT_EQ(0u, bus_->ChildCount);
  EXPECT_EQ(1, bus_->Channels[0].Free);
  // Whole, a description is copied as it stands.
  description[0] = 9;
  description[600 % description.size()] = 0x77;
  ASSERT_EQ(STATUS_SUCCESS,
            AddDisplayChildFromDescription(bus_, description.data(), (ULONG)description.size()));
  hostk::PnpWaitForEnumeration();
  ChildDeviceContext* child = Child(9);
  ASSERT_NE(nullptr, child);
  ASSERT_EQ(532u + 16, child->DescriptionSize);
  EXPECT_TRUE(std::equal(description.begin(), description.end(), (UCHAR*)child->Description));
}

// Removal in three stages: not present, left out of the relations, deleted by its removal.
TEST_F(Children, RemovingAllLeavesNoChildAndNoChannel) {
  for (LONG id = 1; id <= 3; id++) ASSERT_EQ(STATUS_SUCCESS, Create(id));
  EXPECT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 255));
  for (ULONG i = 0; i < 3; i++) EXPECT_EQ(1, bus_->Channels[i].Free);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(0u, bus_->ChildCount);
  EXPECT_EQ(nullptr, Node("Kestrelix\\DisplayIDD01\\01"));
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, RemoveDisplayChild(bus_, 255));
  ASSERT_EQ(STATUS_SUCCESS, Create(5));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, RemoveDisplayChild(bus_, 6));
}

// A child removed before any bus-relations reply named it is unknown to the Plug and Play manager,
// which will never send it a removal: the bus must let it go by itself. Each round gives the
// manager's worker the chance to query the relations only after the removal.
TEST_F(Children, AChildRemovedBeforeItWasEverReportedIsDeleted) {
  for (LONG id = 1; id <= 20; id++) {
    Bytes report = Report(id, 1);
    ASSERT_EQ(STATUS_SUCCESS, CreateDisplayChild(bus_, report.data(), (ULONG)report.size()));
    EXPECT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, (ULONG)id));
  }
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(0u, bus_->ChildCount);
  EXPECT_TRUE(IsListEmpty(&bus_->Children));
  EXPECT_EQ(0u, hostk::PoolLiveCount(kTagDescription));
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  EXPECT_EQ(1u, bus_->ChildCount) << "the identifier is free again";
}

// A creation joins the list only once it has its identifier; an enumeration another creation asked
// for meanwhile must not report it, or the manager would query an identifier not written yet.
TEST_F(Children, AChildStillBeingCreatedIsNotReported) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  // As a creation holds it before its identifier and description are set: not yet listed.
  PDEVICE_OBJECT halfMade = NewChildDevice(bus_, 2);
  ASSERT_NE(nullptr, halfMade);
  IoInvalidateDeviceRelations(port_->Pdo(), BusRelations);
  hostk::PnpWaitForEnumeration();
  EXPECT_NE(nullptr, Node("Kestrelix\\DisplayIDD01\\01"));
  size_t reported = 0;
  for (const auto& node : hostk::PnpDeviceTree()) reported += node.depth == 1 ? 1 : 0;
  EXPECT_EQ(1u, reported);
  EXPECT_EQ(1u, bus_->ChildCount);
  IoDeleteDevice(halfMade);
}

TEST_F(Children, AStreamingChildsRemovalStopsItsOutput) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  PDEVICE_OBJECT child = Child(1)->Header.Self;
  ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 64));
  EXPECT_EQ(1, Interlocked(bus_->WorkerRunning));
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 1));
  EXPECT_EQ(0, Interlocked(bus_->WorkerRunning));  // the last active output went
  EXPECT_EQ(0, Interlocked(bus_->ActiveOutputCount));
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(0u, bus_->ChildCount);
}

// A display whose output its driver had already stopped goes away while another streams: the
// other keeps streaming (the worker stops only when no output is left active).
TEST_F(Children, RemovingAStoppedOutputLeavesTheOthersStreaming) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  ASSERT_EQ(STATUS_SUCCESS, Create(2));
  PDEVICE_OBJECT first = Child(1)->Header.Self;
  PDEVICE_OBJECT second = Child(2)->Header.Self;
  ASSERT_EQ(STATUS_SUCCESS, SetMode(first, 64, 64));
  ASSERT_EQ(STATUS_SUCCESS, SetMode(second, 64, 64));
  ASSERT_EQ(STATUS_SUCCESS, Stop(second));
  Settle();
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 2));
  EXPECT_EQ(1, Interlocked(bus_->WorkerRunning));
  kxsim::BgrxImage image = SyntheticDesktop(64, 64, 12);
  ASSERT_EQ(STATUS_SUCCESS, PresentWhole(first, image));
  Settle();
  EXPECT_GT(FarPsnr(1, image), 25.0);
  hostk::PnpWaitForEnumeration();
  ExpectNoViolations();
}

// A child removed while its display is still there (disabled) is only unloaded: it keeps its
// device, its channel and its node, and enumerations do not start it again. An eject of another
// child lets that one go at once: the relations leave it out and its final removal deletes it.
TEST_F(Children, RemovalOfAPresentChildKeepsItAndEjectLetsItGo) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  ASSERT_EQ(STATUS_SUCCESS, Create(2));
  PDEVICE_OBJECT child = Child(1)->Header.Self;
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpQueryRemoveDevice(child));
  EXPECT_EQ(NotStarted, Child(1)->Header.DevicePnpState);
  EXPECT_EQ(2u, bus_->ChildCount);
  IoInvalidateDeviceRelations(port_->Pdo(), BusRelations);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(NotStarted, Child(1)->Header.DevicePnpState);
  ASSERT_NE(nullptr, Node("Kestrelix\\DisplayIDD01\\01"));
  EXPECT_EQ("Removed", Node("Kestrelix\\DisplayIDD01\\01")->state);
  EXPECT_EQ(0, bus_->Channels[Child(1)->ChannelIndex].Free);

  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpEjectDevice(Child(2)->Header.Self));
  EXPECT_EQ(nullptr, Child(2));
  EXPECT_EQ(1u, bus_->ChildCount);
  EXPECT_EQ(nullptr, Node("Kestrelix\\DisplayIDD02\\02"));
  hostk::PnpWaitForEnumeration();
  ExpectNoViolations();
}

TEST_F(Children, QueriesOfTheChildAnswerAsABusDriverMust) {
  ASSERT_EQ(STATUS_SUCCESS, Create(2));
  PDEVICE_OBJECT child = Child(2)->Header.Self;
  IO_STACK_LOCATION parameters = {};
  ULONG_PTR information = 0;
  parameters.Parameters.QueryId.IdType = BusQueryHardwareIDs;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, &parameters,
                                                  &information));
  const WCHAR* ids = (const WCHAR*)information;
  EXPECT_EQ("Kestrelix\\DisplayIDD02", Narrow(ids));
  EXPECT_EQ(0, ids[22]);
  EXPECT_EQ(0, ids[23]);
  ExFreePool((PVOID)information);
  parameters.Parameters.QueryId.IdType = BusQueryInstanceID;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, &parameters,
                                                  &information));
  EXPECT_EQ("02", Narrow((const WCHAR*)information));
  ExFreePool((PVOID)information);
  // What the child does not answer keeps the request's status.
  parameters.Parameters.QueryDeviceText.DeviceTextType = DeviceTextLocationInformation;
  EXPECT_EQ(STATUS_NOT_SUPPORTED, hostk::PnpSendRequest(child, IRP_MJ_PNP,
                                                        IRP_MN_QUERY_DEVICE_TEXT, &parameters));
  EXPECT_EQ(STATUS_NOT_SUPPORTED,
            hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCE_REQUIREMENTS));
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION));
  // Query-stop and its cancel.
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE));
  EXPECT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE));
  EXPECT_EQ(Started, Child(2)->Header.DevicePnpState);
}

// The child's power mapping follows the adapter's: S1 stays at D0 when the adapter keeps D0 there,
// and becomes D1 otherwise; S2 and S3 become D3 unless D0.
std::atomic<int> filterQueries{0};

TEST_F(Children, CapabilitiesFollowTheAdaptersSleepMapping) {
  ASSERT_EQ(STATUS_SUCCESS, Create(3));
  PDEVICE_OBJECT child = Child(3)->Header.Self;
  DEVICE_CAPABILITIES caps = {};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.UniqueID = 1;
  caps.LockSupported = 1;
  IO_STACK_LOCATION parameters = {};
  parameters.Parameters.DeviceCapabilities.Capabilities = &caps;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                                  &parameters));
  EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemWorking]);
  EXPECT_EQ(PowerDeviceD1, caps.DeviceState[PowerSystemSleeping1]);  // the adapter says D3
  EXPECT_EQ(PowerDeviceD3, caps.DeviceState[PowerSystemSleeping3]);
  EXPECT_EQ(PowerDeviceD1, caps.DeviceWake);
  EXPECT_EQ(0u, caps.UniqueID);
  EXPECT_EQ(1u, caps.LockSupported);  // left as it came
  EXPECT_EQ(3u, caps.Address);
  // An adapter that keeps D0 in S1 (a filter above it answers so).
  PDRIVER_OBJECT filterDriver = hostk::IoCreateDriverObject("\\Driver\\CapsFilter");
  filterDriver->MajorFunction[IRP_MJ_PNP] = [](PDEVICE_OBJECT, PIRP irp) NTAPI -> NTSTATUS {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
      filterQueries++;
      for (auto& state : stack->Parameters.DeviceCapabilities.Capabilities->DeviceState) {
        state = PowerDeviceD0;
      }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  PDEVICE_OBJECT filter;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(filterDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter));
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  ASSERT_EQ(fdo_, IoAttachDeviceToDeviceStack(filter, fdo_));
  caps = {};
  caps.Size = sizeof caps;
  caps.Version = 1;
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                                                  &parameters));
  EXPECT_EQ(1, filterQueries.load());
  // Version 2 is refused without asking the adapter.
  DEVICE_CAPABILITIES version2 = {};
  version2.Size = sizeof version2;
  version2.Version = 2;
  parameters.Parameters.DeviceCapabilities.Capabilities = &version2;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, hostk::PnpSendRequest(child, IRP_MJ_PNP,
                                                       IRP_MN_QUERY_CAPABILITIES, &parameters));
  EXPECT_EQ(1, filterQueries.load());
  IoDetachDevice(fdo_);
  IoDeleteDevice(filter);
  hostk::IoDeleteDriverObject(filterDriver);
  EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemSleeping1]);
  EXPECT_EQ(PowerDeviceD0, caps.DeviceState[PowerSystemSleeping2]);
}

// A driver above that already listed devices keeps its list when the adapter has no child.
TEST_F(Children, AnUpperDriversRelationsPassDownUntouched) {
  PDEVICE_RELATIONS above = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS), hostk::PoolTag("Filt"));
  above->Count = 1;
  above->Objects[0] = fdo_;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, fdo_, nullptr, 0, nullptr, &event, &iosb);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = (ULONG_PTR)above;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
  next->Parameters.QueryDeviceRelations.Type = BusRelations;
  ASSERT_EQ(STATUS_SUCCESS, IoCallDriver(fdo_, irp));
  EXPECT_EQ((ULONG_PTR)above, iosb.Information);
  EXPECT_EQ(1u, above->Count);
  ExFreePool(above);
}

TEST_F(Children, EveryAllocationFailureLeavesNothingBehind) {
  hostk::PoolFailTag(kTagBus);  // the identifier
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Create(1));
  hostk::PoolClearFaults();
  EXPECT_EQ(0u, bus_->ChildCount);
  EXPECT_EQ(1, bus_->Channels[0].Free);
  hostk::PoolFailTag(kTagDescription);  // the description: the child goes on without one
  EXPECT_EQ(STATUS_SUCCESS, Create(1));
  hostk::PoolClearFaults();
  ChildDeviceContext* child = Child(1);
  ASSERT_NE(nullptr, child);
  EXPECT_EQ(nullptr, child->Description);
  Bytes out(2048);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Ioctl(child->Header.Self, IOCTL_DISPLAY_GET_DESCRIPTION,
                                               nullptr, 0, out.data(), (ULONG)out.size()));
  // Each answer of the child: a failure, and nothing handed over.
  PDEVICE_OBJECT pdo = child->Header.Self;
  IO_STACK_LOCATION parameters = {};
  hostk::PoolFailTag(kTagBus);
  for (BUS_QUERY_ID_TYPE type : {BusQueryDeviceID, BusQueryCompatibleIDs, BusQueryInstanceID}) {
    parameters.Parameters.QueryId.IdType = type;
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
              hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, &parameters, &information));
    EXPECT_EQ(0u, information);
  }
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION));
  parameters.Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, &parameters));
  parameters.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, &parameters));
  hostk::PoolClearFaults();
  // The relations list: the request fails and nothing changes. (An eject leaves the child out of
  // the next relations without asking for them, so no enumeration runs meanwhile.)
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_EJECT));
  hostk::PoolFailTag(kTagBus);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            hostk::PnpSendRequest(fdo_, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS));
  hostk::PoolClearFaults();
  EXPECT_EQ(0, child->ReportedMissing);
  hostk::PnpWaitForEnumeration();
  IoInvalidateDeviceRelations(port_->Pdo(), BusRelations);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(0u, bus_->ChildCount);
}

// A display announced, driven by its display driver through the child's control codes only, and
// withdrawn while it streams: the far side shows the picture, and the child leaves the tree.
TEST_F(Children, ADisplayDriverStreamsThroughItsChildUntilTheDisplayGoes) {
  ASSERT_EQ(STATUS_SUCCESS, Create(6, 2));
  PDEVICE_OBJECT pdo = hostk::PnpFindDevice("Kestrelix\\DisplayIDD06\\06");
  ASSERT_NE(nullptr, pdo);
  kxsim::BgrxImage image = SyntheticDesktop(320, 240, 6);
  {
    kxsim::SimulatedDisplayDriver display(pdo);
    Bytes description;
    ASSERT_EQ(STATUS_SUCCESS, display.ReadDescription(&description));
    ASSERT_EQ(8u * 2 + 1044, description.size());
    EXPECT_EQ(6, description[0]);
    ASSERT_EQ(STATUS_SUCCESS, display.SetMode(320, 240));
    ASSERT_EQ(STATUS_SUCCESS, display.Present(image.pixels.data(), 320, 240, 0, 0, 320, 240));
    Settle();
    EXPECT_GT(FarPsnr(6, image), EncoderPsnr(image) - 0.5);
    ASSERT_EQ(STATUS_SUCCESS, display.Present(image.pixels.data(), 320, 240, 10, 10, 50, 50));
    // Ejected, the display is gone and its channel may soon serve another: the child's codes
    // fail. (An eject asks for no enumeration, so the child cannot be deleted under the driver.)
    ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(pdo, IRP_MJ_PNP, IRP_MN_EJECT));
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, display.Stop());
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE,
              display.Present(image.pixels.data(), 320, 240, 0, 0, 320, 240));
  }
  // The display driver has let go of the child; the display is withdrawn.
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 6));
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(nullptr, hostk::PnpFindDevice("Kestrelix\\DisplayIDD06\\06"));
  EXPECT_EQ(0u, bus_->ChildCount);
  ExpectNoViolations();
}

// Reporters on several threads at once never bind two children to one channel.
TEST_F(Children, ConcurrentCreationsNeverShareAChannel) {
  std::atomic<int> created{0};
  auto reporter = [this, &created](LONG thread) {
    for (LONG i = 0; i < 4; i++) {
      Bytes report = Report(10 * (thread + 1) + i, 1);
      if (NT_SUCCESS(CreateDisplayChild(bus_, report.data(), (ULONG)report.size()))) created++;
    }
  };
  {
    SystemThread a([&] { reporter(0); });
    SystemThread b([&] { reporter(1); });
    SystemThread c([&] { reporter(2); });
    SystemThread d([&] { reporter(3); });
  }
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(10, created.load());
  std::set<ULONG> channels;
  std::set<LONG> ids;
  for (PLIST_ENTRY e = bus_->Children.Flink; e != &bus_->Children; e = e->Flink) {
    ChildDeviceContext* child = CONTAINING_RECORD(e, ChildDeviceContext, Link);
    channels.insert(child->ChannelIndex);
    EXPECT_EQ((LONG)child->DisplayId, bus_->Channels[child->ChannelIndex].DisplayId);
  }
  EXPECT_EQ(10u, channels.size());
}

// A display's driver sends a mode while the display is detached and another attached: the mode
// request, already inside the child and waiting for the frame lock, must end before the channel
// passes on, or it would announce its mode for the next display and leave the channel active.
TEST_F(Children, ARequestInsideADetachedChildNeverActsForTheNextDisplay) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  PDEVICE_OBJECT first = Child(1)->Header.Self;
  DisplayChannel& channel = bus_->Channels[0];
  KeWaitForSingleObject(&channel.FrameLock, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS mode = STATUS_PENDING;
  std::atomic<bool> attached{false};
  std::thread modeCaller([&] {
    hostk::ManagedThreadScope scope("display driver");
    attached = true;
    mode = SetMode(first, 64, 48);
  });
  while (!attached) std::this_thread::yield();
  Settle(kSecond / 10);  // the mode request waits for the frame lock (at most 2 seconds)
  {
    SystemThread detach([&] { EXPECT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 1)); });
    Settle(kSecond / 10);
    SystemThread attach([&] {
      Bytes report = Report(7, 2);
      EXPECT_EQ(STATUS_SUCCESS, CreateDisplayChild(bus_, report.data(), (ULONG)report.size()));
    });
    Settle(kSecond / 10);
    KeReleaseMutex(&channel.FrameLock, FALSE);
  }
  modeCaller.join();
  // The mode went to display 1, whose channel the detach then deactivated; display 7 set none.
  EXPECT_EQ(STATUS_SUCCESS, mode);
  EXPECT_EQ(7, channel.DisplayId);
  EXPECT_EQ(0, Interlocked(channel.Active));
  EXPECT_EQ(0, Interlocked(bus_->ActiveOutputCount));
  auto seventh = adapter_->Display(7);
  EXPECT_TRUE(!seventh.has_value() || seventh->modes == 0) << "a mode announced for display 7";
  hostk::PnpWaitForEnumeration();
}

// A display detached and attached again (a monitor plugged in again) starts from black: the kept
// store's picture from before is not sent around a small update.
TEST_F(Children, ADisplayAttachedAgainStartsFromBlack) {
  kxsim::BgrxImage white{64, 48, std::vector<uint8_t>(size_t(64) * 48 * 4, 0xFF)};
  for (int attach = 0; attach < 2; attach++) {
    ASSERT_EQ(STATUS_SUCCESS, Create(5));
    PDEVICE_OBJECT child = Child(5)->Header.Self;
    ASSERT_EQ(STATUS_SUCCESS, SetMode(child, 64, 48));
    if (attach == 0) {
      ASSERT_EQ(STATUS_SUCCESS, PresentWhole(child, white));
      Settle();
      ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 5));
      hostk::PnpWaitForEnumeration();
      continue;
    }
    ASSERT_EQ(STATUS_SUCCESS, Present(child, white, 17, 17, 18, 18));
    Settle();
  }
  auto display = adapter_->Display(5);
  ASSERT_TRUE(display.has_value());
  const uint8_t* pixel = &display->rgb[(size_t(24) * 64 + 24) * 3];
  EXPECT_LT(std::max({pixel[0], pixel[1], pixel[2]}), 16);
}

// An ejected child keeps its channel until its display is detached: the detach frees it, and the
// display can be attached again.
TEST_F(Children, ADetachAfterAnEjectFreesTheChannel) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(Child(1)->Header.Self, IRP_MJ_PNP, IRP_MN_EJECT));
  ASSERT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 1));
  EXPECT_EQ(1, bus_->Channels[0].Free);
  EXPECT_EQ(kNoDisplay, bus_->Channels[0].DisplayId);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(STATUS_SUCCESS, Create(1));
}

// An ejected display that was streaming: the relations leave its child out and its removal
// deletes it, and with it goes its channel (output stopped, worker ended when it was the last),
// so the same display can be announced again. Ten more ejects leave every channel to be had.
TEST_F(Children, AnEjectedChildsRemovalFreesItsChannel) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  ASSERT_EQ(STATUS_SUCCESS, SetMode(Child(1)->Header.Self, 64, 48));
  ASSERT_EQ(1, Interlocked(bus_->WorkerRunning));
  displayDrivers_.clear();
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpSendRequest(Child(1)->Header.Self, IRP_MJ_PNP, IRP_MN_EJECT));
  IoInvalidateDeviceRelations(port_->Pdo(), BusRelations);
  hostk::PnpWaitForEnumeration();
  ASSERT_EQ(nullptr, Child(1));
  DisplayChannel& channel = bus_->Channels[0];
  EXPECT_EQ(1, channel.Free);
  EXPECT_EQ(kNoDisplay, channel.DisplayId);
  EXPECT_EQ(0, Interlocked(channel.Active));
  EXPECT_EQ(0, Interlocked(bus_->ActiveOutputCount));
  EXPECT_EQ(0, Interlocked(bus_->WorkerRunning));
  for (int round = 0; round < 10; round++) {
    SCOPED_TRACE(round);
    ASSERT_EQ(STATUS_SUCCESS, Create(1));
    ASSERT_EQ(0u, Child(1)->ChannelIndex);
    ASSERT_EQ(STATUS_SUCCESS,
              hostk::PnpSendRequest(Child(1)->Header.Self, IRP_MJ_PNP, IRP_MN_EJECT));
    IoInvalidateDeviceRelations(port_->Pdo(), BusRelations);
    hostk::PnpWaitForEnumeration();
  }
  EXPECT_EQ(0u, bus_->ChildCount);
  for (ULONG i = 0; i < kChannelCount; i++) EXPECT_EQ(1, bus_->Channels[i].Free) << i;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, RemoveDisplayChild(bus_, 1));
}

// A detach of every display, while a request waits inside the first child and the enumeration
// that the second child's creation asked for runs: it waits for the request, then frees both
// channels, and the enumeration lets both children go. (The detach holds a reference on each
// child it waits with, so that an enumeration deleting a child meanwhile cannot free it.)
TEST_F(Children, ADetachOfAllWaitsForTheRequestInsideAndFreesEveryChannel) {
  ASSERT_EQ(STATUS_SUCCESS, Create(1));
  PDEVICE_OBJECT first = Child(1)->Header.Self;
  DisplayChannel& channel = bus_->Channels[0];
  KeWaitForSingleObject(&channel.FrameLock, Executive, KernelMode, FALSE, nullptr);
  std::atomic<bool> attached{false};
  std::thread modeCaller([&] {
    hostk::ManagedThreadScope scope("display driver");
    attached = true;
    SetMode(first, 64, 48);
  });
  while (!attached) std::this_thread::yield();
  Settle(kSecond / 10);
  Bytes report = Report(2, 2);
  ASSERT_EQ(STATUS_SUCCESS, CreateDisplayChild(bus_, report.data(), (ULONG)report.size()));
  {
    SystemThread detach([&] { EXPECT_EQ(STATUS_SUCCESS, RemoveDisplayChild(bus_, 255)); });
    Settle(kSecond / 10);
    hostk::PnpWaitForEnumeration();
    KeReleaseMutex(&channel.FrameLock, FALSE);
  }
  modeCaller.join();
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(1, bus_->Channels[0].Free);
  EXPECT_EQ(1, bus_->Channels[1].Free);
  EXPECT_EQ(0u, bus_->ChildCount);
}

}  // namespace
}  // namespace kxtest
