// KxBusIdd: the chief header. The two device records, their Plug and Play states, and the
// prototypes of the driver's routines, grouped by the file that defines them.
#pragma once

#include "control/display_channel.h"
#include "nt.h"
#include "pipeline/encode_crew.h"
#include "platform/trace.h"

// Plug and Play states shared by both records.
enum PnpState : LONG {
  NotStarted = 0,
  Stopped = 1,
  Started = 2,
  StopPending = 3,
  RemovePending = 4,
  SurpriseRemoved = 5,
  Removed = 6,
};

// Both device extensions begin with this, so a dispatch routine can tell from the extension alone
// which kind of device a request reached and in which state it is.
struct CommonDeviceHeader {
  PDEVICE_OBJECT Self;
  UCHAR IsFunctionDevice;  // 1 for the adapter, 0 for a display child
  LONG DevicePnpState;
  LONG PreviousPnpState;   // what a cancel request restores
};

constexpr ULONG kFrameBufferSize = 0xA00000;  // each of the two frame pipeline buffers
constexpr ULONG kMaxTransferSizePreWdm6 = 0x10000;
constexpr ULONG kMaxTransferSize = 0xFF000;

// The record of one adapter: the function device's extension.
//
// Locks: PnpStateLock guards the two state fields and the started test of
// IoCountAcquireIfStarted; IoCountLock serialises OutstandingIo and its two events, and is only
// ever taken inside PnpStateLock, never the other way round. ChildListLock (a fast mutex, passive
// level only, never with a spin lock held) guards Children, ChildCount and the children's Present,
// ReportedMissing and ParentDevice.
struct BusDeviceContext {
  CommonDeviceHeader Header;
  KSPIN_LOCK PnpStateLock;
  UNICODE_STRING InterfaceName;  // a non-null buffer means the interface is registered
  // Held (passive level) around every enable and disable of the device interface and the test of
  // the state it depends on: the power-up work's test of started-and-D0, its resume strobe and its
  // enable are one step, and so are a power-down and its disable; the PnP paths change the state
  // first and disable under the lock after. Guards InterfaceName. Taken before BridgePathLock and
  // PciPathLock, never inside them.
  KMUTEX InterfaceLock;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT LowerDeviceObject;
  DisplayChannel Channels[kChannelCount];
  KEVENT RemoveEvent;   // signalled when OutstandingIo reaches 0
  KEVENT IoIdleEvent;   // signalled while only the base reference is left
  UCHAR PowerIrpRequested;  // 1 while a device power request the driver asked for is outstanding
  LONG OpenHandleCount;
  LONG OutstandingIo;   // 1 at creation: the device's own reference
  KSPIN_LOCK IoCountLock;
  USBD_PIPE_HANDLE PipeDataIn1;
  USBD_PIPE_HANDLE PipeDataIn2;
  USBD_PIPE_HANDLE PipeDataIn3;
  USBD_PIPE_HANDLE PipeDataIn4;
  USBD_PIPE_HANDLE PipeCsrOut;
  USBD_PIPE_HANDLE PipeCsrIn;
  USBD_PIPE_HANDLE PipePciOut;
  USBD_PIPE_HANDLE PipePciIn;
  USBD_PIPE_HANDLE PipeDataOut1;
  USBD_PIPE_HANDLE PipeDataOut2;
  USBD_PIPE_HANDLE PipeDataOut3;
  USBD_PIPE_HANDLE PipeDataOut4;
  // Power (driver/power*.cpp). Power requests of the function device are serialised by the power
  // manager, so these plain fields are written by one request or its completion at a time.
  // PendingSystemPowerIrp holds the system request while the device request it asked for runs.
  // DevicePowerState is the adapter's device state (D0 once started); SleepDeviceState the one
  // it takes while the system sleeps (the wake state while a wait-wake request is handled);
  // PowerDoneEvent (notification, never reset) ends the wait for a device power-up the driver
  // asked for; AdapterCapabilities what the stack below reported at the last query;
  // WaitWakeArmed is 1 while a wait-wake request is outstanding below.
  PIRP PendingSystemPowerIrp;
  LONG DevicePowerState;
  ULONG SleepDeviceState;
  KEVENT PowerDoneEvent;
  DEVICE_CAPABILITIES AdapterCapabilities;
  UCHAR WaitWakeArmed;
  // The wait-wake request while it is below, for Plug and Play to cancel; guarded by its lock.
  PIRP WaitWakeIrp;
  KSPIN_LOCK WaitWakeLock;
  // Set once the USB stack reports the adapter gone, never cleared; read and written atomically
  // because transfers on any thread test it.
  LONG DeviceGone;
  // A synchronous data transfer's context and URB, left by the last one for the next; taken and
  // put back with an interlocked exchange, freed with the device's resources.
  PVOID SpareTransfer;
  KEVENT AsyncIdleEvent;  // signalled while no asynchronous transfer is in flight
  PIRP AsyncTransferIrp;  // guarded by AsyncTransferLock, as are the three fields after it
  PVOID AsyncTransferContext;
  // The outcome of the last asynchronous transfer, set before AsyncIdleEvent is signalled:
  // STATUS_PENDING while one is in flight, and the bytes it moved (0 unless it succeeded).
  NTSTATUS AsyncTransferStatus;
  ULONG AsyncTransferBytes;
  KSPIN_LOCK AsyncTransferLock;
  // A register read is a command out and a result in; each path's lock keeps the pair together
  // against the other threads that use the path. Held only around the pair, at passive level.
  KMUTEX BridgePathLock;
  KMUTEX PciPathLock;
  ULONG MaxTransferSize;
  // Link supervision: LinkState is the thread's state word (0x400 waiting for a command block,
  // 0x800 receiving a display report); LinkMode what the display stack last chose. The thread runs
  // while LinkThreadRunning is set; LinkThreadObject is referenced while it exists.
  ULONG LinkState;
  ULONG LinkMode;
  LONG LinkThreadRunning;
  PVOID LinkThreadObject;
  KEVENT LinkStopEvent;  // notification: the link thread is to end
  KMUTEX LinkLock;  // serialises link mode changes and starting and stopping the link thread
  // Channel-1 transfer-set reads pass it from their handle test to their submission. Closed while
  // link mode 1 holds, when link supervision owns the channel's receives; entering the mode waits
  // for those inside and then ends the reads waiting below.
  EntryGate Channel1ReadGate;
  UCHAR Legacy;
  UCHAR LinkByDriver;
  ULONG UsbSpeed;  // 0 full speed, 1 high speed, 2 SuperSpeed
  UCHAR Quality;
  UCHAR Sampling;
  UCHAR EnableJpeg;
  ULONG ThroughPut;
  ULONG ErrorCode;   // failure bits; changed with interlocked operations
  UCHAR ExtendedChip;  // bit 12 of bridge register 0x90, read at every start
  USHORT IdProduct;
  USHORT IdVendor;
  ULONG DriverModel;
  KMUTEX ConfigMutex;  // serialises configuration-memory access
  ULONG ConfigWordCache201;
  ULONG ConfigWordCache200;
  UCHAR AdapterInfo[16];  // reserved; nothing writes it, so it reads as zeros
  UCHAR DriverRotate;
  UCHAR FarPortSpeed;  // the far-side chip's port speed, coded as UsbSpeed
  LIST_ENTRY Children;  // ChildDeviceContext::Link entries, in creation order
  ULONG ChildCount;
  FAST_MUTEX ChildListLock;
  // Serialises the creations and removals of children (passive level), from the channel scan to
  // the channel update, whichever thread asks; taken before ChildListLock, never inside it.
  KMUTEX ChildCreationLock;
  // The frame worker. WorkerRunning is set before the thread is created and cleared before
  // StopEvent is set; the worker reads it at the end of each pass. Both counters change only by
  // interlocked operations. WorkerThread is referenced while the thread exists.
  LONG ActiveOutputCount;
  LONG WorkerRunning;
  PVOID WorkerThread;
  KEVENT StopEvent;  // notification: the worker is to end
  KEVENT WakeEvent;  // notification: there is work
  KMUTEX WorkerLock;  // serialises starting and stopping the worker (passive level)
  // Held (passive level) around every send on data channel 1, so that a frame-data block and its
  // payload reach the adapter back to back whichever thread sends what.
  KMUTEX Channel1Lock;
  // Processors one large rectangle may use ("EncodeThreads", 1..8), read at every start; the
  // worker's crew of encode threads lives and ends with the worker.
  ULONG EncodeThreads;
  EncodeCrew Crew;
  PUCHAR StagingBuffer;
  PUCHAR EncodeBuffer;
  UCHAR StagingPageable;  // 1 when the buffer came from paged pool
  UCHAR EncodePageable;
  IO_REMOVE_LOCK RemoveLock;
};

