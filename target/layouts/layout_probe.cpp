// The layouts of the platform records the driver image shares with the kernel around it: the records
// it embeds or allocates (sizes) and the fields it or the platform's inline helpers touch (offsets).
// The same file is compiled twice to assembly only, never linked: by the cross compiler against the
// platform's own headers, and by the host compiler at 32 bits against the host kernel's. Each entry
// becomes one "kxlayout NAME VALUE" comment line in the assembly, which compare_layouts.sh reads back
// from both and compares, so that the host kernel can stand in for the real one under the image.
#include <stddef.h>

#include "nt.h"

// "%c0" prints the constant bare, without the immediate's "$".
#define KX_LAYOUT_EMIT(name, value) \
  __asm__ __volatile__("# kxlayout " name " %c0" : : "i"((unsigned long)(value)))
#define KX_SIZE(Type) KX_LAYOUT_EMIT(#Type, sizeof(Type))
#define KX_ALIGN(Type) KX_LAYOUT_EMIT(#Type "/align", alignof(Type))
#define KX_FIELD(Type, Field) KX_LAYOUT_EMIT(#Type "." #Field, offsetof(Type, Field))
#define KX_FIELD_SIZE(Type, Field) \
  KX_LAYOUT_EMIT(#Type "." #Field "/size", sizeof(((Type*)0)->Field))

// The sizes a 32-bit USB stack and I/O manager expect of what the driver sends them, whichever
// headers this is compiled against: the driver takes every size from sizeof.
#if defined(__i386__)
static_assert(sizeof(struct _URB_HEADER) == 16, "URB header");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk transfer URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor request URB");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 24, "pipe reset URB");
// Select configuration with one interface and one pipe; the deselect request has the same length.
static_assert(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1) == 60, "one-interface select URB");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 60, "select configuration URB");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 36, "interface information with one pipe");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 8, "interface list entry");
#endif
// What a child answers to IRP_MN_QUERY_CAPABILITIES, the same on every build.
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "device capabilities");

typedef struct _URB_HEADER KX_URB_HEADER;
typedef struct _URB_SELECT_CONFIGURATION KX_URB_SELECT_CONFIGURATION;
typedef struct _URB_PIPE_REQUEST KX_URB_PIPE_REQUEST;
typedef struct _URB_CONTROL_DESCRIPTOR_REQUEST KX_URB_CONTROL_DESCRIPTOR_REQUEST;
typedef struct _URB_BULK_OR_INTERRUPT_TRANSFER KX_URB_BULK_OR_INTERRUPT_TRANSFER;

static void BasicTypes() {
  KX_SIZE(PVOID);
  KX_SIZE(ULONG_PTR);
  KX_SIZE(SIZE_T);
  KX_SIZE(WCHAR);
  KX_SIZE(BOOLEAN);
  KX_SIZE(NTSTATUS);
  KX_SIZE(KIRQL);
  KX_SIZE(KSPIN_LOCK);
  KX_SIZE(LONGLONG);
  KX_ALIGN(LONGLONG);
  KX_ALIGN(ULONGLONG);
  KX_SIZE(LARGE_INTEGER);
  KX_ALIGN(LARGE_INTEGER);
  KX_FIELD(LARGE_INTEGER, HighPart);
  KX_SIZE(ULARGE_INTEGER);
  KX_ALIGN(ULARGE_INTEGER);
  KX_SIZE(GUID);
  KX_FIELD(GUID, Data4);
  KX_SIZE(LIST_ENTRY);
  KX_FIELD(LIST_ENTRY, Blink);
  KX_SIZE(UNICODE_STRING);
  KX_FIELD(UNICODE_STRING, MaximumLength);
  KX_FIELD(UNICODE_STRING, Buffer);
  KX_SIZE(IO_STATUS_BLOCK);
  KX_FIELD(IO_STATUS_BLOCK, Information);
  KX_SIZE(POWER_STATE);
  KX_SIZE(SYSTEM_POWER_STATE);
  KX_SIZE(DEVICE_POWER_STATE);
}

