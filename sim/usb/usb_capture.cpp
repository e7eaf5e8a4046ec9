// The pcap file: a global header, then one record per URB event, little-endian throughout.
#include "sim/usb/usb_capture.h"

#include <algorithm>
#include <vector>

namespace kxsim {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;   // microsecond time stamps
constexpr uint32_t kSnapLength = 0x08000000;  // the largest a USBPcap reader accepts
constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;

void Put(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back((uint8_t)(value >> (8 * i)));
}

std::vector<uint8_t> GlobalHeader() {
  std::vector<uint8_t> out;
  Put(&out, kPcapMagic, 4);
  Put(&out, 2, 2);  // version 2.4
  Put(&out, 4, 2);
  Put(&out, 0, 4);  // GMT
  Put(&out, 0, 4);  // accuracy
  Put(&out, kSnapLength, 4);
  Put(&out, kLinkTypeUsbPcap, 4);
  return out;
}

std::vector<uint8_t> PacketHeader(const UsbCaptureRecord& record, USHORT bus, USHORT device) {
  bool control = record.stage >= 0;
  std::vector<uint8_t> out;
  Put(&out, control ? kUsbPcapControlHeaderLength : kUsbPcapHeaderLength, 2);
  Put(&out, record.irpId, 8);
  Put(&out, (uint32_t)record.status, 4);
  Put(&out, record.function, 2);
  Put(&out, record.completion ? kUsbPcapInfoFromDevice : 0, 1);
  Put(&out, bus, 2);
  Put(&out, device, 2);
  Put(&out, record.endpoint, 1);
  Put(&out, record.transfer, 1);
  Put(&out, (uint32_t)record.length, 4);
  if (control) Put(&out, (uint8_t)record.stage, 1);
  return out;
}

}  // namespace

std::unique_ptr<UsbPcapWriter> UsbPcapWriter::Open(const std::string& path, USHORT bus,
                                                   USHORT device) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return nullptr;
  std::vector<uint8_t> header = GlobalHeader();
  fwrite(header.data(), 1, header.size(), file);
  fflush(file);
  return std::unique_ptr<UsbPcapWriter>(new UsbPcapWriter(file, bus, device));
}

UsbPcapWriter::~UsbPcapWriter() { fclose(file_); }

void UsbPcapWriter::Write(const UsbCaptureRecord& record) {
  std::vector<uint8_t> packet = PacketHeader(record, bus_, device_);
  size_t captured = std::min<size_t>(record.length, kSnapLength - packet.size());
  if (captured > 0) packet.insert(packet.end(), record.data, record.data + captured);
  // Stamped under the lock, so that time stamps grow in file order.
  std::lock_guard<std::mutex> guard(lock_);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LONGLONG sinceUnix = now.QuadPart - kUnixEpochIn1601;
  std::vector<uint8_t> header;
  Put(&header, (uint64_t)(sinceUnix / 10'000'000), 4);
  Put(&header, (uint64_t)(sinceUnix % 10'000'000 / 10), 4);
  Put(&header, packet.size(), 4);
  Put(&header, packet.size() - captured + record.length, 4);
  fwrite(header.data(), 1, header.size(), file_);
  fwrite(packet.data(), 1, packet.size(), file_);
  fflush(file_);
  records_++;
}

size_t UsbPcapWriter::RecordCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return records_;
}

}  // namespace kxsim
