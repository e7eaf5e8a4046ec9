// Displays made and withdrawn by the display stack, and what a display handle's output shows.
// The creations themselves (bus/child_creation.cpp) run one at a time under ChildCreationLock, the
// lock the link thread's creations take too, and trust an input for no more bytes than it has:
// they are handed the caller's real input length, never the minimum tested here.
#include "control/adapter_control.h"

namespace {

constexpr ULONG kDisplayHandleMask = 0xF000;
constexpr ULONG kChannelIndexMask = 0x0FFF;
// A display handle may name channel 10, one past the table: it stands for no display.
constexpr ULONG kHighestDisplayHandleIndex = 10;
constexpr ULONG kDisplayHandleType = 3;
constexpr ULONG kDescriptionMinimum = 532;  // a description must be longer than this
constexpr ULONG kChannelInfoAnswer = 32;

BOOLEAN IsDisplayHandle(ULONG selector) {
  return (selector & kDisplayHandleMask) == kDisplayHandleMask &&
         (selector & kChannelIndexMask) <= kHighestDisplayHandleIndex;
}

// The channel a display handle names; NULL for the index past the table.
DisplayChannel* ChannelOfHandle(BusDeviceContext* bus, ULONG selector) {
  ULONG index = selector & kChannelIndexMask;
  return index < kChannelCount ? &bus->Channels[index] : NULL;
}

// DisplayId changes by interlocked exchange while creations and removals run on other threads.
BOOLEAN ChannelInUse(DisplayChannel* channel) {
  return channel != NULL && InterlockedCompareExchange(&channel->DisplayId, 0, 0) != kNoDisplay;
}

LONG PnpStateOf(BusDeviceContext* bus) {
  KIRQL irql;
  KeAcquireSpinLock(&bus->PnpStateLock, &irql);
  LONG state = bus->Header.DevicePnpState;
  KeReleaseSpinLock(&bus->PnpStateLock, irql);
  return state;
}

AdapterResult AnswerConnected(AdapterRequest* request, BOOLEAN connected) {
  StoreU32(request->Buffer, connected ? 1 : 0);
  return Answer(STATUS_SUCCESS, 4);
}

BOOLEAN AttachPermitted(BusDeviceContext* bus) {
  return bus->DriverModel == 0 && bus->LinkMode == 1;
}

}  // namespace

// A started device that began to stop after the reference was taken has nothing connected; a
// device on its way out has nothing connected either, but a stopped one still knows its displays.
AdapterResult QueryDisplayConnected(AdapterRequest* request, BOOLEAN referenced) {
  if (!HasOutput(request, 4)) return TooSmall();
  LONG state = PnpStateOf(request->Bus);
  BOOLEAN gone = referenced ? state != Started : (state == SurpriseRemoved || state == Removed);
  if (gone) return AnswerConnected(request, FALSE);
  if (request->Selector == kSelectorNotRecognised) return AnswerConnected(request, TRUE);
  if (!IsDisplayHandle(request->Selector)) return Answer(STATUS_INVALID_PARAMETER);
  return AnswerConnected(request, ChannelInUse(ChannelOfHandle(request->Bus, request->Selector)));
}

AdapterResult QueryHandleType(AdapterRequest* request) {
  if (!HasOutput(request, 4)) return TooSmall();
  if (!IsDisplayHandle(request->Selector)) return Answer(STATUS_SUCCESS, 0);
  StoreU32(request->Buffer, kDisplayHandleType);
  return Answer(STATUS_SUCCESS, 4);
}

// Whatever the creation gives (no free channel, a malformed report), the caller hears success;
// but a display numbered as every display is the caller's mistake, which it must hear of.
AdapterResult AttachDisplay(AdapterRequest* request) {
  if (!HasInput(request, 1)) return TooSmall();
  if (!AttachPermitted(request->Bus)) return Refused();
  if (HasInput(request, 4) && !IsSingleDisplayId(LoadU32(request->Buffer))) {
    return Answer(STATUS_INVALID_PARAMETER);
  }
  CreateDisplayChild(request->Bus, request->Buffer, request->InLength);
  return Answer(STATUS_SUCCESS);
}

AdapterResult AttachDisplayEx(AdapterRequest* request) {
  if (!HasInput(request, kDescriptionMinimum + 1)) return TooSmall();
  if (!AttachPermitted(request->Bus)) return Refused();
  return Answer(
      AddDisplayChildFromDescription(request->Bus, request->Buffer, request->InLength));
}

// Identifier kEveryDisplay or more withdraws every display. An unknown one is not the caller's
// failure.
AdapterResult DetachDisplay(AdapterRequest* request) {
  if (!HasInput(request, 4)) return TooSmall();
  if (!AttachPermitted(request->Bus)) return Refused();
  RemoveDisplayChild(request->Bus, LoadU32(request->Buffer));
  return Answer(STATUS_SUCCESS);
}

// The answer is 32 bytes: the three words, then zeros in place of what the caller sent.
AdapterResult GetChannelInfo(AdapterRequest* request) {
  if (!HasInput(request, 4) || !HasOutput(request, kChannelInfoAnswer)) return TooSmall();
  ULONG index = LoadU32(request->Buffer);
  if (index >= kChannelCount) return Answer(STATUS_INVALID_PARAMETER);
  const ULONG* info = request->Bus->Channels[index].OutputInfo;
  ULONG first = info[0], second = info[1], third = info[2];
  if ((first == 0 && second == 0) || third == 0) return Refused();
  RtlZeroMemory(request->Buffer, kChannelInfoAnswer);
  StoreU32(request->Buffer, first);
  StoreU32(request->Buffer + 4, second);
  StoreU32(request->Buffer + 8, third);
  return Answer(STATUS_SUCCESS, kChannelInfoAnswer);
}