static void DispatcherObjects() {
  KX_SIZE(KEVENT);
  KX_ALIGN(KEVENT);
  KX_SIZE(KMUTEX);
  KX_ALIGN(KMUTEX);
  KX_SIZE(FAST_MUTEX);
  KX_ALIGN(FAST_MUTEX);
  KX_FIELD(FAST_MUTEX, Count);
  KX_FIELD(FAST_MUTEX, Owner);
  KX_FIELD(FAST_MUTEX, Contention);
  KX_FIELD(FAST_MUTEX, Event);
  KX_FIELD(FAST_MUTEX, OldIrql);
  KX_SIZE(KWAIT_BLOCK);
  KX_SIZE(XSTATE_SAVE);
  KX_ALIGN(XSTATE_SAVE);
}

static void Objects() {
  KX_SIZE(DRIVER_OBJECT);
  KX_FIELD(DRIVER_OBJECT, DeviceObject);
  KX_FIELD(DRIVER_OBJECT, Flags);
  KX_FIELD(DRIVER_OBJECT, DriverExtension);
  KX_FIELD(DRIVER_OBJECT, DriverName);
  KX_FIELD(DRIVER_OBJECT, DriverInit);
  KX_FIELD(DRIVER_OBJECT, DriverStartIo);
  KX_FIELD(DRIVER_OBJECT, DriverUnload);
  KX_FIELD(DRIVER_OBJECT, MajorFunction);
  KX_SIZE(DRIVER_EXTENSION);
  KX_FIELD(DRIVER_EXTENSION, AddDevice);

  KX_SIZE(DEVICE_OBJECT);
  KX_FIELD(DEVICE_OBJECT, Size);
  KX_FIELD(DEVICE_OBJECT, ReferenceCount);
  KX_FIELD(DEVICE_OBJECT, DriverObject);
  KX_FIELD(DEVICE_OBJECT, NextDevice);
  KX_FIELD(DEVICE_OBJECT, AttachedDevice);
  KX_FIELD(DEVICE_OBJECT, CurrentIrp);
  KX_FIELD(DEVICE_OBJECT, Flags);
  KX_FIELD(DEVICE_OBJECT, Characteristics);
  KX_FIELD(DEVICE_OBJECT, DeviceExtension);
  KX_FIELD(DEVICE_OBJECT, DeviceType);
  KX_FIELD(DEVICE_OBJECT, StackSize);
  KX_FIELD(DEVICE_OBJECT, AlignmentRequirement);
  KX_FIELD(DEVICE_OBJECT, SecurityDescriptor);
  KX_FIELD(DEVICE_OBJECT, SectorSize);
  KX_FIELD(DEVICE_OBJECT, DeviceObjectExtension);
  KX_FIELD(DEVICE_OBJECT, Reserved);

  KX_SIZE(FILE_OBJECT);
  KX_FIELD(FILE_OBJECT, DeviceObject);
  KX_FIELD(FILE_OBJECT, FsContext);
  KX_FIELD(FILE_OBJECT, FsContext2);
  KX_FIELD(FILE_OBJECT, FinalStatus);
  KX_FIELD(FILE_OBJECT, RelatedFileObject);
  KX_FIELD(FILE_OBJECT, Flags);
  KX_FIELD(FILE_OBJECT, FileName);
  KX_FIELD(FILE_OBJECT, CurrentByteOffset);
}

