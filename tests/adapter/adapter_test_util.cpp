// Client-side helpers for the virtual adapter's tests.
#include "adapter_test_util.h"

#include <cstdio>

#include <jpeglib.h>

namespace kxtest {

std::vector<uint8_t> Le32(ULONG value) {
  return {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> bytes;
  for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
  return bytes;
}

void AdapterTest::Plug(kxsim::VirtualAdapterOptions options) {
  adapter_ = std::make_shared<kxsim::VirtualAdapter>(options);
  device_ = adapter_->Device();
  port_ = std::make_unique<kxsim::SimulatedUsbPort>(device_);
  ASSERT_EQ(STATUS_SUCCESS, SelectConfiguration());
}

std::vector<uint8_t> AdapterTest::ReadIn(UCHAR endpoint, ULONG length, NTSTATUS* status) {
  std::vector<uint8_t> bytes(length);
  ULONG moved = 0;
  NTSTATUS result = Bulk(endpoint, bytes.data(), length, &moved);
  if (status != nullptr) *status = result;
  bytes.resize(NT_SUCCESS(result) ? moved : 0);
  return bytes;
}

NTSTATUS AdapterTest::WriteOut(UCHAR endpoint, std::vector<uint8_t> bytes) {
  return Bulk(endpoint, bytes.data(), (ULONG)bytes.size());
}

NTSTATUS AdapterTest::SendBridgeCommand(const std::vector<uint8_t>& packet) {
  return WriteOut(0x0D, packet);
}

ULONG AdapterTest::BridgeRead(UCHAR command, USHORT reg) {
  EXPECT_EQ(STATUS_SUCCESS,
            SendBridgeCommand({command, 0, (uint8_t)reg, (uint8_t)(reg >> 8)}));
  std::vector<uint8_t> result = ReadIn(0x8D, 4);
  EXPECT_EQ(4u, result.size());
  return result.size() == 4 ? kxsim::ReadLe32(result.data()) : 0;
}

void AdapterTest::BridgeWrite(UCHAR command, USHORT reg, ULONG value) {
  EXPECT_EQ(STATUS_SUCCESS, SendBridgeCommand(Cat({{command, 0, (uint8_t)reg,
                                                     (uint8_t)(reg >> 8)},
                                                    Le32(value)})));
}

NTSTATUS AdapterTest::SendBusCommand(const std::vector<uint8_t>& packet) {
  return WriteOut(0x0E, packet);
}

ULONG AdapterTest::MR(ULONG address) {
  EXPECT_EQ(STATUS_SUCCESS, SendBusCommand(Cat({Le32(0x010000CF), Le32(address)})));
  std::vector<uint8_t> result = ReadIn(0x8E, 4);
  return result.size() == 4 ? kxsim::ReadLe32(result.data()) : 0;
}

void AdapterTest::MW(ULONG address, ULONG value) {
  EXPECT_EQ(STATUS_SUCCESS,
            SendBusCommand(Cat({Le32(0x0100004F), Le32(address), Le32(value)})));
}

ULONG AdapterTest::ConfigAddressWord(kxsim::BusLocation location, USHORT offset) {
  return (ULONG)location.bus | (ULONG)location.function << 8 | (ULONG)location.device << 11 |
         (ULONG)(offset & 0xF00) << 8 | (location.type1 ? 1u << 24 : 0) |
         (ULONG)(offset & 0xFC) << 24;
}

ULONG AdapterTest::PR(kxsim::BusLocation location, USHORT offset) {
  EXPECT_EQ(STATUS_SUCCESS,
            SendBusCommand(Cat({Le32(0x010000EF), Le32(ConfigAddressWord(location, offset))})));
  std::vector<uint8_t> result = ReadIn(0x8E, 4);
  return result.size() == 4 ? kxsim::ReadLe32(result.data()) : 0;
}

void AdapterTest::PW(kxsim::BusLocation location, USHORT offset, ULONG value) {
  EXPECT_EQ(STATUS_SUCCESS, SendBusCommand(Cat({Le32(0x0100006F),
                                                Le32(ConfigAddressWord(location, offset)),
                                                Le32(value)})));
}

void AdapterTest::MapFarSide() {
  PW(kSwitchUp, 0x04, 6);
  PW(kSwitchUp, 0x18, 0x00040302);
  PW(kSwitchUp, 0x20, 0x3FF01000);
  PW(kSwitchDown, 0x04, 6);
  PW(kSwitchDown, 0x18, 0x00040403);
  PW(kSwitchDown, 0x20, 0x3FF02000);
  PW(kFarSide, 0x04, 6);
  PW(kFarSide, 0x10, 0x30000000);
  PW(kFarSide, 0x18, 0x30200000);
  PW(kFarSide, 0x1C, 0x30400000);
}

void DriverOnAdapterTest::PlugWithRecord(kxsim::VirtualAdapterOptions options) {
  Plug(options);
  bus_ = std::make_unique<BusDeviceContext>();
  BusDeviceContext* bus = bus_.get();
  bus->LowerDeviceObject = Pdo();
  // Started, with only the device's own reference on the request counter.
  bus->Header.DevicePnpState = Started;
  bus->OutstandingIo = 1;
  KeInitializeSpinLock(&bus->PnpStateLock);
  KeInitializeSpinLock(&bus->IoCountLock);
  KeInitializeEvent(&bus->IoIdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&bus->RemoveEvent, NotificationEvent, FALSE);
  bus->MaxTransferSize = kMaxTransferSize;
  bus->Legacy = options.legacy ? 1 : 0;
  bus->ExtendedChip = options.Extended() ? 1 : 0;
  KeInitializeMutex(&bus->BridgePathLock, 0);
  KeInitializeMutex(&bus->PciPathLock, 0);
  KeInitializeSpinLock(&bus->AsyncTransferLock);
  KeInitializeEvent(&bus->AsyncIdleEvent, NotificationEvent, TRUE);
  bus->PipeCsrOut = Pipe(0x0D);
  bus->PipeCsrIn = Pipe(0x8D);
  bus->PipePciOut = Pipe(0x0E);
  bus->PipePciIn = Pipe(0x8E);
  USBD_PIPE_HANDLE* in[] = {&bus->PipeDataIn1, &bus->PipeDataIn2, &bus->PipeDataIn3,
                            &bus->PipeDataIn4};
  USBD_PIPE_HANDLE* out[] = {&bus->PipeDataOut1, &bus->PipeDataOut2, &bus->PipeDataOut3,
                             &bus->PipeDataOut4};
  for (UCHAR n = 0; n < 4; n++) {
    *in[n] = Pipe((UCHAR)(0x81 + n));
    *out[n] = Pipe((UCHAR)(0x01 + n));
  }
}

namespace {

struct JpegDestination {
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  ~JpegDestination() { free(buffer); }
};

}  // namespace

std::vector<uint8_t> EncodeTestJpeg(unsigned width, unsigned height,
                                    const std::function<ULONG(unsigned x, unsigned y)>& color,
                                    int quality) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  JpegDestination destination;
  jpeg_mem_dest(&info, &destination.buffer, &destination.size);
  info.image_width = width;
  info.image_height = height;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(width * 3);
  while (info.next_scanline < height) {
    for (unsigned x = 0; x < width; x++) {
      ULONG rgb = color(x, info.next_scanline);
      row[x * 3] = (uint8_t)(rgb >> 16);
      row[x * 3 + 1] = (uint8_t)(rgb >> 8);
      row[x * 3 + 2] = (uint8_t)rgb;
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::vector<uint8_t>(destination.buffer, destination.buffer + destination.size);
}

}  // namespace kxtest
