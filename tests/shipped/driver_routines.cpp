// The driver's routines that the scenario tests call directly, each forwarding to the same routine
// in the shipped image. The definitions take the place of the driver built for the host: a test
// program of the image preset links these instead, so every such call runs the cross compiler's
// code. A routine that a test starts to call must be listed here; the image preset does not link
// without it.
//
// Both sides read the same declarations, so a routine's calling convention is the one its header
// gives it. Where the two platforms' conventions differ for a routine's type, the forward says so:
// a routine that returns a record in memory leaves the hidden pointer for its caller to pop on the
// image's platform, where the host's own routines pop it themselves.
#include <cstdarg>

#include "driver/kxbus.h"
#include "jpeg/jpeg.h"
#include "pipeline/command_block.h"
#include "pipeline/dirty_rect_queue.h"
#include "platform/kx_runtime.h"
#include "shipped_driver.h"
#include "support/tested_driver.h"

using kxtest::ShippedRoutine;

// The routine's own declaration gives the type of the image's routine and of the result.
#define KX_SHIPPED(name, parameters, arguments)                                        \
  auto name parameters->decltype(name arguments) {                                     \
    static const auto routine = ShippedRoutine<decltype(&name)>(#name);                \
    return routine arguments;                                                          \
  }

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  static const auto routine = ShippedRoutine<PDRIVER_INITIALIZE>("DriverEntry");
  return routine(driver, registryPath);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
  static const auto routine = ShippedRoutine<PDRIVER_UNLOAD>("DriverUnload");
  routine(driver);
}

// The image's variadic formatter cannot be handed another call's arguments; its va_list form can,
// and both platforms pass a va_list as a pointer to the arguments on the stack.
NTSTATUS KxFormatWide(PWCHAR buffer, SIZE_T capacity, PCSTR format, ...) {
  static const auto routine = ShippedRoutine<decltype(&KxFormatWideV)>("KxFormatWideV");
  va_list args;
  va_start(args, format);
  NTSTATUS status = routine(buffer, capacity, format, args);
  va_end(args);
  return status;
}

typedef UpdateRect(__attribute__((callee_pop_aggregate_return(0))) *
                   AlignRectRoutine)(UpdateRect, ULONG, ULONG);
UpdateRect AlignRect(UpdateRect rect, ULONG width, ULONG height) {
  static const auto routine = ShippedRoutine<AlignRectRoutine>("AlignRect");
  return routine(rect, width, height);
}

typedef UpdateRect(__attribute__((callee_pop_aggregate_return(0))) *
                   QueueTakeRoutine)(DirtyRectQueue*);
UpdateRect QueueTake(DirtyRectQueue* queue) {
  static const auto routine = ShippedRoutine<QueueTakeRoutine>("QueueTake");
  return routine(queue);
}

KX_SHIPPED(AddDisplayChildFromDescription, (BusDeviceContext* a0, const UCHAR* a1, ULONG a2),
           (a0, a1, a2))
KX_SHIPPED(BridgeConfigRead, (BusDeviceContext* a0, USHORT a1, PULONG a2), (a0, a1, a2))
KX_SHIPPED(BridgeRegRead, (BusDeviceContext* a0, USHORT a1, PULONG a2), (a0, a1, a2))
KX_SHIPPED(BridgeRegSetHigh, (BusDeviceContext* a0, USHORT a1, ULONG a2, ULONG a3),
           (a0, a1, a2, a3))
KX_SHIPPED(BridgeRegSetLow, (BusDeviceContext* a0, USHORT a1, ULONG a2, ULONG a3), (a0, a1, a2, a3))
KX_SHIPPED(BridgeRegSetLowIndexed, (BusDeviceContext* a0, UCHAR a1, ULONG a2, ULONG a3),
           (a0, a1, a2, a3))
