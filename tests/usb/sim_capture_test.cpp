// The capture of a test's USB traffic: a pcap file of link type USBPcap, checked by a small reader
// here and by tshark when it is installed.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "sim/usb/usb_capture.h"
#include "sim_usb_test_util.h"

namespace kxtest {
namespace {

uint64_t Get(const std::vector<uint8_t>& bytes, size_t at, int size) {
  uint64_t value = 0;
  for (int i = size - 1; i >= 0; i--) value = value << 8 | bytes.at(at + i);
  return value;
}

struct Packet {
  uint16_t headerLength;
  uint64_t irpId;
  uint32_t status;
  uint16_t function;
  uint8_t info;
  uint16_t bus;
  uint16_t device;
  uint8_t endpoint;
  uint8_t transfer;
  uint32_t dataLength;
  int stage;
  std::vector<uint8_t> data;
  uint64_t microseconds;
};

// Reads the whole file; records that do not parse fail the test.
std::vector<Packet> ReadCapture(const std::string& path, uint32_t* linkType) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_GE(bytes.size(), 24u);
  EXPECT_EQ(0xA1B2C3D4u, Get(bytes, 0, 4));
  EXPECT_EQ(2u, Get(bytes, 4, 2));
  EXPECT_EQ(4u, Get(bytes, 6, 2));
  *linkType = (uint32_t)Get(bytes, 20, 4);
  std::vector<Packet> packets;
  for (size_t at = 24; at < bytes.size();) {
    uint64_t micro = Get(bytes, at, 4) * 1'000'000 + Get(bytes, at + 4, 4);
    size_t captured = Get(bytes, at + 8, 4);
    EXPECT_EQ(captured, Get(bytes, at + 12, 4));
    size_t p = at + 16;
    Packet packet = {(uint16_t)Get(bytes, p, 2),
                     Get(bytes, p + 2, 8),
                     (uint32_t)Get(bytes, p + 10, 4),
                     (uint16_t)Get(bytes, p + 14, 2),
                     (uint8_t)Get(bytes, p + 16, 1),
                     (uint16_t)Get(bytes, p + 17, 2),
                     (uint16_t)Get(bytes, p + 19, 2),
                     (uint8_t)Get(bytes, p + 21, 1),
                     (uint8_t)Get(bytes, p + 22, 1),
                     (uint32_t)Get(bytes, p + 23, 4),
                     -1,
                     {},
                     micro};
    if (packet.headerLength == 28) packet.stage = bytes.at(p + 27);
    packet.data.assign(bytes.begin() + p + packet.headerLength, bytes.begin() + p + captured);
    EXPECT_EQ(packet.dataLength, packet.data.size());
    packets.push_back(packet);
    at = p + captured;
  }
  return packets;
}

class UsbCapture : public UsbPortTest {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kx_usb_capture_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override {
    UsbPortTest::TearDown();
    unlink(path_.c_str());
  }

