// USBD.SYS's descriptor helpers and the select-configuration URB builder, as the platform documents
// them. The URB comes from the pool, so the caller's ExFreePool and the leak checks both see it.
#include "host/hostk/pool.h"
#include "host/usbdlib.h"

namespace {

constexpr ULONG kUsbdTag = hostk::PoolTag("USBD");

bool HeaderFits(const UCHAR* at, const UCHAR* end) {
  return at + sizeof(USB_COMMON_DESCRIPTOR) <= end;
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == (LONG)actual; }

// Interfaces named by a list ending with a null descriptor, and the pipes they bring.
void CountList(const USBD_INTERFACE_LIST_ENTRY* list, ULONG* interfaces, SIZE_T* size) {
  *interfaces = 0;
  *size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  for (const USBD_INTERFACE_LIST_ENTRY* entry = list; entry->InterfaceDescriptor != NULL; entry++) {
    (*interfaces)++;
    *size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
  }
}

void FillInterface(PUSBD_INTERFACE_INFORMATION info, const USB_INTERFACE_DESCRIPTOR* descriptor) {
  info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints);
  info->InterfaceNumber = descriptor->bInterfaceNumber;
  info->AlternateSetting = descriptor->bAlternateSetting;
  info->NumberOfPipes = descriptor->bNumEndpoints;
  for (ULONG i = 0; i < info->NumberOfPipes; i++) {
    info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
  }
}

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType) {
  const UCHAR* end = (const UCHAR*)DescriptorBuffer + TotalLength;
  const UCHAR* at = (const UCHAR*)StartPosition;
  while (HeaderFits(at, end)) {
    PUSB_COMMON_DESCRIPTOR common = (PUSB_COMMON_DESCRIPTOR)at;
    if (common->bDescriptorType == DescriptorType) return common;
    // A zero length would never move on: the rest of the buffer is not descriptors.
    if (common->bLength == 0) break;
    at += common->bLength;
  }
  return NULL;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  ULONG total = ConfigurationDescriptor->wTotalLength;
  const UCHAR* end = (const UCHAR*)ConfigurationDescriptor + total;
  PVOID at = StartPosition;
  for (;;) {
    PUSB_INTERFACE_DESCRIPTOR found = (PUSB_INTERFACE_DESCRIPTOR)USBD_ParseDescriptors(
        ConfigurationDescriptor, total, at, USB_INTERFACE_DESCRIPTOR_TYPE);
    if (found == NULL || found->bLength == 0) return NULL;
    // Only a whole interface descriptor has the fields the criteria look at.
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
        (const UCHAR*)found + sizeof(USB_INTERFACE_DESCRIPTOR) <= end &&
        Matches(InterfaceNumber, found->bInterfaceNumber) &&
        Matches(AlternateSetting, found->bAlternateSetting) &&
        Matches(InterfaceClass, found->bInterfaceClass) &&
        Matches(InterfaceSubClass, found->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, found->bInterfaceProtocol)) {
      return found;
    }
    at = (UCHAR*)found + found->bLength;
  }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  ULONG interfaces;
  SIZE_T size;
  CountList(InterfaceList, &interfaces, &size);
  if (size > 0xFFFF) return NULL;  // the header's length cannot say more
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag);
  if (urb == NULL) return NULL;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = (USHORT)size;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  PUCHAR at = (PUCHAR)&urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < interfaces; i++) {
    PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)at;
    FillInterface(info, InterfaceList[i].InterfaceDescriptor);
    InterfaceList[i].Interface = info;
    at += info->Length;
  }
  return urb;
}
