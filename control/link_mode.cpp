// The link modes. In mode 1 the far side announces its displays on data channel 1 (heard by the
// link thread when the driver is to listen, LinkByDriver) and the display stack may attach and
// detach displays itself. Otherwise the modes differ at this interface only in what bridge
// register 0x50 is given.
#include "control/adapter_control.h"

namespace {

constexpr USHORT kLinkRegister = 0x50;
constexpr ULONG kLinkOff = 0xF0;       // mode 0
constexpr ULONG kLinkFarSide = 0xB0;   // mode 1, and a non-zero link select
constexpr ULONG kLinkBridge = 0xB8;    // mode 2, and a zero link select
constexpr ULONG kFarSideMode = 1;

// The registry keeps the last mode chosen for tools to read; the driver never reads it back.
void RecordLinkMode(ULONG mode) {
  UCHAR bytes[4];
  StoreU32(bytes, mode);
  NTSTATUS status = WriteParameter(KX_WSTR("LinkMode"), sizeof bytes, bytes);
  if (!NT_SUCCESS(status)) KX_TRACE(KX_TRACE_WARNING, "LinkMode not recorded: 0x%x\n", status);
}

// From here on link supervision owns channel 1's receives: a transfer-set read waiting there would
// take the far side's next block. New reads are turned away, those being submitted are waited
// for, and those waiting below are ended (cancelled) before the link thread's first receive. The
// other channels' requests are not touched.
void TakeChannel1FromTransferSets(BusDeviceContext* bus) {
  if (!CloseEntryGate(&bus->Channel1ReadGate)) return;  // mode 1 holds already
  WaitGateEmpty(&bus->Channel1ReadGate);
  USBD_PIPE_HANDLE pipe = TransferSetPipe(bus, 0, TRUE);
  if (pipe != NULL) UsbAbortPipe(bus, pipe);
}

// Only once the link thread has ended: nobody is inside the closed gate.
void GiveChannel1BackToTransferSets(BusDeviceContext* bus) {
  if (IsEntryGateClosed(&bus->Channel1ReadGate)) OpenEntryGate(&bus->Channel1ReadGate);
}

void EnterFarSideMode(AdapterRequest* request) {
  BusDeviceContext* bus = request->Bus;
  TakeChannel1FromTransferSets(bus);
  bus->LinkState = kLinkStateStarted;
  if (bus->LinkByDriver) StartLinkThread(request->Device);  // does nothing when already running
  BridgeRegWrite(bus, kLinkRegister, kLinkFarSide);
}

void ChangeLinkMode(AdapterRequest* request, ULONG mode) {
  BusDeviceContext* bus = request->Bus;
  if (bus->LinkMode == kFarSideMode && mode != kFarSideMode) {
    StopLinkThread(request->Device);
    GiveChannel1BackToTransferSets(bus);
  }
  bus->LinkMode = mode;
  RecordLinkMode(mode);
  switch (mode) {
    case 0: BridgeRegWrite(bus, kLinkRegister, kLinkOff); break;
    case kFarSideMode: EnterFarSideMode(request); break;
    case 2: BridgeRegWrite(bus, kLinkRegister, kLinkBridge); break;
    default: break;
  }
}

}  // namespace

AdapterResult GetLinkMode(AdapterRequest* request) {
  if (!HasOutput(request, 4)) return TooSmall();
  if (request->Bus->DriverModel != 0) return Refused();
  StoreU32(request->Buffer, request->Bus->LinkMode);
  return Answer(STATUS_SUCCESS, 4);
}

// The link thread reads data channel 1 in mode 1 only: it has ended before the bridge is told to
// leave that mode. Any other value is kept and recorded but changes nothing on the adapter. A
// change runs whole under LinkLock (which the thread's own start and stop take again): two
// changes at once must not decide on the thread by the mode before either of them.
AdapterResult SetLinkMode(AdapterRequest* request) {
  if (!HasInput(request, 4)) return TooSmall();
  BusDeviceContext* bus = request->Bus;
  if (bus->DriverModel != 0) return Refused();
  ULONG mode = LoadU32(request->Buffer);
  KeWaitForSingleObject(&bus->LinkLock, Executive, KernelMode, FALSE, NULL);
  ChangeLinkMode(request, mode);
  KeReleaseMutex(&bus->LinkLock, FALSE);
  return Answer(STATUS_SUCCESS);
}

AdapterResult SetLinkSelect(AdapterRequest* request) {
  if (!HasInput(request, 4)) return TooSmall();
  BusDeviceContext* bus = request->Bus;
  if (bus->DriverModel != 0 && bus->DriverModel != 8) return Refused();
  BridgeRegWrite(bus, kLinkRegister, LoadU32(request->Buffer) != 0 ? kLinkFarSide : kLinkBridge);
  return Answer(STATUS_SUCCESS);
}
