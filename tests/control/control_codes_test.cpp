// The dispatcher: sizes tested before the configuration, the state rules with the request
// reference dropped on every path, the fixed answers, and the handle selectors.
#include "adapter_codes_fixture.h"

namespace kxtest {
namespace {

struct CodeSizes {
  ULONG code;
  ULONG in;   // the least input accepted
  ULONG out;  // the least output accepted
  // With exactly those sizes, on a started adapter whose configuration permits nothing
  // (DriverModel 7, no extended chip, link mode 0).
  NTSTATUS atLeast;
};

const CodeSizes kCodes[] = {
    {IOCTL_BUS_QUERY_DISPLAY_CONNECTED, 0, 4, STATUS_SUCCESS},
    {IOCTL_BUS_GET_ADAPTER_INFO, 0, 16, STATUS_SUCCESS},
    {IOCTL_BUS_SET_LINK_SELECT, 4, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_READ_CONFIG_WORD, 4, 4, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_WRITE_CONFIG_WORD, 8, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_GET_LINK_MODE, 0, 4, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_SET_LINK_MODE, 4, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_ATTACH_DISPLAY, 1, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_DETACH_DISPLAY, 4, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_GET_USB_SPEED, 0, 4, STATUS_SUCCESS},
    {IOCTL_BUS_QUERY_HANDLE_TYPE, 0, 4, STATUS_SUCCESS},
    {IOCTL_BUS_GET_CAPABILITIES, 0, 4, STATUS_SUCCESS},
    {IOCTL_BUS_QUERY_WORD_PAIR, 0, 8, STATUS_SUCCESS},
    {IOCTL_BUS_SET_COMPRESSION, 8, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_QUERY_MASK, 4, 4, STATUS_SUCCESS},
    {IOCTL_BUS_GET_INTERFACE_VERSION, 0, 8, STATUS_SUCCESS},
    {IOCTL_BUS_ATTACH_DISPLAY_EX, 533, 0, STATUS_UNSUCCESSFUL},
    {IOCTL_BUS_GET_CHANNEL_INFO, 4, 32, STATUS_UNSUCCESSFUL},  // nothing stored on channel 0
};

const ULONG kRetired[] = {0x222144, 0x22214C, 0x2221A0, 0x222808};
constexpr ULONG kUnknownCode = 0x222AB4;

class ControlCodes : public AdapterCodes {
 protected:
  void ForbidEverything() {
    bus_->DriverModel = 7;
    bus_->ExtendedChip = 0;
    bus_->LinkMode = 0;
  }
  void ExpectNoReferenceLeft(ULONG code) {
    EXPECT_EQ(1, bus_->OutstandingIo) << std::hex << code;
  }
};

TEST_F(ControlCodes, EverySizeFailureComesBeforeTheConfigurationTest) {
  StartWith();
  ForbidEverything();
  size_t mark = adapter_->Log().Size();
  for (const CodeSizes& c : kCodes) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    if (c.in > 0) {
      Reply reply = Call(c.code, Bytes(c.in - 1, 0), c.out);
      EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, reply.status);
      EXPECT_EQ(0u, reply.information);
    }
    if (c.out > 0) {
      Reply reply = Call(c.code, Bytes(c.in, 0), c.out - 1);
      EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, reply.status);
      EXPECT_EQ(0u, reply.information);
    }
    Reply reply = Call(c.code, Bytes(c.in, 0), c.out);
    EXPECT_EQ(c.atLeast, reply.status);
    if (!NT_SUCCESS(reply.status)) {
      EXPECT_EQ(0u, reply.information);
    }
    ExpectNoReferenceLeft(c.code);
  }
  EXPECT_EQ(std::vector<std::string>{}, adapter_->Log().Text(mark))
      << "refused codes touch nothing";
}

// The lengths claim a buffer that is not there: every code must answer from the lengths and the
// pointer both, never write through the null pointer.
TEST_F(ControlCodes, ANullSystemBufferIsTooSmallWhateverTheLengths) {
  StartWith();
  for (const CodeSizes& c : kCodes) {
    Reply reply = CallBare(c.code, 4096, 4096);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, reply.status) << std::hex << c.code;
    EXPECT_EQ(0u, reply.information);
    ExpectNoReferenceLeft(c.code);
  }
}

TEST_F(ControlCodes, RetiredAndUnknownCodesOnAStartedAdapter) {
  StartWith();
  for (ULONG code : kRetired) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Call(code, Bytes(64, 0), 64).status) << std::hex << code;
    ExpectNoReferenceLeft(code);
  }
  Reply unknown = Call(kUnknownCode, Bytes(64, 0), 64);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, unknown.status);
  EXPECT_EQ(0u, unknown.information);
}

