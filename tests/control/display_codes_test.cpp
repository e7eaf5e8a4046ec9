// Displays attached and detached by the display stack, what a display handle's output shows,
// and the information a child stored for its output.
#include <set>

#include "adapter_codes_fixture.h"
#include "host/hostk/pnp.h"

namespace kxtest {
namespace {

class DisplayCodes : public AdapterCodes {
 protected:
  void SetUp() override {
    StartWith();
    ASSERT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_SET_LINK_MODE, U32(1), 0).status);
  }
  // The channel each display is bound to, by identifier.
  std::map<LONG, ULONG> Bound() {
    std::map<LONG, ULONG> bound;
    for (ULONG i = 0; i < kChannelCount; i++) {
      if (bus_->Channels[i].DisplayId != kNoDisplay) bound[bus_->Channels[i].DisplayId] = i;
    }
    return bound;
  }
  Reply Connected(HANDLE handle) { return Call(handle, IOCTL_BUS_QUERY_DISPLAY_CONNECTED, {}, 4); }
};

TEST_F(DisplayCodes, AttachCreatesAChildFromAWholeReportOnly) {
  struct AttachCase {
    const char* name;
    Bytes report;
    bool created;
  };
  const AttachCase kCases[] = {
      {"two modes", DisplayReportBytes(21, 2), true},
      {"no modes", DisplayReportBytes(22, 0), true},
      {"one byte short of its modes", DisplayReportBytes(23, 3, 12 + 24 + 512 - 1), false},
      {"a header only", DisplayReportBytes(24, 0, 12), false},
      {"a single byte", Bytes{25}, false},
      {"a count far beyond the input", DisplayReportBytes(26, 0x20000000, 600), false},
  };
  for (const AttachCase& c : kCases) {
    SCOPED_TRACE(c.name);
    Reply reply = Call(IOCTL_BUS_ATTACH_DISPLAY, c.report, 0);
    EXPECT_EQ(STATUS_SUCCESS, reply.status) << "the caller hears success either way";
    EXPECT_EQ(0u, reply.information);
    LONG id = (LONG)U32At(c.report, 0);
    EXPECT_EQ(c.created, Bound().count(id) == 1);
  }
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(2u, bus_->ChildCount);
}

TEST_F(DisplayCodes, AttachExTakesADescriptionLongerThan532Bytes) {
  Reply shortOne = Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(31, 0, 532), 0);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, shortOne.status);
  EXPECT_EQ(0u, bus_->ChildCount);
  EXPECT_EQ(STATUS_SUCCESS,
            Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(31, 0, 533), 0).status);
  EXPECT_EQ(1u, Bound().count(31));
  // The creation's own answers come back: the same display again, and one whose mode count asks
  // for more than was sent.
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(31, 1), 0).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(32, 4, 532 + 31), 0).status);
  EXPECT_EQ(0u, Bound().count(32));
  EXPECT_EQ(STATUS_SUCCESS,
            Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(32, 4, 532 + 32), 0).status);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(2u, bus_->ChildCount);
}

// Identifiers from 255 up stand for every display in a detach: a display numbered so could never
// be detached alone, so neither attach code makes one. 254 is the last number a display can have.
TEST_F(DisplayCodes, AttachRefusesTheIdentifiersThatMeanEveryDisplay) {
  for (LONG id : {255, 256, 0x7FFFFFFF, -2147483647 - 1, -2}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Call(IOCTL_BUS_ATTACH_DISPLAY, DisplayReportBytes(id, 1), 0).status);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(id, 1), 0).status);
  }
  EXPECT_TRUE(Bound().empty());
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_ATTACH_DISPLAY, DisplayReportBytes(254, 1), 0).status);
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(0, 1), 0).status);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(2u, bus_->ChildCount);
  // The one display detached alone: the other stays.
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_DETACH_DISPLAY, U32(254), 0).status);
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ((std::map<LONG, ULONG>{{0, 1}}), Bound());
}

TEST_F(DisplayCodes, AttachExWithEveryChannelTakenIsRefused) {
  for (LONG id = 0; id < (LONG)kChannelCount; id++) {
    ASSERT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(id, 1), 0).status);
  }
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(50, 1), 0).status);
  hostk::PnpWaitForEnumeration();
}

TEST_F(DisplayCodes, DetachWithdrawsOneDisplayOrAll) {
  for (LONG id : {40, 41, 42}) Call(IOCTL_BUS_ATTACH_DISPLAY, DisplayReportBytes(id, 1), 0);
  hostk::PnpWaitForEnumeration();
  ASSERT_EQ(3u, Bound().size());
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_DETACH_DISPLAY, U32(41), 0).status);
  EXPECT_EQ((std::map<LONG, ULONG>{{40, 0}, {42, 2}}), Bound());
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_DETACH_DISPLAY, U32(99), 0).status) << "unknown";
  EXPECT_EQ(2u, Bound().size());
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_DETACH_DISPLAY, U32(255), 0).status);
  EXPECT_TRUE(Bound().empty());
  hostk::PnpWaitForEnumeration();
}