KX_SHIPPED(BridgeRegWrite, (BusDeviceContext* a0, USHORT a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(BuildFrameDataBlock, (PUCHAR a0, int a1, const FrameDataFields* a2), (a0, a1, a2))
KX_SHIPPED(BuildModeBlock, (PUCHAR a0, int a1, const ModeFields* a2), (a0, a1, a2))
KX_SHIPPED(BuildStopBlock, (PUCHAR a0, int a1), (a0, a1))
KX_SHIPPED(CancelPendingBusPnpState, (BusDeviceContext* a0, int a1), (a0, a1))
KX_SHIPPED(ConfigReadIdentity, (BusDeviceContext* a0, PUSHORT a1, PUSHORT a2, PULONG a3),
           (a0, a1, a2, a3))
KX_SHIPPED(ConfigWordRead, (BusDeviceContext* a0, ULONG a1, PULONG a2), (a0, a1, a2))
KX_SHIPPED(ConfigWordWrite, (BusDeviceContext* a0, USHORT a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(ConfigureDevice, (PDEVICE_OBJECT a0), (a0))
KX_SHIPPED(CreateDisplayChild, (BusDeviceContext* a0, const UCHAR* a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(FlushChannelFifo, (BusDeviceContext* a0, ULONG a1, UCHAR a2), (a0, a1, a2))
KX_SHIPPED(FlushChannelFifoWindow, (BusDeviceContext* a0, ULONG a1, UCHAR a2), (a0, a1, a2))
KX_SHIPPED(FrameOffsetOf, (ULONG a0, ULONG a1, ULONG a2, ULONG a3), (a0, a1, a2, a3))
KX_SHIPPED(FreeFrameBuffers, (BusDeviceContext* a0), (a0))
KX_SHIPPED(IoCountAcquireIfStarted, (BusDeviceContext* a0), (a0))
KX_SHIPPED(IoCountDecrement, (BusDeviceContext* a0), (a0))
KX_SHIPPED(IoCountIncrement, (BusDeviceContext* a0), (a0))
KX_SHIPPED(IsDeviceGone, (BusDeviceContext* a0), (a0))
KX_SHIPPED(IsEmptyRect, (const UpdateRect* a0), (a0))
KX_SHIPPED(JpegEncodeFrame, (JpegEncodeParams* a0), (a0))
KX_SHIPPED(JpegSelectStageRoutines, (), ())
KX_SHIPPED(NewChildDevice, (BusDeviceContext* a0, ULONG a1), (a0, a1))
KX_SHIPPED(PaddedPayloadLength, (ULONG a0), (a0))
KX_SHIPPED(PciConfigRead, (BusDeviceContext* a0, USHORT a1), (a0, a1))
KX_SHIPPED(PciConfigReadAt, (BusDeviceContext* a0, const PciLocation* a1, USHORT a2), (a0, a1, a2))
KX_SHIPPED(PciConfigWrite, (BusDeviceContext* a0, USHORT a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(PciMemRead, (BusDeviceContext* a0, ULONG a1), (a0, a1))
KX_SHIPPED(PciMemSetBits, (BusDeviceContext* a0, ULONG a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(PciMemSetLow, (BusDeviceContext* a0, ULONG a1, ULONG a2, ULONG a3), (a0, a1, a2, a3))
KX_SHIPPED(PciMemWrite, (BusDeviceContext* a0, ULONG a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(QueueClear, (DirtyRectQueue* a0), (a0))
KX_SHIPPED(QueueInsert, (DirtyRectQueue* a0, const UpdateRect* a1), (a0, a1))
KX_SHIPPED(QueueRect, (DisplayChannel* a0, UpdateRect a1), (a0, a1))
KX_SHIPPED(ReadChannel1, (BusDeviceContext* a0, PVOID a1, ULONG a2, PULONG a3), (a0, a1, a2, a3))
KX_SHIPPED(ReadChannel1Async, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(ReadChannel1AsyncLow, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(ReadChannel1Low, (BusDeviceContext* a0, PVOID a1, ULONG a2, PULONG a3), (a0, a1, a2, a3))
KX_SHIPPED(ReadChannel2, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(ReadChannel3, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(ReadChannel4, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(ReadCompressionOptions, (BusDeviceContext* a0), (a0))
KX_SHIPPED(ReadFarPortSpeed, (BusDeviceContext* a0, PUCHAR a1), (a0, a1))
KX_SHIPPED(ReadParameter, (PCWSTR a0, ULONG a1, PVOID a2), (a0, a1, a2))
KX_SHIPPED(ReadStartOptions, (BusDeviceContext* a0), (a0))
KX_SHIPPED(RemoveDisplayChild, (BusDeviceContext* a0, ULONG a1), (a0, a1))
KX_SHIPPED(ReportErrorCode, (BusDeviceContext* a0), (a0))
KX_SHIPPED(ResetAllChannels, (BusDeviceContext* a0), (a0))
KX_SHIPPED(ResetChannelDma, (BusDeviceContext* a0, ULONG a1), (a0, a1))
KX_SHIPPED(ResetChannels, (BusDeviceContext* a0), (a0))
KX_SHIPPED(RestoreBusPnpState, (BusDeviceContext* a0), (a0))
KX_SHIPPED(SendCommandBlock, (BusDeviceContext* a0, UCHAR* a1), (a0, a1))
KX_SHIPPED(SetBusPnpState, (BusDeviceContext* a0, int a1), (a0, a1))
KX_SHIPPED(SetOutputInfo, (DisplayChannel* a0, ULONG a1, ULONG a2, ULONG a3), (a0, a1, a2, a3))
KX_SHIPPED(StartAdapterHardware, (BusDeviceContext* a0), (a0))
KX_SHIPPED(StartLinkThread, (PDEVICE_OBJECT a0), (a0))
KX_SHIPPED(StopFrameWorker, (BusDeviceContext* a0), (a0))
KX_SHIPPED(StopLinkThread, (PDEVICE_OBJECT a0), (a0))
KX_SHIPPED(UsbAsyncTransferResult, (BusDeviceContext* a0, PULONG a1), (a0, a1))
KX_SHIPPED(UsbCancelAsyncTransfer, (BusDeviceContext* a0), (a0))
KX_SHIPPED(UsbDeselectConfiguration, (PDEVICE_OBJECT a0), (a0))
KX_SHIPPED(UsbDoBulkTransfer,
           (BusDeviceContext* a0, PVOID a1, PVOID a2, ULONG a3, ULONG a4, PULONG a5),
           (a0, a1, a2, a3, a4, a5))
KX_SHIPPED(UsbDoBulkTransferAsync, (BusDeviceContext* a0, PVOID a1, PVOID a2, ULONG a3, ULONG a4),
           (a0, a1, a2, a3, a4))
KX_SHIPPED(UsbDoBulkTransfer_2,
           (BusDeviceContext* a0, PVOID a1, PVOID a2, ULONG a3, ULONG a4, PULONG a5),
           (a0, a1, a2, a3, a4, a5))
KX_SHIPPED(UsbDoDataTransfer,
           (BusDeviceContext* a0, PVOID a1, PVOID a2, ULONG a3, ULONG a4, PULONG a5),
           (a0, a1, a2, a3, a4, a5))
KX_SHIPPED(UsbDoDataTransferThen,
           (BusDeviceContext* a0, PVOID a1, PVOID a2, ULONG a3, PVOID a4, ULONG a5, ULONG a6,
            PULONG a7),
           (a0, a1, a2, a3, a4, a5, a6, a7))
KX_SHIPPED(UsbFreeSpareTransfer, (BusDeviceContext* a0), (a0))
KX_SHIPPED(UsbResetPipe, (BusDeviceContext* a0, PVOID a1), (a0, a1))
KX_SHIPPED(UsbStatusName, (int a0), (a0))
KX_SHIPPED(WriteChannel1, (BusDeviceContext* a0, PVOID a1, ULONG a2, PVOID a3, ULONG a4),
           (a0, a1, a2, a3, a4))
KX_SHIPPED(WriteChannel1Low, (BusDeviceContext* a0, PVOID a1, ULONG a2, PVOID a3, ULONG a4),
           (a0, a1, a2, a3, a4))
KX_SHIPPED(WriteChannel2, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(WriteChannel3, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(WriteChannel4, (BusDeviceContext* a0, PVOID a1, ULONG a2), (a0, a1, a2))
KX_SHIPPED(WriteParameter, (PCWSTR a0, ULONG a1, PVOID a2), (a0, a1, a2))
KX_SHIPPED(WriteStatusValue, (PCWSTR a0, ULONG a1, PVOID a2), (a0, a1, a2))

namespace kxtest {

DriverGlobals& TestedDriverGlobals() {
  static DriverGlobals* const globals = static_cast<DriverGlobals*>(ShippedSymbol("Globals"));
  return *globals;
}

}  // namespace kxtest
