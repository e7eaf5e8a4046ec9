// USB configuration at start: the device descriptor, the configuration descriptor, the selection
// of the configuration and the recording of the pipes the driver talks to; and the deselection
// at stop. Descriptors are read byte by byte (little-endian), never through a cast.
#include "driver/kxbus.h"

namespace {

constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kConfigurationHeaderLength = 9;
constexpr ULONG kInterfaceDescriptorLength = 9;
constexpr ULONG kEndpointDescriptorLength = 7;
constexpr ULONG kDescriptorHeaderLength = 2;  // bLength, bDescriptorType
// Interface numbers are 8-bit: the search for the declared interfaces stops there.
constexpr LONG kInterfaceNumberLimit = 256;

USHORT ReadU16(const UCHAR* bytes) { return (USHORT)(bytes[0] | bytes[1] << 8); }

// Reads a descriptor into `buffer`; the request's status decides, not the URB's. A descriptor is
// only usable whole: an answer of any other length than asked is STATUS_DEVICE_DATA_ERROR.
NTSTATUS ReadDescriptor(BusDeviceContext* bus, PURB urb, UCHAR type, UCHAR index, PVOID buffer,
                        ULONG length) {
  RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type,
                               index, 0, buffer, NULL, length, NULL);
  NTSTATUS status = UsbSubmitUrbSync(bus, urb);
  ULONG moved = urb->UrbControlDescriptorRequest.TransferBufferLength;
  if (NT_SUCCESS(status) && moved != length) {
    KX_TRACE(KX_TRACE_ERROR, "descriptor type %u: %u bytes instead of %u\n", type, moved, length);
    return STATUS_DEVICE_DATA_ERROR;
  }
  return status;
}

// Step 1: the identifiers, and the configuration index (1 when the device offers more than one).
NTSTATUS UsbGetDeviceDescriptor(BusDeviceContext* bus, UCHAR* configurationIndex) {
  PURB urb = (PURB)ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTagDeviceUrb);
  PUCHAR descriptor =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kDeviceDescriptorLength, kTagDeviceDescriptor);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (urb != NULL && descriptor != NULL) {
    RtlZeroMemory(descriptor, kDeviceDescriptorLength);
    status = ReadDescriptor(bus, urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, descriptor,
                            kDeviceDescriptorLength);
    if (NT_SUCCESS(status)) {
      bus->IdVendor = ReadU16(descriptor + 8);
      bus->IdProduct = ReadU16(descriptor + 10);
      *configurationIndex = descriptor[17] > 1 ? 1 : 0;
    }
  }
  if (descriptor != NULL) ExFreePoolWithTag(descriptor, kTagDeviceDescriptor);
  if (urb != NULL) ExFreePoolWithTag(urb, kTagDeviceUrb);
  return status;
}

void RecordPipe(BusDeviceContext* bus, const USBD_PIPE_INFORMATION* pipe) {
  bool bulk = pipe->PipeType == UsbdPipeTypeBulk;
  bool dataPipe = bulk || pipe->PipeType == UsbdPipeTypeInterrupt;
  USBD_PIPE_HANDLE handle = pipe->PipeHandle;
  if (bulk && pipe->EndpointAddress == 0x01) {
    USHORT packet = pipe->MaximumPacketSize;
    bus->UsbSpeed = packet < 512 ? 0 : (packet < 1024 ? 1 : 2);
  }
  USBD_PIPE_HANDLE* field = NULL;
  switch (pipe->EndpointAddress) {
    case 0x81: field = dataPipe ? &bus->PipeDataIn1 : NULL; break;
    case 0x82: field = dataPipe ? &bus->PipeDataIn2 : NULL; break;
    case 0x83: field = dataPipe ? &bus->PipeDataIn3 : NULL; break;
    case 0x84: field = dataPipe ? &bus->PipeDataIn4 : NULL; break;
    case 0x01: field = dataPipe ? &bus->PipeDataOut1 : NULL; break;
    case 0x02: field = dataPipe ? &bus->PipeDataOut2 : NULL; break;
    case 0x03: field = dataPipe ? &bus->PipeDataOut3 : NULL; break;
    case 0x04: field = dataPipe ? &bus->PipeDataOut4 : NULL; break;
    case 0x0D: if (bulk) bus->PipeCsrOut = handle; return;
    case 0x8D: if (bulk) bus->PipeCsrIn = handle; return;
    case 0x0E: if (bulk) bus->PipePciOut = handle; return;
    case 0x8E: if (bulk) bus->PipePciIn = handle; return;
    default: return;
  }
  // Legacy adapters carry no data channels on these endpoints.
  if (field != NULL) *field = bus->Legacy ? NULL : handle;
}