// The record of one display child: the extension of a child physical device object.
struct ChildDeviceContext {
  CommonDeviceHeader Header;
  LONG SystemPowerState;
  LONG DevicePowerState;
  PDEVICE_OBJECT ParentDevice;  // null once detached from the adapter
  PWCHAR DeviceId;
  ULONG DisplayId;
  ULONG ChannelIndex;
  LIST_ENTRY Link;
  UCHAR Present;
  UCHAR ReportedMissing;
  UCHAR Reported;  // named in a bus-relations reply: the Plug and Play manager knows the child
  PVOID Description;
  ULONG DescriptionSize;
  // The control requests inside the child's dispatcher. A detach of its display closes it and
  // waits for those inside before it lets the channel go (a child cut off by a surprise removal is
  // refused by its parent link instead).
  EntryGate Requests;
};

inline CommonDeviceHeader* HeaderOf(PDEVICE_OBJECT device) {
  return (CommonDeviceHeader*)device->DeviceExtension;
}

// Driver-wide state set by the entry routine.
struct DriverGlobals {
  PWCHAR RegistryPathCopy;  // null when it could not be allocated
  USHORT RegistryPathLength;
  USHORT RegistryPathSize;
};
extern DriverGlobals Globals;
// The longest registry path kept: its copy's size, the path and a terminator, is a 16-bit count.
constexpr USHORT kMaxRegistryPathLength = 0xFFFF - sizeof(WCHAR);
// The longest key path the registry store builds, in bytes: a counted string's largest even length.
constexpr ULONG kMaxKeyPathLength = 0xFFFC;