static void Requests() {
  KX_SIZE(IRP);
  KX_FIELD(IRP, Size);
  KX_FIELD(IRP, MdlAddress);
  KX_FIELD(IRP, Flags);
  KX_FIELD(IRP, AssociatedIrp.SystemBuffer);
  KX_FIELD(IRP, ThreadListEntry);
  KX_FIELD(IRP, IoStatus);
  KX_FIELD(IRP, IoStatus.Information);
  KX_FIELD(IRP, RequestorMode);
  KX_FIELD(IRP, PendingReturned);
  KX_FIELD(IRP, StackCount);
  KX_FIELD(IRP, CurrentLocation);
  KX_FIELD(IRP, Cancel);
  KX_FIELD(IRP, CancelIrql);
  KX_FIELD(IRP, UserIosb);
  KX_FIELD(IRP, UserEvent);
  KX_FIELD(IRP, Overlay);
  KX_FIELD(IRP, CancelRoutine);
  KX_FIELD(IRP, UserBuffer);
  KX_FIELD(IRP, Tail.Overlay.DriverContext);
  KX_FIELD(IRP, Tail.Overlay.Thread);
  KX_FIELD(IRP, Tail.Overlay.ListEntry);
  KX_FIELD(IRP, Tail.Overlay.CurrentStackLocation);
  KX_FIELD(IRP, Tail.Overlay.OriginalFileObject);

  KX_SIZE(IO_STACK_LOCATION);
  KX_FIELD(IO_STACK_LOCATION, MinorFunction);
  KX_FIELD(IO_STACK_LOCATION, Flags);
  KX_FIELD(IO_STACK_LOCATION, Control);
  KX_FIELD(IO_STACK_LOCATION, Parameters);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Read.Length);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Read.Key);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Read.ByteOffset);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Write.Length);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Write.ByteOffset);
  KX_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength);
  KX_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength);
  KX_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode);
  KX_FIELD(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceType);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.Size);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.Version);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.Interface);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryInterface.InterfaceSpecificData);
  KX_FIELD(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryId.IdType);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceText.DeviceTextType);
  KX_FIELD(IO_STACK_LOCATION, Parameters.QueryDeviceText.LocaleId);
  KX_FIELD(IO_STACK_LOCATION, Parameters.UsageNotification.InPath);
  KX_FIELD(IO_STACK_LOCATION, Parameters.UsageNotification.Type);
  KX_FIELD(IO_STACK_LOCATION, Parameters.WaitWake.PowerState);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Power.SystemContext);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Power.Type);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Power.State);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType);
  KX_FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources);
  KX_FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument2);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument3);
  KX_FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4);
  KX_FIELD(IO_STACK_LOCATION, DeviceObject);
  KX_FIELD(IO_STACK_LOCATION, FileObject);
  KX_FIELD(IO_STACK_LOCATION, CompletionRoutine);
  KX_FIELD(IO_STACK_LOCATION, Context);

  KX_SIZE(IO_REMOVE_LOCK);
  KX_ALIGN(IO_REMOVE_LOCK);

  KX_SIZE(MDL);
  KX_FIELD(MDL, Next);
  KX_FIELD(MDL, Size);
  KX_FIELD(MDL, MdlFlags);
  KX_FIELD(MDL, Process);
  KX_FIELD(MDL, MappedSystemVa);
  KX_FIELD(MDL, StartVa);
  KX_FIELD(MDL, ByteCount);
  KX_FIELD(MDL, ByteOffset);
}

static void PlugAndPlay() {
  KX_SIZE(DEVICE_CAPABILITIES);
  KX_FIELD(DEVICE_CAPABILITIES, Version);
  KX_FIELD(DEVICE_CAPABILITIES, Address);
  KX_FIELD(DEVICE_CAPABILITIES, UINumber);
  KX_FIELD(DEVICE_CAPABILITIES, DeviceState);
  KX_FIELD(DEVICE_CAPABILITIES, SystemWake);
  KX_FIELD(DEVICE_CAPABILITIES, DeviceWake);
  KX_FIELD(DEVICE_CAPABILITIES, D1Latency);
  KX_FIELD(DEVICE_CAPABILITIES, D3Latency);
  KX_SIZE(DEVICE_RELATIONS);
  KX_FIELD(DEVICE_RELATIONS, Objects);
  KX_SIZE(PNP_BUS_INFORMATION);
  KX_FIELD(PNP_BUS_INFORMATION, LegacyBusType);
  KX_FIELD(PNP_BUS_INFORMATION, BusNumber);
  KX_SIZE(OBJECT_ATTRIBUTES);
  KX_FIELD(OBJECT_ATTRIBUTES, RootDirectory);
  KX_FIELD(OBJECT_ATTRIBUTES, ObjectName);
  KX_FIELD(OBJECT_ATTRIBUTES, Attributes);
  KX_FIELD(OBJECT_ATTRIBUTES, SecurityDescriptor);
  KX_FIELD(OBJECT_ATTRIBUTES, SecurityQualityOfService);
  KX_SIZE(KEY_VALUE_PARTIAL_INFORMATION);
  KX_FIELD(KEY_VALUE_PARTIAL_INFORMATION, Type);
  KX_FIELD(KEY_VALUE_PARTIAL_INFORMATION, DataLength);
  KX_FIELD(KEY_VALUE_PARTIAL_INFORMATION, Data);
}