// The handles of an earlier configuration ended with its deselection: an endpoint the new one
// lacks has no pipe, not the old one's handle.
void ForgetPipes(BusDeviceContext* bus) {
  USBD_PIPE_HANDLE* fields[] = {&bus->PipeDataIn1,  &bus->PipeDataIn2,  &bus->PipeDataIn3,
                                &bus->PipeDataIn4,  &bus->PipeDataOut1, &bus->PipeDataOut2,
                                &bus->PipeDataOut3, &bus->PipeDataOut4, &bus->PipeCsrOut,
                                &bus->PipeCsrIn,    &bus->PipePciOut,   &bus->PipePciIn};
  for (USBD_PIPE_HANDLE* field : fields) *field = NULL;
}

// The declared interfaces, in interface-number order, as a list ending in a null entry.
ULONG ListInterfaces(PUSB_CONFIGURATION_DESCRIPTOR descriptor, ULONG declared,
                     PUSBD_INTERFACE_LIST_ENTRY list) {
  ULONG found = 0;
  for (LONG number = 0; number < kInterfaceNumberLimit && found < declared; number++) {
    PUSB_INTERFACE_DESCRIPTOR parsed =
        USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
    if (parsed == NULL) continue;
    list[found].InterfaceDescriptor = parsed;
    list[found].Interface = NULL;
    found++;
  }
  list[found].InterfaceDescriptor = NULL;
  list[found].Interface = NULL;
  return found;
}

// The shortest a descriptor of `type` can be and still hold the fields read from it here or by
// the parser and the selection below.
ULONG ShortestDescriptorOf(UCHAR type) {
  switch (type) {
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: return kConfigurationHeaderLength;
    case USB_INTERFACE_DESCRIPTOR_TYPE: return kInterfaceDescriptorLength;
    case USB_ENDPOINT_DESCRIPTOR_TYPE: return kEndpointDescriptorLength;
    default: return kDescriptorHeaderLength;
  }
}

// The parser walks the descriptors by their bLength: a length of 0 would hold it in place for
// ever, and one that runs past the end would take it outside the buffer. So the chain is walked
// here first, over the bytes that arrived: it must begin with the configuration descriptor and
// end exactly at the end, each descriptor long enough for its kind. Answers where it broke, or
// `length` when it is whole.
ULONG BrokenDescriptorAt(const UCHAR* bytes, ULONG length) {
  if (length < kConfigurationHeaderLength || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return 0;
  }
  ULONG at = 0;
  while (at < length) {
    if (length - at < kDescriptorHeaderLength) return at;
    ULONG size = bytes[at];
    if (size < ShortestDescriptorOf(bytes[at + 1]) || size > length - at) return at;
    at += size;
  }
  return length;
}