// Pool tags, as they read in memory.
constexpr ULONG kTagRegistryPath = KX_POOL_TAG('2', '0', '0', 'M');
constexpr ULONG kTagFrameBuffers = KX_POOL_TAG('D', 'A', 'T', 'A');
constexpr ULONG kTagRemoveLock = KX_POOL_TAG('R', 'M', 'L', 'K');
constexpr ULONG kTagWorkItem = KX_POOL_TAG('W', 'O', 'R', 'K');
constexpr ULONG kTagRegistry = KX_POOL_TAG('r', 'e', 'g', 'y');
constexpr ULONG kTagTransfer = KX_POOL_TAG('2', '0', '0', 'M');  // URBs and transfer contexts
constexpr ULONG kTagConfigUrb = KX_POOL_TAG('C', 'U', 'R', 'B');
constexpr ULONG kTagConfigDescriptor = KX_POOL_TAG('C', 'D', 'E', 'S');
constexpr ULONG kTagDeviceUrb = KX_POOL_TAG('U', 'R', 'B', 'C');
constexpr ULONG kTagDeviceDescriptor = KX_POOL_TAG('D', 'D', 'S', 'C');
constexpr ULONG kTagInterfaceList = KX_POOL_TAG('I', 'N', 'F', 'L');
constexpr ULONG kTagDeselectUrb = KX_POOL_TAG('D', 'U', 'S', 'B');
constexpr ULONG kTagFrameStore = KX_POOL_TAG('F', 'R', 'A', 'M');
constexpr ULONG kTagBus = KX_POOL_TAG('K', 'B', 'u', 's');  // identifiers, answers, relation lists
constexpr ULONG kTagDescription = KX_POOL_TAG('R', 'T', 'A', 'B');

// Handle selectors kept in a file object's FsContext.
constexpr ULONG kControlHandle = 0;
constexpr ULONG kDisplayHandleBase = 0xF000;
constexpr ULONG kSelectorNotRecognised = 0xFFFF;

// driver/entry.cpp
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;

// driver/add_device.cpp
DRIVER_ADD_DEVICE AddDevice;
void FreeFrameBuffers(BusDeviceContext* bus);
// The frame pipeline's two buffers, for an adapter whose stop released them; nothing is left
// allocated when one of them cannot be had.
NTSTATUS ObtainFrameBuffers(BusDeviceContext* bus);

// driver/create_close.cpp
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
ULONG HandleSelectorFromName(PCUNICODE_STRING fileName);

// driver/dispatch.cpp: routing between the function device and the children.
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
DRIVER_DISPATCH DispatchDeviceControl;
DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;
DRIVER_DISPATCH DispatchSystemControl;
NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information);

// driver/device_state.cpp
void SetPnpState(CommonDeviceHeader* header, LONG state);
void RestorePnpState(CommonDeviceHeader* header);
void SetBusPnpState(BusDeviceContext* bus, LONG state);
void RestoreBusPnpState(BusDeviceContext* bus);
// A cancel-stop or cancel-remove: restores the previous state only from the matching pending state.
void CancelPendingPnpState(CommonDeviceHeader* header, LONG pendingState);
void CancelPendingBusPnpState(BusDeviceContext* bus, LONG pendingState);
LONG IoCountIncrement(BusDeviceContext* bus);
LONG IoCountDecrement(BusDeviceContext* bus);
BOOLEAN IoCountAcquireIfStarted(BusDeviceContext* bus);
BOOLEAN IsBusStarted(BusDeviceContext* bus);
void InitializeChannels(BusDeviceContext* bus);
void ResetChannels(BusDeviceContext* bus);

// driver/fdo_pnp.cpp: the adapter's Plug and Play requests.
NTSTATUS FunctionPnp(PDEVICE_OBJECT device, PIRP irp);

// driver/fdo_start.cpp
NTSTATUS StartFunctionDevice(BusDeviceContext* bus, PIRP irp);

// driver/fdo_capabilities.cpp
NTSTATUS QueryAdapterCapabilities(BusDeviceContext* bus, PIRP irp);

// driver/forward.cpp: the request goes down with a completion routine that hands it back here;
// returns its final status. The caller completes it.
NTSTATUS ForwardAndWait(BusDeviceContext* bus, PIRP irp);
NTSTATUS PassDown(BusDeviceContext* bus, PIRP irp);

// driver/device_interface.cpp: the interface the display stack opens the adapter by, of the class
// ExtendedChip chooses.
void EnableDeviceInterface(BusDeviceContext* bus);
void DisableDeviceInterface(BusDeviceContext* bus);
// For a caller that tests the state the interface depends on, or acts on the adapter with it, in
// the same step: the same two under InterfaceLock, which the caller holds.
void LockDeviceInterface(BusDeviceContext* bus);
void UnlockDeviceInterface(BusDeviceContext* bus);
void EnableDeviceInterfaceLocked(BusDeviceContext* bus);
void DisableDeviceInterfaceLocked(BusDeviceContext* bus);

