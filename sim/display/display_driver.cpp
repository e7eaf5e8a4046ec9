#include "sim/display/display_driver.h"

#include <algorithm>
#include <cstring>

namespace kxsim {
namespace {

void PutLe32(uint8_t* at, ULONG value) {
  for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

}  // namespace

NTSTATUS DisplayIoctl(PDEVICE_OBJECT device, ULONG code, void* input, ULONG inputLength,
                      void* output, ULONG outputLength, ULONG_PTR* information) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength,
                                           FALSE, &event, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = UserMode;
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (information != nullptr) *information = NT_SUCCESS(status) ? iosb.Information : 0;
  return status;
}

std::vector<uint8_t> UpdateDescriptorBytes(LONG left, LONG top, LONG right, LONG bottom,
                                           ULONG sourceOffset, LONG pitch, ULONG totalSize,
                                           UCHAR bitsPerPixel) {
  std::vector<uint8_t> bytes(32, 0);
  ULONG words[7] = {(ULONG)left,  (ULONG)top,   (ULONG)right, (ULONG)bottom,
                    sourceOffset, (ULONG)pitch, totalSize};
  for (int w = 0; w < 7; w++) PutLe32(&bytes[4 * w], words[w]);
  bytes[28] = bitsPerPixel;
  return bytes;
}

SimulatedDisplayDriver::SimulatedDisplayDriver(PDEVICE_OBJECT child)
    : target_(IoGetAttachedDeviceReference(child)),
      descriptor_(std::make_unique<hostk::UserBuffer>(32)) {}

SimulatedDisplayDriver::~SimulatedDisplayDriver() { ObfDereferenceObject(target_); }

NTSTATUS SimulatedDisplayDriver::ReadDescription(std::vector<uint8_t>* description) {
  hostk::UserBuffer size(4);
  NTSTATUS status =
      DisplayIoctl(target_, kDisplayGetDescriptionSize, nullptr, 0, size.Data(), 4);
  if (!NT_SUCCESS(status)) return status;
  ULONG bytes = 0;
  std::memcpy(&bytes, size.Data(), 4);
  hostk::UserBuffer out(std::max<ULONG>(bytes, 1));
  ULONG_PTR information = 0;
  status = DisplayIoctl(target_, kDisplayGetDescription, nullptr, 0, out.Data(), bytes,
                        &information);
  if (NT_SUCCESS(status)) description->assign(out.Data(), out.Data() + information);
  return status;
}

NTSTATUS SimulatedDisplayDriver::SetMode(USHORT width, USHORT height, USHORT bitsPerPixel,
                                         USHORT extra) {
  uint8_t mode[32] = {};
  USHORT words[4] = {width, height, bitsPerPixel, extra};
  for (int w = 0; w < 4; w++) {
    mode[2 * w] = (uint8_t)words[w];
    mode[2 * w + 1] = (uint8_t)(words[w] >> 8);
  }
  return DisplayIoctl(target_, kDisplaySetMode, mode, sizeof mode, nullptr, 0);
}

NTSTATUS SimulatedDisplayDriver::Present(const uint8_t* pixels, int width, int height, LONG left,
                                         LONG top, LONG right, LONG bottom) {
  Canvas surface = Surface(width, height);
  std::memcpy(surface.pixels, pixels, (size_t)width * height * 4);
  return PresentSurface(left, top, right, bottom);
}

Canvas SimulatedDisplayDriver::Surface(int width, int height) {
  size_t size = (size_t)width * height * 4;
  if (frame_ == nullptr || frame_->Length() != size || width_ != width) {
    frame_ = std::make_unique<hostk::UserBuffer>(size);
    width_ = width;
  }
  return CanvasOver(frame_->Data(), width, height, (size_t)width * 4);
}

NTSTATUS SimulatedDisplayDriver::PresentSurface(LONG left, LONG top, LONG right, LONG bottom) {
  if (frame_ == nullptr) return STATUS_INVALID_DEVICE_STATE;
  ULONG size = (ULONG)frame_->Length();
  LONG pitch = width_ * 4;
  std::vector<uint8_t> descriptor = UpdateDescriptorBytes(
      left, top, right, bottom, (ULONG)(top * pitch + left * 4), pitch, size);
  std::copy(descriptor.begin(), descriptor.end(), descriptor_->Data());
  ULONG_PTR information = 0;
  NTSTATUS status = DisplayIoctl(target_, kDisplayPresent, descriptor_->Data(), 32,
                                 frame_->Data(), size, &information);
  // A present that succeeded answers with the TotalSize it took.
  if (NT_SUCCESS(status) && information != size) return STATUS_UNSUCCESSFUL;
  return status;
}

NTSTATUS SimulatedDisplayDriver::Stop() {
  uint8_t word[4] = {};
  return DisplayIoctl(target_, kDisplayStop, word, sizeof word, nullptr, 0);
}

NTSTATUS SimulatedDisplayDriver::SetInfo(ULONG first, ULONG second, ULONG third) {
  uint8_t words[32] = {};
  PutLe32(words, first);
  PutLe32(words + 4, second);
  PutLe32(words + 8, third);
  return DisplayIoctl(target_, kDisplaySetInfo, words, sizeof words, nullptr, 0);
}

}  // namespace kxsim