// Outside the started state only the connection query is answered, and no request leaves a
// reference behind: a stop or removal would wait for it for ever.
TEST_F(ControlCodes, AnAdapterThatIsNotStartedServesOnlyTheConnectionQuery) {
  struct StateCase {
    const char* name;
    LONG state;
    ULONG controlHandleAnswer;
  };
  const StateCase kStates[] = {
      {"not started", NotStarted, 1},     {"stopped", Stopped, 1},
      {"stop pending", StopPending, 1},   {"remove pending", RemovePending, 1},
      {"surprise removed", SurpriseRemoved, 0}, {"removed", Removed, 0},
  };
  StartWith();
  HANDLE control = Open();
  for (const StateCase& s : kStates) {
    SCOPED_TRACE(s.name);
    ForceState(s.state);
    for (const CodeSizes& c : kCodes) {
      Reply reply = Call(control, c.code, Bytes(c.in + 16, 0), c.out + 16);
      ExpectNoReferenceLeft(c.code);
      if (c.code == IOCTL_BUS_QUERY_DISPLAY_CONNECTED) {
        EXPECT_EQ(STATUS_SUCCESS, reply.status);
        EXPECT_EQ(4u, reply.information);
        EXPECT_EQ(s.controlHandleAnswer, U32At(reply.out, 0));
        continue;
      }
      EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, reply.status) << std::hex << c.code;
      EXPECT_EQ(0u, reply.information);
    }
    for (ULONG code : kRetired) {
      EXPECT_EQ(STATUS_INVALID_PARAMETER, Call(control, code, Bytes(8, 0), 8).status);
    }
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Call(control, kUnknownCode, {}, 0).status);
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Call(control, IOCTL_BUS_NOP, {}, 0).status);
    // A too-small connection query stays too small in every state.
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              Call(control, IOCTL_BUS_QUERY_DISPLAY_CONNECTED, {}, 3).status);
  }
}

TEST_F(ControlCodes, AStoppedAdapterStillAnswersForItsHandles) {
  StartWith();
  HANDLE control = Open();
  HANDLE display = Open("\\DISP03");
  HANDLE transfer = Open("\\DMASET0");
  AddChild(3, 7);
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpQueryStopDevice(port_->Pdo()));
  ASSERT_EQ(STATUS_SUCCESS, hostk::PnpStopDevice(port_->Pdo()));
  ASSERT_EQ(Stopped, bus_->Header.DevicePnpState);
  Reply reply = Call(control, IOCTL_BUS_QUERY_DISPLAY_CONNECTED, {}, 4);
  EXPECT_EQ(STATUS_SUCCESS, reply.status);
  EXPECT_EQ(1u, U32At(reply.out, 0));
  EXPECT_EQ(1u, U32At(Call(display, IOCTL_BUS_QUERY_DISPLAY_CONNECTED, {}, 4).out, 0));
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Call(transfer, IOCTL_BUS_QUERY_DISPLAY_CONNECTED, {}, 4).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Call(control, IOCTL_BUS_GET_USB_SPEED, {}, 4).status);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(ControlCodes, FixedAnswers) {
  StartWith();
  struct Fixed {
    ULONG code;
    Bytes input;
    ULONG out;
    Bytes answer;
  };
  const Fixed kFixed[] = {
      {IOCTL_BUS_GET_CAPABILITIES, {}, 4, U32(0x00010000)},
      {IOCTL_BUS_GET_USB_SPEED, {}, 4, U32(1)},  // high speed
      {IOCTL_BUS_QUERY_MASK, U32(0x12345678), 4, U32(0xFFFFFFFF)},
      {IOCTL_BUS_GET_ADAPTER_INFO, {}, 16, Bytes(16, 0)},
      // The version, and zeros where the buffer held the pool's fill.
      {IOCTL_BUS_GET_INTERFACE_VERSION, {}, 8, {0x01, 0x02, 0, 0, 0, 0, 0, 0}},
      {IOCTL_BUS_GET_INTERFACE_VERSION, Words({~0u, ~0u}), 8, {0x01, 0x02, 0, 0, 0, 0, 0, 0}},
      // The first word goes back as sent, the second is cleared.
      {IOCTL_BUS_QUERY_WORD_PAIR, Words({0xCAFEF00D, 0x77777777}), 8, Words({0xCAFEF00D, 0})},
      {IOCTL_BUS_QUERY_WORD_PAIR, {0xAB}, 8, Words({0xAB, 0})},
      {IOCTL_BUS_QUERY_WORD_PAIR, {}, 8, Words({0, 0})},
  };
  for (const Fixed& f : kFixed) {
    Reply reply = Call(f.code, f.input, f.out + 8);  // more room than needed changes nothing
    EXPECT_EQ(STATUS_SUCCESS, reply.status) << std::hex << f.code;
    EXPECT_EQ(f.answer, reply.out) << std::hex << f.code;
  }
}

TEST_F(ControlCodes, TheNopCompletesWithWhatTheRequestArrivedWith) {
  StartWith();
  Reply reply = CallBare(IOCTL_BUS_NOP, 0, 0, (NTSTATUS)0x00000123, 77);
  EXPECT_EQ((NTSTATUS)0x00000123, reply.status);
  EXPECT_EQ(77u, reply.information);
  EXPECT_EQ(1, bus_->OutstandingIo);
}

TEST_F(ControlCodes, HandleTypeByFileName) {
  StartWith();
  struct HandleCase {
    const char* fileName;
    ULONG_PTR information;
  };
  const HandleCase kHandles[] = {
      {"", 0}, {"\\DISP00", 4}, {"\\disp03", 4}, {"\\DISP09", 4},
      {"\\DISP10", 4},  // one past the table still counts as a display handle
      {"\\DISP11", 0}, {"\\DMASET0", 0}, {"\\DMASET3", 0}, {"\\OTHER", 0},
  };
  for (const HandleCase& h : kHandles) {
    Reply reply = Call(Open(h.fileName), IOCTL_BUS_QUERY_HANDLE_TYPE, {}, 4);
    EXPECT_EQ(STATUS_SUCCESS, reply.status) << h.fileName;
    EXPECT_EQ(h.information, reply.information) << h.fileName;
    if (h.information == 4) {
      EXPECT_EQ(3u, U32At(reply.out, 0)) << h.fileName;
    }
  }
}

}  // namespace
}  // namespace kxtest