// driver/power.cpp: the function device as the adapter's power policy owner.
NTSTATUS FunctionPower(PDEVICE_OBJECT device, PIRP irp);
// driver/child_power.cpp: a child records the states it is told and completes every request.
NTSTATUS ChildPower(PDEVICE_OBJECT device, PIRP irp);
// driver/device_power.cpp: device power requests of the adapter, and the adapter's output.
// True for a power-up, which the completion routine finishes.
BOOLEAN SetDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
void PowerDownAdapter(PDEVICE_OBJECT device);
NTSTATUS PassDevicePowerRequest(PDEVICE_OBJECT device, PIRP irp);
// driver/power_request.cpp: device power requests the driver asks for itself.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
// driver/power_up_work.cpp: the device interface comes back three seconds after a power-up.
void SchedulePowerUpWork(BusDeviceContext* bus);
// driver/wait_wake.cpp. CancelWaitWake ends a wait-wake request that is below, if any.
NTSTATUS HandleWaitWake(PDEVICE_OBJECT device, PIRP irp);
void CancelWaitWake(BusDeviceContext* bus);

// bus/child_pnp.cpp
NTSTATUS ChildPnp(PDEVICE_OBJECT device, PIRP irp);

// bus/display_report.cpp: the display report a far side or a control code delivers, and the
// display description a child keeps. Both are read byte by byte; `length` is the input's size.
constexpr ULONG kReportHeaderSize = 12;
constexpr ULONG kDisplayDataSize = 512;
constexpr ULONG kDescriptionHeaderSize = 532;  // up to and with the mode count
struct DisplayReport {
  LONG DisplayId;
  ULONG ModeCount;
  USHORT ReportWord;
  const UCHAR* Modes;        // 8 bytes each
  const UCHAR* DisplayData;  // 512 bytes
};
// STATUS_INVALID_PARAMETER for an input shorter than its own mode count implies, or a count whose
// description size does not fit 32 bits.
NTSTATUS ParseDisplayReport(const UCHAR* report, ULONG length, DisplayReport* parsed);
NTSTATUS CheckDisplayDescription(const UCHAR* description, ULONG length, ULONG* size);
// The description built from a report: DisplayId, DisplayData, ReportWord, ModeCount, the modes
// and a zero tail of 512 bytes; `size` bytes (8n + 1044).
ULONG DescriptionSizeOf(const DisplayReport* report);
void BuildDescription(const DisplayReport* report, UCHAR* description, ULONG size);

// bus/child_creation.cpp: children bound to channels, created and removed.
// From 255 up an identifier names every display to a removal, so no display may be numbered so
// (0xFFFFFFFF, kNoDisplay, among them): it could never be removed alone. Creations refuse them.
constexpr ULONG kEveryDisplay = 255;
inline BOOLEAN IsSingleDisplayId(ULONG displayId) { return displayId < kEveryDisplay; }
NTSTATUS CreateDisplayChild(BusDeviceContext* bus, const UCHAR* report, ULONG length);
NTSTATUS AddDisplayChildFromDescription(BusDeviceContext* bus, const UCHAR* description,
                                        ULONG length);
// Identifier kEveryDisplay or more: every child.
NTSTATUS RemoveDisplayChild(BusDeviceContext* bus, ULONG displayId);
// Not yet in the adapter's list of children: the creation lists it once it is complete.
PDEVICE_OBJECT NewChildDevice(BusDeviceContext* bus, ULONG displayId);
// At a reported-missing child's removal: out of the adapter's list, its channel freed when it
// still shows the child's display (an ejected child's), as a detach frees it.
void UnlinkRemovedChild(BusDeviceContext* bus, ChildDeviceContext* child);
// A child unlinked from its adapter: its identifier and description freed, its device deleted
// (PASSIVE_LEVEL: never under ChildListLock).
void DeleteChild(ChildDeviceContext* child);
// At the adapter's removal: every child is deleted, except a surprise-removed one, which is only
// detached and deleted by its own removal request.
void DeleteChildrenAtRemoval(BusDeviceContext* bus);
// At the adapter's surprise removal: every child is detached (no parent, reported missing).
void DetachChildren(BusDeviceContext* bus);
// The longest identifiers a 32-bit display number gives, with their terminators.
constexpr ULONG kDeviceIdChars = 32;  // "Kestrelix\DisplayIDD" and "-2147483648"
constexpr ULONG kInstanceIdChars = 12;

// bus/bus_relations.cpp: the adapter's answer to IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations).
NTSTATUS ReplyBusRelations(BusDeviceContext* bus, PIRP irp);

// bus/child_identity.cpp: what a child tells the Plug and Play manager about itself.
NTSTATUS QueryChildId(ChildDeviceContext* child, PIRP irp);
NTSTATUS QueryChildText(ChildDeviceContext* child, PIRP irp);
NTSTATUS QueryChildBusInformation(PIRP irp);
NTSTATUS QueryChildCapabilities(ChildDeviceContext* child, PIRP irp);