TEST_F(DisplayCodes, AttachAndDetachNeedLinkMode1AndDriverModel0) {
  struct Gate {
    ULONG driverModel;
    ULONG linkMode;
  };
  for (Gate gate : {Gate{0, 0}, Gate{0, 2}, Gate{8, 1}, Gate{3, 1}}) {
    bus_->DriverModel = gate.driverModel;
    bus_->LinkMode = gate.linkMode;
    SCOPED_TRACE(testing::Message() << gate.driverModel << "/" << gate.linkMode);
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              Call(IOCTL_BUS_ATTACH_DISPLAY, DisplayReportBytes(5, 1), 0).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL,
              Call(IOCTL_BUS_ATTACH_DISPLAY_EX, DescriptionBytes(6, 1), 0).status);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Call(IOCTL_BUS_DETACH_DISPLAY, U32(255), 0).status);
  }
  bus_->DriverModel = 0;
  bus_->LinkMode = 1;
  EXPECT_TRUE(Bound().empty());
}

// Attach codes on several threads and a far-side announcement's creation at once: each display
// gets a channel of its own.
TEST_F(DisplayCodes, ConcurrentAttachesNeverShareAChannel) {
  constexpr LONG kThreads = 4;
  std::vector<std::unique_ptr<hostk::Client>> clients;
  std::vector<HANDLE> handles;
  for (LONG i = 0; i < kThreads; i++) {
    clients.push_back(std::make_unique<hostk::Client>());
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, clients.back()->OpenDevice(fdo_, &handle));
    handles.push_back(handle);
  }
  {
    std::vector<std::unique_ptr<SystemThread<std::function<void()>>>> threads;
    for (LONG i = 0; i < kThreads; i++) {
      threads.push_back(std::make_unique<SystemThread<std::function<void()>>>([&, i] {
        for (LONG round = 0; round < 2; round++) {
          Bytes report = DisplayReportBytes(100 + 10 * round + i, 2);
          clients[i]->DeviceControl(handles[i], IOCTL_BUS_ATTACH_DISPLAY, report.data(),
                                    (ULONG)report.size(), nullptr, 0);
        }
      }));
    }
    Bytes report = DisplayReportBytes(200, 1);
    EXPECT_EQ(STATUS_SUCCESS, CreateDisplayChild(bus_, report.data(), (ULONG)report.size()));
  }
  std::map<LONG, ULONG> bound = Bound();
  EXPECT_EQ(9u, bound.size());
  std::set<ULONG> channels;
  for (const auto& [id, channel] : bound) channels.insert(channel);
  EXPECT_EQ(bound.size(), channels.size());
  hostk::PnpWaitForEnumeration();
  EXPECT_EQ(9u, bus_->ChildCount);
  clients.clear();
}

TEST_F(DisplayCodes, ADisplayHandleShowsItsChannel) {
  HANDLE disp3 = Open("\\DISP03");
  HANDLE disp10 = Open("\\DISP10");
  EXPECT_EQ(0u, U32At(Connected(disp3).out, 0)) << "channel 3 is free";
  for (LONG id = 60; id < 64; id++) {
    Call(IOCTL_BUS_ATTACH_DISPLAY, DisplayReportBytes(id, 1), 0);
  }
  hostk::PnpWaitForEnumeration();
  ASSERT_EQ(3u, Bound()[63]);
  Reply connected = Connected(disp3);
  EXPECT_EQ(STATUS_SUCCESS, connected.status);
  EXPECT_EQ(Bytes(U32(1)), connected.out);
  // Channel 10 lies past the table: nothing is ever attached there.
  EXPECT_EQ(Bytes(U32(0)), Connected(disp10).out);
  EXPECT_EQ(STATUS_SUCCESS, Call(IOCTL_BUS_DETACH_DISPLAY, U32(63), 0).status);
  EXPECT_EQ(Bytes(U32(0)), Connected(disp3).out);
  EXPECT_EQ(Bytes(U32(1)), Connected(Open()).out) << "the control handle";
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Connected(Open("\\DMASET2")).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Connected(Open("\\DISP11")).status);
  hostk::PnpWaitForEnumeration();
}

TEST_F(DisplayCodes, ChannelInformationStoredByAChild) {
  struct InfoCase {
    ULONG index;
    ULONG info[3];
    NTSTATUS status;
  };
  const InfoCase kCases[] = {
      {0, {1920, 1080, 60}, STATUS_SUCCESS},
      {9, {0, 0, 0}, STATUS_UNSUCCESSFUL},  // nothing stored
      {4, {0, 0, 60}, STATUS_UNSUCCESSFUL},
      {5, {1920, 1080, 0}, STATUS_UNSUCCESSFUL},
      {6, {0, 1080, 60}, STATUS_SUCCESS},
      {7, {1920, 0, 60}, STATUS_SUCCESS},
      {10, {0, 0, 0}, STATUS_INVALID_PARAMETER},
      {0xFFFFFFFF, {0, 0, 0}, STATUS_INVALID_PARAMETER},
  };
  for (const InfoCase& c : kCases) {
    if (c.index < kChannelCount) {
      SetOutputInfo(&bus_->Channels[c.index], c.info[0], c.info[1], c.info[2]);
    }
  }
  for (const InfoCase& c : kCases) {
    SCOPED_TRACE(c.index);
    Bytes input = Words({c.index, 0xAAAAAAAA, 0xBBBBBBBB, 0xCCCCCCCC, 0xDDDDDDDD});
    Reply reply = Call(IOCTL_BUS_GET_CHANNEL_INFO, input, 32);
    EXPECT_EQ(c.status, reply.status);
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(0u, reply.information);
      continue;
    }
    Bytes expected = Words({c.info[0], c.info[1], c.info[2]});
    expected.resize(32, 0);  // nothing of what the caller sent comes back
    EXPECT_EQ(expected, reply.out);
  }
}

}  // namespace
}  // namespace kxtest
