// USBD.SYS's helper routines and the URB-building macros, as the platform's usbdlib.h spells them.
#pragma once

#include "host/usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)            \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                          \
   (((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                    \
   (((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                      \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
   sizeof(USBD_PIPE_INFORMATION))

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,  \
                                               transferBufferMDL, transferBufferLength, \
                                               transferFlags, link)                     \
  {                                                                                     \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                \
    (urb)->UrbHeader.Length = (length);                                                 \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                        \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);    \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);          \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                  \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                 \
  }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
  {                                                                                            \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
    (urb)->UrbHeader.Length = (length);                                                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
  }

// A select-configuration URB from the pool, with one USBD_INTERFACE_INFORMATION per listed
// interface (its Interface pointer set into the URB) and each pipe's MaximumTransferSize at the
// default; NULL when the pool has nothing. The caller frees it with ExFreePool.
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// The first interface descriptor at or after StartPosition that matches every criterion not -1.
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// The first descriptor of a type at or after StartPosition within DescriptorBuffer.
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType);