// control/device_control.cpp: the adapter's control codes (control/adapter_control.h has the
// handlers of each family).
NTSTATUS AdapterDeviceControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ChildDeviceControl(PDEVICE_OBJECT device, PIRP irp);
constexpr ULONG IOCTL_BUS_QUERY_DISPLAY_CONNECTED = 0x222194;
constexpr ULONG IOCTL_BUS_GET_ADAPTER_INFO = 0x2221A4;
constexpr ULONG IOCTL_BUS_SET_LINK_SELECT = 0x2224B4;
constexpr ULONG IOCTL_BUS_READ_CONFIG_WORD = 0x22260C;
constexpr ULONG IOCTL_BUS_WRITE_CONFIG_WORD = 0x222610;
constexpr ULONG IOCTL_BUS_GET_LINK_MODE = 0x222A80;
constexpr ULONG IOCTL_BUS_SET_LINK_MODE = 0x222A84;
constexpr ULONG IOCTL_BUS_ATTACH_DISPLAY = 0x222A88;
constexpr ULONG IOCTL_BUS_DETACH_DISPLAY = 0x222A8C;
constexpr ULONG IOCTL_BUS_GET_USB_SPEED = 0x222A90;
constexpr ULONG IOCTL_BUS_QUERY_HANDLE_TYPE = 0x222A94;
constexpr ULONG IOCTL_BUS_GET_CAPABILITIES = 0x222A98;
constexpr ULONG IOCTL_BUS_QUERY_WORD_PAIR = 0x222A9C;
constexpr ULONG IOCTL_BUS_SET_COMPRESSION = 0x222AA0;
constexpr ULONG IOCTL_BUS_NOP = 0x222AA7;  // METHOD_NEITHER
constexpr ULONG IOCTL_BUS_QUERY_MASK = 0x222AA8;
constexpr ULONG IOCTL_BUS_GET_INTERFACE_VERSION = 0x222AAC;
constexpr ULONG IOCTL_BUS_ATTACH_DISPLAY_EX = 0x222AB0;
constexpr ULONG IOCTL_BUS_GET_CHANNEL_INFO = 0x222AB8;
// Codes of earlier releases: refused in every state.
constexpr ULONG kRetiredBusCodes[] = {0x222144, 0x22214C, 0x2221A0, 0x222808};

// control/child_control.cpp: a child's control codes.
constexpr ULONG IOCTL_DISPLAY_GET_DESCRIPTION_SIZE = 0x222B00;
constexpr ULONG IOCTL_DISPLAY_GET_DESCRIPTION = 0x222B04;
constexpr ULONG IOCTL_DISPLAY_SET_MODE = 0x222B08;
constexpr ULONG IOCTL_DISPLAY_PRESENT = 0x222B0F;
constexpr ULONG IOCTL_DISPLAY_STOP = 0x222B10;
constexpr ULONG IOCTL_DISPLAY_SET_INFO = 0x222B14;

// control/pixel_handover.cpp: IOCTL_DISPLAY_PRESENT, the caller's two user buffers in place.
// The update's TotalSize in `totalSize`; the request's status.
NTSTATUS PresentFromUserBuffers(DisplayChannel* channel, PIRP irp, ULONG inLength,
                                ULONG outLength, ULONG* totalSize);

// pipeline/update_descriptor.cpp: the record handed over with each update, read byte by byte.
constexpr ULONG kUpdateDescriptorSize = 32;
struct UpdateDescriptor {
  LONG Left;
  LONG Top;
  LONG Right;
  LONG Bottom;
  ULONG SourceOffset;  // of the rectangle's first pixel in the pixel buffer
  LONG SourcePitch;    // either sign
  ULONG TotalSize;     // of the pixel buffer
  UCHAR BitsPerPixel;
};
void ReadUpdateDescriptor(const UCHAR* bytes, UpdateDescriptor* descriptor);

// pipeline/output_control.cpp: what a child's display driver asks of its output.
NTSTATUS SetOutputMode(DisplayChannel* channel, USHORT width, USHORT height, USHORT bitsPerPixel,
                       USHORT modeExtra);
// Source rows Top..Bottom-1 of `rowBytes` each, SourcePitch apart (either sign) from
// SourceOffset: the bytes from the first of them to the end of the last; FALSE unless all lie
// inside TotalSize.
BOOLEAN SourceRowsSpan(const UpdateDescriptor* d, ULONG rowBytes, ULONG* offset, ULONG* length);
// An update handed over in two steps: its pixels copied into the output's store, then its
// rectangle queued for the worker. The caller releases the pixels' mapping in between, so that the
// worker, woken by the queueing, is not running while the mapping goes (on the host, a mapping
// closed while another processor runs the worker interrupts that processor to flush it).
// StoreUpdate: STATUS_INVALID_PARAMETER, nothing copied, for a descriptor that does not fit the
// current mode or whose source rows leave the TotalSize bytes at `pixels`; only an update it
// answered with success is then queued.
NTSTATUS StoreUpdate(DisplayChannel* channel, const UpdateDescriptor* descriptor,
                     const UCHAR* pixels);
void QueueUpdate(DisplayChannel* channel, const UpdateDescriptor* descriptor);
NTSTATUS StopOutput(DisplayChannel* channel);
void SetOutputInfo(DisplayChannel* channel, ULONG first, ULONG second, ULONG third);
LONG DeactivateOutput(DisplayChannel* channel);
// After a cancelled stop or removal: every output that was streaming streams again, with its mode
// announced anew and its whole picture sent.
void ResumeStreamingOutputs(BusDeviceContext* bus);
NTSTATUS ResumeOutput(DisplayChannel* channel, const ChannelMode* mode);
void FreeFrameStores(BusDeviceContext* bus);