  // Descriptor read, selection, an OUT and an IN transfer, a stall; the port then stops.
  void Traffic() {
    kxsim::UsbPortOptions options;
    options.capturePath = path_;
    options.bandwidthModel = true;
    Open({}, options);
    ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
    ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
    uint8_t out[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(STATUS_SUCCESS, Bulk(0x0D, out, 5));
    Script(0x8D).QueueIn({9, 8, 7});
    uint8_t in[64];
    ASSERT_EQ(STATUS_SUCCESS, Bulk(0x8D, in, 64));
    port_->InjectFault(0x0E, kxsim::UsbFault::Stall());
    Bulk(0x0E, out, 5);
    port_.reset();
  }

  std::string path_;
};

TEST_F(UsbCapture, EveryUrbIsARecordAndDataGoesWithItsDirection) {
  Traffic();
  uint32_t linkType = 0;
  std::vector<Packet> packets = ReadCapture(path_, &linkType);
  EXPECT_EQ(kxsim::kLinkTypeUsbPcap, linkType);
  // Device descriptor, two configuration reads, selection, three transfers: two records each.
  ASSERT_EQ(14u, packets.size());
  for (size_t i = 0; i < packets.size(); i += 2) {
    EXPECT_EQ(packets[i].irpId != 0, true);
    EXPECT_EQ(0, packets[i].info);      // submission
    EXPECT_EQ(1, packets[i + 1].info);  // completion, of the same request
    EXPECT_EQ(packets[i].function, packets[i + 1].function);
    EXPECT_EQ(1, packets[i].bus);
    EXPECT_EQ(1, packets[i].device);
    EXPECT_LE(packets[i].microseconds, packets[i + 1].microseconds);
  }

  const Packet& setup = packets[0];
  EXPECT_EQ(28, setup.headerLength);
  EXPECT_EQ(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, setup.function);
  EXPECT_EQ(kxsim::kUsbPcapTransferControl, setup.transfer);
  EXPECT_EQ(0x00, setup.endpoint);
  EXPECT_EQ(kxsim::kUsbPcapStageSetup, setup.stage);
  EXPECT_EQ((std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}), setup.data);
  const Packet& descriptor = packets[1];
  EXPECT_EQ(0x80, descriptor.endpoint);
  EXPECT_EQ(kxsim::kUsbPcapStageComplete, descriptor.stage);
  EXPECT_EQ(18u, descriptor.data.size());
  EXPECT_EQ(setup.irpId, descriptor.irpId);

  const Packet& select = packets[6];
  EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, select.function);
  EXPECT_EQ(kxsim::kUsbPcapTransferIrpInfo, select.transfer);

  const Packet& outSubmit = packets[8];
  EXPECT_EQ(27, outSubmit.headerLength);
  EXPECT_EQ(kxsim::kUsbPcapTransferBulk, outSubmit.transfer);
  EXPECT_EQ(0x0D, outSubmit.endpoint);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5}), outSubmit.data);
  EXPECT_TRUE(packets[9].data.empty());

  EXPECT_TRUE(packets[10].data.empty());
  EXPECT_EQ(0x8D, packets[11].endpoint);
  EXPECT_EQ((std::vector<uint8_t>{9, 8, 7}), packets[11].data);

  EXPECT_EQ((uint32_t)USBD_STATUS_STALL_PID, packets[13].status);
  EXPECT_EQ(0x0E, packets[13].endpoint);
}

// Runs a command and returns what it printed; its exit status goes to *status.
std::string RunCommand(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  if (pipe == nullptr) return output;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) output += line;
  *status = pclose(pipe);
  return output;
}

TEST_F(UsbCapture, TsharkReadsTheCapture) {
  if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
  Traffic();
  int status = -1;
  std::string fields =
      RunCommand("/usr/bin/tshark -r " + path_ +
                     " -T fields -e usb.endpoint_address -e usb.function 2>/dev/null",
                 &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(14, std::count(fields.begin(), fields.end(), '\n')) << fields;
  EXPECT_NE(std::string::npos, fields.find("0x000b")) << fields;  // GET_DESCRIPTOR_FROM_DEVICE
  EXPECT_NE(std::string::npos, fields.find("0x8d")) << fields;
  std::string summary = RunCommand("/usr/bin/tshark -r " + path_ + " 2>/dev/null", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(std::string::npos, summary.find("Malformed")) << summary;
}

TEST_F(UsbCapture, ACaptureCanStartAndStopWhileThePortRuns) {
  Open();
  ASSERT_TRUE(port_->StartCapture(path_));
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  port_->StopCapture();
  ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  uint32_t linkType;
  EXPECT_EQ(2u, ReadCapture(path_, &linkType).size());
  EXPECT_FALSE(port_->StartCapture("/nonexistent-directory/capture.pcap"));
}

}  // namespace
}  // namespace kxtest
