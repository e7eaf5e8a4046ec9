// Every URB the simulated stack handles, written as a pcap file of link type USBPcap (249), which
// Wireshark and tshark read. A record is the 27-byte USBPcap packet header (28 for control
// transfers, which add the stage) followed by the data: OUT data at submission, IN data at
// completion.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "host/ntddk.h"
#include "host/usb.h"

namespace kxsim {

constexpr ULONG kLinkTypeUsbPcap = 249;
constexpr USHORT kUsbPcapHeaderLength = 27;
constexpr USHORT kUsbPcapControlHeaderLength = 28;

constexpr UCHAR kUsbPcapTransferInterrupt = 1;
constexpr UCHAR kUsbPcapTransferControl = 2;
constexpr UCHAR kUsbPcapTransferBulk = 3;
constexpr UCHAR kUsbPcapTransferIrpInfo = 0xFE;  // a URB that moves no data

constexpr UCHAR kUsbPcapStageSetup = 0;
constexpr UCHAR kUsbPcapStageComplete = 3;

constexpr UCHAR kUsbPcapInfoFromDevice = 0x01;  // completion: PDO to FDO

struct UsbCaptureRecord {
  ULONGLONG irpId = 0;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  USHORT function = 0;
  bool completion = false;
  UCHAR endpoint = 0;  // with the direction bit
  UCHAR transfer = kUsbPcapTransferIrpInfo;
  int stage = -1;  // control transfers only
  const uint8_t* data = nullptr;
  size_t length = 0;
};

class UsbPcapWriter {
 public:
  // nullptr when the file cannot be created.
  static std::unique_ptr<UsbPcapWriter> Open(const std::string& path, USHORT bus, USHORT device);
  ~UsbPcapWriter();
  UsbPcapWriter(const UsbPcapWriter&) = delete;
  UsbPcapWriter& operator=(const UsbPcapWriter&) = delete;

  // Stamped with the host clock's system time.
  void Write(const UsbCaptureRecord& record);
  size_t RecordCount() const;

 private:
  UsbPcapWriter(FILE* file, USHORT bus, USHORT device) : file_(file), bus_(bus), device_(device) {}

  FILE* const file_;
  const USHORT bus_;
  const USHORT device_;
  mutable std::mutex lock_;
  size_t records_ = 0;
};

}  // namespace kxsim