// pipeline/frame_worker.cpp: the worker thread and its passes.
void InitializeFrameWorker(BusDeviceContext* bus);
// Under WorkerLock, with the adapter seen started under it.
NTSTATUS StartFrameWorker(DisplayChannel* channel);
void StopFrameWorker(BusDeviceContext* bus);
// Queues a changed rectangle for the worker and wakes it; dropped while no worker runs.
void QueueRect(DisplayChannel* channel, UpdateRect rect);
// The whole width x height output, queued as a changed rectangle: the store goes to the far side.
void QueueWholeOutput(DisplayChannel* channel, ULONG width, ULONG height);
// Puts back a rectangle the worker took but could not send, merged like a new one; wakes the
// worker only when asked (a failed send is tried again after the worker's pause, not at once).
void RequeueRect(DisplayChannel* channel, UpdateRect rect, BOOLEAN wake);
// Aligned outwards to the 16-pixel grid and limited to the output; an edge strip narrower than the
// encoder's 8 pixels is widened back into the output to at least 16.
UpdateRect AlignRect(UpdateRect rect, ULONG width, ULONG height);
BOOLEAN WaitFrameLock(DisplayChannel* channel);

// pipeline/frame_send.cpp: what the worker and the first mode set send on data channel 1.
NTSTATUS SendCommandBlock(BusDeviceContext* bus, UCHAR* block);
// `displayId` and `mode` are what the worker read at the start of its visit: the rectangle was
// aligned to that mode, and the blocks name that output.
NTSTATUS SendFrameData(DisplayChannel* channel, LONG displayId, const ChannelMode* mode,
                       const UpdateRect* rect, PUCHAR payload, BOOLEAN pageable, ULONG length);
// What became of a rectangle the worker took.
enum BandOutcome {
  BandSent,      // sent, or dropped for good (no buffers, a picture the encoder refuses)
  BandLockBusy,  // the frame lock could not be had: back in the queue as a new update
  BandFailed,    // a passing failure (memory, a transfer): back in the queue, to try again later
};
BandOutcome EncodeAndSendRect(DisplayChannel* channel, LONG displayId, const ChannelMode* mode,
                              UpdateRect rect);

// usb/read_write.cpp, usb/read_write_completion.cpp: reads and writes on the transfer-set
// handles, passed down in stages; STATUS_PENDING once passed down.
NTSTATUS AdapterRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS AdapterWrite(PDEVICE_OBJECT device, PIRP irp);

// usb/channel_routes.cpp: a transfer-set request's pipe (NULL where the adapter has none), the
// DMA engine a read programs, and the stop of a channel after a failed write submission.
USBD_PIPE_HANDLE TransferSetPipe(BusDeviceContext* bus, ULONG index, BOOLEAN in);
// FALSE when a register write did not reach the adapter: its engine will not send the data.
BOOLEAN ProgramReadDma(BusDeviceContext* bus, ULONG index, ULONG length);
void StopWriteChannel(BusDeviceContext* bus, ULONG index);
// Cancels every read and write in flight on the data pipes (passive level).
void AbortTransferSets(BusDeviceContext* bus);

// usb/channel_flush.cpp: FlushChannelFifo from a work item, callable up to DISPATCH_LEVEL.
// `halted`: the failed stage left its pipe halted, and the requests still on it are ended before
// the reset.
void QueueChannelFlush(BusDeviceContext* bus, ULONG index, BOOLEAN in, BOOLEAN halted = FALSE);

// usb/transfer_size.cpp
BOOLEAN IsPreWdm6System();

// usb/usb_submit.cpp: URBs handed to the USB stack synchronously.
NTSTATUS UsbSubmitUrbSync(BusDeviceContext* bus, PURB urb);
NTSTATUS UsbCallInternalIoctl(BusDeviceContext* bus, PVOID argument, ULONG controlCode);
NTSTATUS UsbCallInternalIoctlPassive(BusDeviceContext* bus, PVOID argument, ULONG controlCode);

// usb/usb_config.cpp
NTSTATUS ConfigureDevice(PDEVICE_OBJECT device);
NTSTATUS UsbDeselectConfiguration(PDEVICE_OBJECT device);

// usb/bulk_transfer.cpp
constexpr ULONG kTransferOut = 0;
constexpr ULONG kTransferIn = USBD_TRANSFER_DIRECTION_IN;
// Each transfer form can report the bytes it moved in `transferred` (0 when nothing trustworthy
// moved: a refusal, or a URB the stack failed); a caller that needs every byte compares it.
NTSTATUS UsbDoBulkTransfer(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                           ULONG length, ULONG direction, ULONG* transferred = NULL);
NTSTATUS UsbDoBulkTransfer_2(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                             ULONG length, ULONG direction, ULONG* transferred = NULL);
// Reads the IN pipe of a register path until it has nothing for 100 ms, at most eight times, and
// drops what came: after a result read that failed, what the device still holds (a result that
// came too late, the rest of a short one) must not answer the path's next read.
// The bridge path (`bridge`) drains as it transfers: past the device-gone latch, never setting it.
void UsbDrainResults(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, BOOLEAN bridge);
NTSTATUS UsbResetPipe(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe);
NTSTATUS UsbAbortPipe(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe);
BOOLEAN IsDeviceGone(BusDeviceContext* bus);
void SetDeviceGone(BusDeviceContext* bus);
// A bulk URB zero-filled and built for one transfer (short transfers allowed).
void BuildBulkUrb(PURB urb, USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG direction);
// A bulk URB from the pool (tag "200M"), built as BuildBulkUrb builds it; NULL when none.
PURB AllocateBulkUrb(USBD_PIPE_HANDLE pipe, PVOID buffer, ULONG length, ULONG direction);
// A request with one stack location more than the lower device needs, armed to carry `urb`.
PIRP AllocateUrbRequest(BusDeviceContext* bus);
void ArmUrbRequest(PIRP irp, PURB urb, PIO_COMPLETION_ROUTINE routine, PVOID context);

