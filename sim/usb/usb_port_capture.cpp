// What the port writes to its capture: USBPcap records for submissions and completions.
#include <algorithm>

#include "sim/usb/usb_port_core.h"

namespace kxsim {
namespace {

constexpr UCHAR kGetDescriptorRequestType = 0x80;  // standard, device to host, device
constexpr UCHAR kGetDescriptorRequest = 6;

UCHAR TransferTypeOf(UsbTransferKind kind) {
  switch (kind) {
    case UsbTransferKind::Control: return kUsbPcapTransferControl;
    case UsbTransferKind::Interrupt: return kUsbPcapTransferInterrupt;
    case UsbTransferKind::Bulk: return kUsbPcapTransferBulk;
  }
  return kUsbPcapTransferIrpInfo;
}

UsbCaptureRecord RecordOf(const UsbPending& pending, bool completion) {
  UsbCaptureRecord record;
  record.irpId = (ULONGLONG)(ULONG_PTR)pending.irp;
  record.status = completion ? pending.result.usbdStatus : USBD_STATUS_SUCCESS;
  record.function = pending.urb->UrbHeader.Function;
  record.completion = completion;
  record.endpoint = pending.endpoint;
  record.transfer = TransferTypeOf(pending.kind);
  return record;
}

}  // namespace

void UsbPortCore::CaptureSubmit(const UsbPending& pending) {
  std::shared_ptr<UsbPcapWriter> writer = CaptureWriter();
  if (writer == nullptr) return;
  UsbCaptureRecord record = RecordOf(pending, false);
  uint8_t setup[8];
  if (pending.kind == UsbTransferKind::Control) {
    // The GET_DESCRIPTOR setup packet the stack sends for the URB.
    USHORT length = (USHORT)std::min<ULONG>(pending.requested, 0xFFFF);
    setup[0] = kGetDescriptorRequestType;
    setup[1] = kGetDescriptorRequest;
    setup[2] = pending.descriptorIndex;
    setup[3] = pending.descriptorType;
    setup[4] = (uint8_t)(pending.languageId & 0xFF);
    setup[5] = (uint8_t)(pending.languageId >> 8);
    setup[6] = (uint8_t)(length & 0xFF);
    setup[7] = (uint8_t)(length >> 8);
    record.endpoint = 0x00;
    record.stage = kUsbPcapStageSetup;
    record.data = setup;
    record.length = sizeof setup;
  } else if (!pending.in) {
    record.data = pending.buffer;
    record.length = pending.requested;
  }
  writer->Write(record);
}

void UsbPortCore::CaptureCompletion(const UsbPending& pending) {
  std::shared_ptr<UsbPcapWriter> writer = CaptureWriter();
  if (writer == nullptr) return;
  UsbCaptureRecord record = RecordOf(pending, true);
  if (pending.kind == UsbTransferKind::Control) record.stage = kUsbPcapStageComplete;
  if (pending.in) {
    record.data = pending.buffer;
    record.length = pending.result.length;
  }
  writer->Write(record);
}

void UsbPortCore::CaptureInfo(PIRP irp, PURB urb, UCHAR endpoint, USBD_STATUS status,
                              bool completion) {
  std::shared_ptr<UsbPcapWriter> writer = CaptureWriter();
  if (writer == nullptr) return;
  UsbCaptureRecord record;
  record.irpId = (ULONGLONG)(ULONG_PTR)irp;
  record.status = status;
  record.function = urb->UrbHeader.Function;
  record.completion = completion;
  record.endpoint = endpoint;
  record.transfer = kUsbPcapTransferIrpInfo;
  writer->Write(record);
}

}  // namespace kxsim
