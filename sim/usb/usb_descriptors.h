// Descriptors in wire format: building them from a device's layout, and reading a configuration
// back as the USB stack does when a driver selects it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb/usb_device_model.h"

namespace kxsim {

struct UsbEndpointLayout {
  UCHAR address = 0;
  UCHAR type = USB_ENDPOINT_TYPE_BULK;  // USB_ENDPOINT_TYPE_BULK or _INTERRUPT
  USHORT maxPacketSize = 0;             // 0: the speed's bulk packet size (64, 512, 1024)
  UCHAR interval = 0;                   // 0: 1 for interrupt endpoints
};

struct UsbInterfaceLayout {
  UCHAR number = 0;
  UCHAR alternateSetting = 0;
  UCHAR interfaceClass = 0xFF;  // vendor specific
  UCHAR interfaceSubClass = 0;
  UCHAR interfaceProtocol = 0;
  std::vector<UsbEndpointLayout> endpoints;
};

struct UsbConfigurationLayout {
  UCHAR value = 1;
  UCHAR attributes = 0x80;  // bus powered
  UCHAR maxPower = 250;     // 500 mA in 2 mA units
  std::vector<UsbInterfaceLayout> interfaces;
  int declaredInterfaces = -1;  // bNumInterfaces as written; -1: the number of interfaces
};

struct UsbDeviceIdentity {
  USHORT idVendor = 0;
  USHORT idProduct = 0;
  USHORT bcdDevice = 0x0100;
  UCHAR deviceClass = 0;
  UCHAR iManufacturer = 0;
  UCHAR iProduct = 0;
  UCHAR iSerialNumber = 0;
  UCHAR numConfigurations = 1;
};

// The bulk packet size of a speed: 64 (full), 512 (high), 1024 (SuperSpeed).
USHORT BulkPacketSize(UsbSpeed speed);

// bcdUSB and bMaxPacketSize0 follow the speed (2.00 and 64, or 3.00 and 2^9).
std::vector<uint8_t> BuildDeviceDescriptor(const UsbDeviceIdentity& identity, UsbSpeed speed);
// At SuperSpeed every endpoint descriptor is followed by its companion descriptor.
std::vector<uint8_t> BuildConfigurationDescriptor(const UsbConfigurationLayout& layout,
                                                  UsbSpeed speed);
std::vector<uint8_t> BuildStringDescriptor(const std::u16string& text);

struct ParsedEndpoint {
  UCHAR address;
  UCHAR attributes;
  USHORT maxPacketSize;
  UCHAR interval;
};

struct ParsedInterface {
  UCHAR number;
  UCHAR alternateSetting;
  UCHAR interfaceClass;
  UCHAR interfaceSubClass;
  UCHAR interfaceProtocol;
  std::vector<ParsedEndpoint> endpoints;
};

struct ParsedConfiguration {
  UCHAR value = 0;
  UCHAR declaredInterfaces = 0;
  std::vector<ParsedInterface> interfaces;
};

// Walks wTotalLength bytes: every interface descriptor with the bNumEndpoints endpoint descriptors
// that follow it (other descriptors in between are skipped). False for a malformed descriptor.
bool ParseConfiguration(const uint8_t* bytes, size_t size, ParsedConfiguration* parsed);

// The interface (number, alternate setting) of a parsed configuration, or nullptr.
const ParsedInterface* FindInterface(const ParsedConfiguration& configuration, UCHAR number,
                                     UCHAR alternateSetting);

}  // namespace kxsim