static void Usb() {
  KX_SIZE(URB);
  KX_SIZE(KX_URB_HEADER);
  KX_FIELD(KX_URB_HEADER, Function);
  KX_FIELD(KX_URB_HEADER, Status);
  KX_FIELD(KX_URB_HEADER, UsbdDeviceHandle);
  KX_FIELD(KX_URB_HEADER, UsbdFlags);
  KX_SIZE(KX_URB_SELECT_CONFIGURATION);
  KX_FIELD(KX_URB_SELECT_CONFIGURATION, ConfigurationDescriptor);
  KX_FIELD(KX_URB_SELECT_CONFIGURATION, ConfigurationHandle);
  KX_FIELD(KX_URB_SELECT_CONFIGURATION, Interface);
  KX_SIZE(KX_URB_PIPE_REQUEST);
  KX_FIELD(KX_URB_PIPE_REQUEST, PipeHandle);
  KX_SIZE(KX_URB_CONTROL_DESCRIPTOR_REQUEST);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, Index);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType);
  KX_FIELD(KX_URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId);
  KX_SIZE(KX_URB_BULK_OR_INTERRUPT_TRANSFER);
  KX_FIELD(KX_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle);
  KX_FIELD(KX_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags);
  KX_FIELD(KX_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength);
  KX_FIELD(KX_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer);
  KX_FIELD(KX_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL);
  KX_FIELD(KX_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink);
  KX_SIZE(USBD_PIPE_INFORMATION);
  KX_FIELD(USBD_PIPE_INFORMATION, EndpointAddress);
  KX_FIELD(USBD_PIPE_INFORMATION, PipeType);
  KX_FIELD(USBD_PIPE_INFORMATION, PipeHandle);
  KX_FIELD(USBD_PIPE_INFORMATION, MaximumTransferSize);
  KX_FIELD(USBD_PIPE_INFORMATION, PipeFlags);
  KX_SIZE(USBD_INTERFACE_INFORMATION);
  KX_FIELD(USBD_INTERFACE_INFORMATION, InterfaceNumber);
  KX_FIELD(USBD_INTERFACE_INFORMATION, AlternateSetting);
  KX_FIELD(USBD_INTERFACE_INFORMATION, Class);
  KX_FIELD(USBD_INTERFACE_INFORMATION, InterfaceHandle);
  KX_FIELD(USBD_INTERFACE_INFORMATION, NumberOfPipes);
  KX_FIELD(USBD_INTERFACE_INFORMATION, Pipes);
  KX_SIZE(USBD_INTERFACE_LIST_ENTRY);
  KX_FIELD(USBD_INTERFACE_LIST_ENTRY, Interface);
  KX_SIZE(USB_CONFIGURATION_DESCRIPTOR);
  KX_FIELD(USB_CONFIGURATION_DESCRIPTOR, wTotalLength);
  KX_FIELD(USB_CONFIGURATION_DESCRIPTOR, bNumInterfaces);
  KX_SIZE(USB_INTERFACE_DESCRIPTOR);
  KX_FIELD(USB_INTERFACE_DESCRIPTOR, bInterfaceNumber);
  KX_FIELD(USB_INTERFACE_DESCRIPTOR, bNumEndpoints);
  KX_SIZE(USB_DEVICE_DESCRIPTOR);
  KX_FIELD(USB_DEVICE_DESCRIPTOR, idVendor);
  KX_FIELD(USB_DEVICE_DESCRIPTOR, idProduct);
  KX_SIZE(USB_ENDPOINT_DESCRIPTOR);
  KX_FIELD(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize);
}

void KxLayoutProbe() {
  BasicTypes();
  DispatcherObjects();
  Objects();
  Requests();
  PlugAndPlay();
  Usb();
}