// usb/data_transfer.cpp: transfers of any size, in chunks of MaxTransferSize.
// A zero pipe (a legacy adapter's data channels) answers STATUS_INVALID_DEVICE_STATE.
NTSTATUS UsbDoDataTransfer(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                           ULONG length, ULONG direction, ULONG* transferred = NULL);
// The same, then `thenLength` bytes of `then` on the same pipe from the completion of the first
// buffer's last chunk, with one wait; only after a first buffer that went whole and well.
// `transferred` counts both.
NTSTATUS UsbDoDataTransferThen(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                               ULONG length, PVOID then, ULONG thenLength, ULONG direction,
                               ULONG* transferred = NULL);
NTSTATUS UsbDoBulkTransferAsync(BusDeviceContext* bus, USBD_PIPE_HANDLE pipe, PVOID buffer,
                                ULONG length, ULONG direction);
// The status and byte count of the last asynchronous transfer (STATUS_PENDING while in flight);
// read once AsyncIdleEvent is signalled.
NTSTATUS UsbAsyncTransferResult(BusDeviceContext* bus, ULONG* transferred);
void UsbCancelAsyncTransfer(BusDeviceContext* bus);
// Frees the context and URB a synchronous transfer left for the next; with no transfer running.
void UsbFreeSpareTransfer(BusDeviceContext* bus);

// usb/usb_status_name.cpp
PCSTR UsbStatusName(USBD_STATUS status);

// usb/register_paths.cpp: the bridge's registers and the internal bus, one 32-bit word at a time.
struct PciLocation {
  UCHAR Bus;
  UCHAR Function;  // 0-7
  UCHAR Device;    // 0-31
  UCHAR Type;      // non-zero: a type-1 transaction
};
constexpr ULONG kWindowExtended = 0x30000000;  // the far-side window over the internal bus
constexpr ULONG kWindowBasic = 0x00100000;
NTSTATUS BridgeConfigRead(BusDeviceContext* bus, USHORT reg, ULONG* value);
NTSTATUS BridgeConfigWrite(BusDeviceContext* bus, USHORT reg, ULONG value);
NTSTATUS BridgeRegRead(BusDeviceContext* bus, USHORT reg, ULONG* value);
NTSTATUS BridgeRegWrite(BusDeviceContext* bus, USHORT reg, ULONG value);
void BridgeRegSetHigh(BusDeviceContext* bus, USHORT reg, ULONG a, ULONG b);
void BridgeRegSetLow(BusDeviceContext* bus, USHORT reg, ULONG a, ULONG b);
void BridgeRegSetLowIndexed(BusDeviceContext* bus, UCHAR index, ULONG a, ULONG b);
ULONG PciMemRead(BusDeviceContext* bus, ULONG address);
BOOLEAN PciMemWrite(BusDeviceContext* bus, ULONG address, ULONG value);
// The same write, for a caller that must know whether it reached the adapter.
NTSTATUS PciMemWriteChecked(BusDeviceContext* bus, ULONG address, ULONG value);
void PciMemSetLow(BusDeviceContext* bus, ULONG offset, ULONG a, ULONG b);
// The register at `address` with `bits` set; nothing is written when its read fails (a value built
// from 0 would clear every other bit).
void PciMemSetBits(BusDeviceContext* bus, ULONG address, ULONG bits);
ULONG PciConfigRead(BusDeviceContext* bus, USHORT offset);
ULONG PciConfigReadAt(BusDeviceContext* bus, const PciLocation* location, USHORT offset);
BOOLEAN PciConfigWrite(BusDeviceContext* bus, USHORT offset, ULONG value);
BOOLEAN PciConfigWriteAt(BusDeviceContext* bus, const PciLocation* location, USHORT offset,
                         ULONG value);

// usb/data_channels.cpp: the four data channels with their DMA programming and error bits.
// The synchronous channel 1 reads can report the bytes that arrived, as UsbDoDataTransfer does.
NTSTATUS ReadChannel1(BusDeviceContext* bus, PVOID buffer, ULONG length,
                      ULONG* transferred = NULL);
NTSTATUS ReadChannel1Low(BusDeviceContext* bus, PVOID buffer, ULONG length,
                         ULONG* transferred = NULL);
