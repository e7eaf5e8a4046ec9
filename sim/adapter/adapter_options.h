// What a test or scenario chooses when it builds a virtual adapter. The defaults are an extended,
// non-legacy adapter at high speed whose configuration memory holds a finished image, so that a
// start runs the full initialisation.
#pragma once

#include <map>
#include <optional>

#include "sim/adapter/adapter_usb_device.h"

namespace kxsim {

enum class AdapterGeneration {
  // Bit 12 of bridge register 0x90 set. A bus switch sits between the bridge and the far-side
  // chip, whose registers the driver maps at 0x30000000; four DMA engines feed the IN endpoints.
  Extended,
  // Bit 12 clear. The far-side chip sits right behind the bridge, mapped at 0x00100000 by the
  // bridge's own firmware; only data channel 1 runs through a DMA engine.
  Basic,
};

// Word 0 of a configuration memory that still holds the bridge's first-stage image.
constexpr ULONG kFirstStageWord0 = 0x000C005A;
// Word 0 of a finished image. Any other non-zero value would do; this one is the model's.
constexpr ULONG kFinishedImageWord0 = 0x000D005A;

struct ConfigMemoryOptions {
  // Bits 22-23 of the control register (0 reads as 1). 3 means three address bytes: the third is
  // the low byte of register 0x26C.
  UCHAR addressWidthCode = 2;
  // Control-register reads after a command that still show it in progress (bit 18). A USB round
  // trip takes longer than a word on the serial bus, so by default the first read shows it done.
  ULONG commandPolls = 0;
  // Status reads that report the memory busy after a word write (its write cycle).
  ULONG writeBusyPolls = 2;
  // Power-on value of register 0x26C. The boot loader reads the image through the third address
  // byte and leaves it set, so a driver that does not clear it reads the wrong page.
  ULONG thirdAddressByte = 0x00000001;
  // Bit 19 of the control register at power-on: the boot loader's last command was cut short by
  // the USB reset. The bit is cleared by writing it back as 1.
  bool staleFlag = true;
  // Words written over the preset image (index: word number; the 64 KiB page 0).
  std::map<USHORT, ULONG> words;
};

struct VirtualAdapterOptions {
  AdapterGeneration generation = AdapterGeneration::Extended;
  // The earlier generation: no bus switch (the far-side chip is bus 2 device 0) and the channel
  // layout of the legacy initialisation.
  bool legacy = false;
  // Word 0 = 0x000C005A and the adapter enumerates with the first-stage product identifier PidW.
  bool firstStageImage = false;
  UsbSpeed usbSpeed = UsbSpeed::High;
  // Speed of the far-side chip's port; nullopt: its link is down and register 0x90 reads 0.
  std::optional<UsbSpeed> farPortSpeed = UsbSpeed::High;
  USHORT vendorWord = 0x0525;   // VidW: high half of configuration word 1
  USHORT productWord = 0x3380;  // PidW: low half of configuration word 2
  ULONG word200 = 0x4B580200;
  ULONG word201 = 0x4B580201;
  // False: frame payloads on channel 1 are checked for their framing and counted, but not decoded
  // or drawn, so that a benchmark of the host's side does not time the far side's decoder.
  bool decodeFrames = true;
  ConfigMemoryOptions configMemory;
  // The USB layout; identity and speed are taken from the fields above.
  AdapterUsbOptions usbLayout;

  bool Extended() const { return generation == AdapterGeneration::Extended; }
  // A finished adapter enumerates as PidW + 1, the identity its first-stage switch gave it.
  USHORT PowerOnProductId() const {
    return firstStageImage ? productWord : (USHORT)(productWord + 1);
  }
};

// Register 0x90 of both chips shows a port's speed in one of bits 6 to 8.
inline ULONG PortSpeedBit(UsbSpeed speed) {
  switch (speed) {
    case UsbSpeed::Full: return 0x40;
    case UsbSpeed::High: return 0x80;
    case UsbSpeed::Super: return 0x100;
  }
  return 0;
}

}  // namespace kxsim
