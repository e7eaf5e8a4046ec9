// IOCTL_BUS_SET_COMPRESSION: which settings a request changes, and that an announced extension
// must be there to be read.
#include "adapter_codes_fixture.h"
#include "host/hostk/registry.h"

namespace kxtest {
namespace {

struct Settings {
  UCHAR enableJpeg;
  UCHAR sampling;
  UCHAR quality;
  ULONG throughput;
  bool operator==(const Settings& o) const {
    return enableJpeg == o.enableJpeg && sampling == o.sampling && quality == o.quality &&
           throughput == o.throughput;
  }
};

std::ostream& operator<<(std::ostream& out, const Settings& s) {
  return out << "jpeg " << (int)s.enableJpeg << " sampling " << (int)s.sampling << " quality "
             << (int)s.quality << " throughput " << s.throughput;
}

// Flags, extension length, then sampling, quality and throughput; cut to `length` when given.
Bytes Request(ULONG flags, ULONG extension, UCHAR sampling = 0, UCHAR quality = 0,
              USHORT throughput = 0, size_t length = 12) {
  Bytes bytes = Words({flags, extension});
  bytes.insert(bytes.end(), {sampling, quality, (uint8_t)throughput, (uint8_t)(throughput >> 8)});
  bytes.resize(length);
  return bytes;
}

constexpr ULONG kCompress = 1u << 16;
const Settings kStarted = {0, 3, 75, 0xFFFF};  // what the start reads with an empty registry

class Compression : public AdapterCodes {
 protected:
  Settings Current() {
    return {bus_->EnableJpeg, bus_->Sampling, bus_->Quality, bus_->ThroughPut};
  }
  void Restore(const Settings& s) {
    bus_->EnableJpeg = s.enableJpeg;
    bus_->Sampling = s.sampling;
    bus_->Quality = s.quality;
    bus_->ThroughPut = s.throughput;
  }
};

TEST_F(Compression, EachRequestChangesWhatItMay) {
  struct Case {
    const char* name;
    Bytes input;
    NTSTATUS status;
    Settings after;
  };
  const Case kCases[] = {
      {"off", Request(0, 4, 1, 50, 300), STATUS_SUCCESS, {0, 3, 75, 0xFFFF}},
      {"other flag bits only", Request(~kCompress, 0), STATUS_SUCCESS, {0, 3, 75, 0xFFFF}},
      {"on, no extension", Request(kCompress, 0, 0, 0, 0, 8), STATUS_SUCCESS, {1, 3, 75, 0xFFFF}},
      {"on, extension of 3", Request(kCompress, 3, 1, 50, 300, 8), STATUS_SUCCESS,
       {1, 3, 75, 0xFFFF}},
      {"on, all three", Request(kCompress, 4, 1, 50, 300), STATUS_SUCCESS, {1, 1, 50, 300}},
      {"quality 101 kept out", Request(kCompress, 4, 2, 101, 1000), STATUS_SUCCESS,
       {1, 2, 75, 1000}},
      {"quality 100 taken", Request(kCompress, 4, 0, 100, 1), STATUS_SUCCESS, {1, 0, 100, 1}},
      {"sampling 4 kept out", Request(kCompress, 4, 4, 20, 0xFFFF), STATUS_SUCCESS,
       {1, 3, 20, 0xFFFF}},
      {"throughput 0 turns it off", Request(kCompress, 4, 1, 50, 0), STATUS_SUCCESS,
       {0, 1, 50, 0}},
      {"a longer extension", Request(kCompress, 0x1000, 1, 50, 7, 64), STATUS_SUCCESS,
       {1, 1, 50, 7}},
      {"extension announced, not sent", Request(kCompress, 4, 1, 50, 300, 8),
       STATUS_BUFFER_TOO_SMALL, kStarted},
      {"extension one byte short", Request(kCompress, 4, 1, 50, 300, 11),
       STATUS_BUFFER_TOO_SMALL, kStarted},
      {"header short", Request(kCompress, 0, 0, 0, 0, 7), STATUS_BUFFER_TOO_SMALL, kStarted},
  };
  StartWith();
  ASSERT_EQ(kStarted, Current());
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    Restore(kStarted);
    Reply reply = Call(IOCTL_BUS_SET_COMPRESSION, c.input, 0);
    EXPECT_EQ(c.status, reply.status);
    EXPECT_EQ(0u, reply.information);
    EXPECT_EQ(c.after, Current());
  }
  // The settings last until the next start: nothing goes to the registry.
  EXPECT_FALSE(hostk::RegistryGetValue(hostk::ServiceKeyPath("KxBusIdd") + "\\Parameters",
                                       "Quality").has_value());
}

TEST_F(Compression, OnlyDriverModel0MayChangeThem) {
  StartWith(8);
  Settings before = Current();
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            Call(IOCTL_BUS_SET_COMPRESSION, Request(kCompress, 4, 1, 50, 300), 0).status);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            Call(IOCTL_BUS_SET_COMPRESSION, Request(kCompress, 4, 1, 50, 300, 11), 0).status)
      << "the size test comes first";
  EXPECT_EQ(before, Current());
}

}  // namespace
}  // namespace kxtest