NTSTATUS ReadChannel1Async(BusDeviceContext* bus, PVOID buffer, ULONG length);
NTSTATUS ReadChannel1AsyncLow(BusDeviceContext* bus, PVOID buffer, ULONG length);
// After a failed receive on channel 1 in, at PASSIVE_LEVEL by the one who receives there (the link
// thread): what waits on the pipe ended, the pipe reset and the adapter's FIFO flushed.
void RecoverChannel1In(BusDeviceContext* bus);
NTSTATUS ReadChannel2(BusDeviceContext* bus, PVOID buffer, ULONG length);
NTSTATUS ReadChannel3(BusDeviceContext* bus, PVOID buffer, ULONG length);
NTSTATUS ReadChannel4(BusDeviceContext* bus, PVOID buffer, ULONG length);
// With `then`, its bytes follow the buffer's as UsbDoDataTransferThen sends them.
NTSTATUS WriteChannel1(BusDeviceContext* bus, PVOID buffer, ULONG length, PVOID then = NULL,
                       ULONG thenLength = 0);
NTSTATUS WriteChannel1Low(BusDeviceContext* bus, PVOID buffer, ULONG length, PVOID then = NULL,
                          ULONG thenLength = 0);
// After a failed write on channel 1 out, at PASSIVE_LEVEL under Channel1Lock and under the
// started-state reference the write was made with: the pipe reset and the adapter's FIFO flushed.
void RecoverChannel1Out(BusDeviceContext* bus);
NTSTATUS WriteChannel2(BusDeviceContext* bus, PVOID buffer, ULONG length);
NTSTATUS WriteChannel3(BusDeviceContext* bus, PVOID buffer, ULONG length);
NTSTATUS WriteChannel4(BusDeviceContext* bus, PVOID buffer, ULONG length);
NTSTATUS FlushChannelFifo(BusDeviceContext* bus, ULONG index, BOOLEAN in);
NTSTATUS FlushChannelFifoWindow(BusDeviceContext* bus, ULONG index, BOOLEAN in);
NTSTATUS ResetChannelDma(BusDeviceContext* bus, ULONG index);
NTSTATUS FlushAllChannelFifos(BusDeviceContext* bus);
NTSTATUS ResetAllChannels(BusDeviceContext* bus);

// device/config_memory.cpp: the bridge's serial configuration memory, one 32-bit word at a time.
NTSTATUS ConfigWordRead(BusDeviceContext* bus, ULONG index, ULONG* value);
NTSTATUS ConfigWordWrite(BusDeviceContext* bus, USHORT index, ULONG value);
BOOLEAN ConfigReadIdentity(BusDeviceContext* bus, USHORT* vidW, USHORT* pidW, ULONG* w0);
// Words 0, 1 and 2 as ConfigReadIdentity reads them, and which of words 1 and 2 arrived; FALSE
// when word 0 cannot be read.
struct ConfigIdentity {
  ULONG W0;
  USHORT VidW;
  USHORT PidW;
  BOOLEAN VidRead;
  BOOLEAN PidRead;
};
BOOLEAN ConfigReadIdentityWords(BusDeviceContext* bus, ConfigIdentity* identity);
BOOLEAN ConfigWarmUp(BusDeviceContext* bus);

// device/start_up.cpp: the adapter's programming at every start. A start that initialised the
// adapter publishes its device interface; one that ran the identity switch publishes none, since
// that adapter leaves the bus.
constexpr ULONG kLinkStateStarted = 0x400;
constexpr USHORT MakerVendorId = 0x2A4B;
NTSTATUS StartAdapterHardware(BusDeviceContext* bus);
BOOLEAN InitializeAdapter(BusDeviceContext* bus);
NTSTATUS ReadFarPortSpeed(BusDeviceContext* bus, UCHAR* speed);

// device/link_thread.cpp: the thread that listens on data channel 1 for the far side's display
// announcements while the adapter is in link mode 1.
constexpr ULONG kLinkStateReceiving = 0x800;
void InitializeLinkThread(BusDeviceContext* bus);
BOOLEAN StartLinkThread(PDEVICE_OBJECT device);
BOOLEAN StopLinkThread(PDEVICE_OBJECT device);
// After a cancelled stop or removal, or a new start: an adapter in link mode 1 whose thread the
// driver runs listens to the far side again.
void ResumeLinkSupervision(BusDeviceContext* bus);

// device/full_initialisation.cpp, device/legacy_initialisation.cpp
BOOLEAN InitializeAdapterFull(BusDeviceContext* bus);
BOOLEAN InitializeAdapterLegacy(BusDeviceContext* bus);
void ProgramBridgeEndpointLayout(BusDeviceContext* bus);

// device/identity_switch.cpp: a bridge still on its first-stage image takes its final identity
// and leaves the bus a second later.
void SwitchFirstStageIdentity(BusDeviceContext* bus, USHORT vidW, USHORT pidW);
// Whether the identity the switch gives is made with the vendor word (configuration word 1).
BOOLEAN IdentitySwitchUsesVendorWord(BusDeviceContext* bus);

// config/registry.cpp
NTSTATUS RegistryAccess(BOOLEAN write, PCWSTR subkey, PCWSTR valueName, ULONG size, PVOID data);
NTSTATUS ReadParameter(PCWSTR valueName, ULONG size, PVOID data);
NTSTATUS WriteParameter(PCWSTR valueName, ULONG size, PVOID data);
NTSTATUS WriteStatusValue(PCWSTR valueName, ULONG size, PVOID data);
NTSTATUS ReportErrorCode(BusDeviceContext* bus);
void ReadStartOptions(BusDeviceContext* bus);
void ReadCompressionOptions(BusDeviceContext* bus);