// Step 3. Only the first interface's pipes get the transfer size and are examined.
NTSTATUS UsbSelectConfiguration(BusDeviceContext* bus, PUSB_CONFIGURATION_DESCRIPTOR descriptor) {
  ULONG declared = ((const UCHAR*)descriptor)[4];
  SIZE_T listSize = (declared + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  PUSBD_INTERFACE_LIST_ENTRY list =
      (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(NonPagedPoolNx, listSize, kTagInterfaceList);
  if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = STATUS_DEVICE_CONFIGURATION_ERROR;  // no interface at all
  if (ListInterfaces(descriptor, declared, list) > 0) {
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    status = STATUS_INSUFFICIENT_RESOURCES;
    if (urb != NULL) {
      PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
      for (ULONG i = 0; i < first->NumberOfPipes; i++) {
        first->Pipes[i].MaximumTransferSize = bus->MaxTransferSize;
      }
      status = UsbSubmitUrbSync(bus, urb);
      if (NT_SUCCESS(status)) {
        ForgetPipes(bus);
        for (ULONG i = 0; i < first->NumberOfPipes; i++) RecordPipe(bus, &first->Pipes[i]);
      }
      ExFreePool(urb);
    }
  }
  ExFreePoolWithTag(list, kTagInterfaceList);
  return status;
}

// The whole descriptor, `length` bytes as they arrived, before anything parses it. The parser
// walks up to the descriptor's own total length: it must be the one allocated and read.
NTSTATUS CheckFullDescriptor(const UCHAR* full, ULONG length) {
  if (ReadU16(full + 2) != length) {
    KX_TRACE(KX_TRACE_ERROR, "configuration descriptor changed its total length\n");
    return STATUS_DEVICE_DATA_ERROR;
  }
  ULONG brokenAt = BrokenDescriptorAt(full, length);
  if (brokenAt != length) {
    KX_TRACE(KX_TRACE_ERROR, "configuration descriptor: no whole descriptor at byte %lu\n",
             brokenAt);
    return STATUS_DEVICE_DATA_ERROR;
  }
  return STATUS_SUCCESS;
}

// Step 2: the first 9 bytes give the total length; the whole descriptor is then read and
// selected. A device that reports a total shorter than the header, whose second answer is not
// the length the first announced (fewer bytes than the total are never read past), or whose
// descriptors do not chain whole to that total, is not configured.
NTSTATUS UsbGetConfigurationDescriptor(BusDeviceContext* bus, UCHAR index) {
  PURB urb = (PURB)ExAllocatePoolWithTag(
      NonPagedPoolNx, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), kTagConfigUrb);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  PUCHAR header =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, kConfigurationHeaderLength, kTagConfigDescriptor);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  USHORT totalLength = 0;
  if (header != NULL) {
    RtlZeroMemory(header, kConfigurationHeaderLength);
    status = ReadDescriptor(bus, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, index, header,
                            kConfigurationHeaderLength);
    totalLength = ReadU16(header + 2);
    ExFreePoolWithTag(header, kTagConfigDescriptor);
  }
  if (NT_SUCCESS(status) && totalLength < kConfigurationHeaderLength) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status)) {
    PUCHAR full = (PUCHAR)ExAllocatePoolWithTag(NonPagedPoolNx, totalLength, kTagConfigDescriptor);
    status = STATUS_INSUFFICIENT_RESOURCES;
    if (full != NULL) {
      RtlZeroMemory(full, totalLength);
      status = ReadDescriptor(bus, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, index, full, totalLength);
      if (NT_SUCCESS(status)) status = CheckFullDescriptor(full, totalLength);
      if (NT_SUCCESS(status)) {
        status = UsbSelectConfiguration(bus, (PUSB_CONFIGURATION_DESCRIPTOR)full);
      }
      ExFreePoolWithTag(full, kTagConfigDescriptor);
    }
  }
  ExFreePoolWithTag(urb, kTagConfigUrb);
  return status;
}

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT device) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  UCHAR configurationIndex = 0;
  NTSTATUS status = UsbGetDeviceDescriptor(bus, &configurationIndex);
  if (!NT_SUCCESS(status)) return status;
  return UsbGetConfigurationDescriptor(bus, configurationIndex);
}

NTSTATUS UsbDeselectConfiguration(PDEVICE_OBJECT device) {
  BusDeviceContext* bus = (BusDeviceContext*)device->DeviceExtension;
  const USHORT size = (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagDeselectUrb);
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = size;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;
  NTSTATUS status = UsbCallInternalIoctl(bus, urb, IOCTL_INTERNAL_USB_SUBMIT_URB);
  ExFreePoolWithTag(urb, kTagDeselectUrb);
  return status;
}
