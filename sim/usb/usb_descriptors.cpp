// Descriptor bytes, little-endian and byte by byte as on the wire.
#include "sim/usb/usb_descriptors.h"

namespace kxsim {
namespace {

constexpr UCHAR kSuperSpeedCompanionType = 0x30;
constexpr size_t kEndpointLength = 7;
constexpr size_t kInterfaceLength = 9;

void Put16(std::vector<uint8_t>* out, USHORT value) {
  out->push_back((uint8_t)(value & 0xFF));
  out->push_back((uint8_t)(value >> 8));
}

USHORT Get16(const uint8_t* at) { return (USHORT)(at[0] | (at[1] << 8)); }

void PutEndpoint(std::vector<uint8_t>* out, const UsbEndpointLayout& layout, UsbSpeed speed) {
  bool interrupt = layout.type == USB_ENDPOINT_TYPE_INTERRUPT;
  out->insert(out->end(), {(uint8_t)kEndpointLength, USB_ENDPOINT_DESCRIPTOR_TYPE, layout.address,
                           layout.type});
  Put16(out, layout.maxPacketSize != 0 ? layout.maxPacketSize : BulkPacketSize(speed));
  out->push_back(layout.interval != 0 ? layout.interval : (interrupt ? 1 : 0));
  if (speed == UsbSpeed::Super) {
    // The companion: no bursts; an interrupt endpoint reserves one packet per interval.
    out->insert(out->end(), {6, kSuperSpeedCompanionType, 0, 0});
    Put16(out, interrupt ? BulkPacketSize(speed) : 0);
  }
}

void PutInterface(std::vector<uint8_t>* out, const UsbInterfaceLayout& layout, UsbSpeed speed) {
  out->insert(out->end(),
              {(uint8_t)kInterfaceLength, USB_INTERFACE_DESCRIPTOR_TYPE, layout.number,
               layout.alternateSetting, (uint8_t)layout.endpoints.size(), layout.interfaceClass,
               layout.interfaceSubClass, layout.interfaceProtocol, 0});
  for (const UsbEndpointLayout& endpoint : layout.endpoints) PutEndpoint(out, endpoint, speed);
}

// The endpoints of the interface descriptor at `at`; false when fewer follow than it declares.
bool ParseEndpoints(const uint8_t* bytes, size_t end, size_t at, ParsedInterface* interface,
                    UCHAR declared) {
  while (interface->endpoints.size() < declared) {
    if (at + 2 > end || bytes[at] < 2) return false;
    UCHAR length = bytes[at];
    UCHAR type = bytes[at + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) return false;
    if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (length < kEndpointLength || at + kEndpointLength > end) return false;
      interface->endpoints.push_back(
          {bytes[at + 2], bytes[at + 3], Get16(bytes + at + 4), bytes[at + 6]});
    }
    at += length;
  }
  return true;
}

}  // namespace

USHORT BulkPacketSize(UsbSpeed speed) {
  switch (speed) {
    case UsbSpeed::Full: return 64;
    case UsbSpeed::High: return 512;
    case UsbSpeed::Super: return 1024;
  }
  return 64;
}

std::vector<uint8_t> BuildDeviceDescriptor(const UsbDeviceIdentity& identity, UsbSpeed speed) {
  bool super = speed == UsbSpeed::Super;
  std::vector<uint8_t> out = {sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
  Put16(&out, super ? 0x0300 : 0x0200);
  out.insert(out.end(), {identity.deviceClass, 0, 0, (uint8_t)(super ? 9 : 64)});
  Put16(&out, identity.idVendor);
  Put16(&out, identity.idProduct);
  Put16(&out, identity.bcdDevice);
  out.insert(out.end(), {identity.iManufacturer, identity.iProduct, identity.iSerialNumber,
                         identity.numConfigurations});
  return out;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const UsbConfigurationLayout& layout,
                                                  UsbSpeed speed) {
  UCHAR declared = layout.declaredInterfaces >= 0 ? (UCHAR)layout.declaredInterfaces
                                                  : (UCHAR)layout.interfaces.size();
  std::vector<uint8_t> out = {sizeof(USB_CONFIGURATION_DESCRIPTOR),
                              USB_CONFIGURATION_DESCRIPTOR_TYPE,
                              0,
                              0,
                              declared,
                              layout.value,
                              0,
                              layout.attributes,
                              layout.maxPower};
  for (const UsbInterfaceLayout& interface : layout.interfaces)
    PutInterface(&out, interface, speed);
  out[2] = (uint8_t)(out.size() & 0xFF);
  out[3] = (uint8_t)(out.size() >> 8);
  return out;
}

std::vector<uint8_t> BuildStringDescriptor(const std::u16string& text) {
  std::vector<uint8_t> out = {(uint8_t)(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (char16_t c : text) Put16(&out, (USHORT)c);
  return out;
}

bool ParseConfiguration(const uint8_t* bytes, size_t size, ParsedConfiguration* parsed) {
  if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return false;
  }
  size_t end = Get16(bytes + 2);
  if (end < sizeof(USB_CONFIGURATION_DESCRIPTOR) || end > size) return false;
  parsed->declaredInterfaces = bytes[4];
  parsed->value = bytes[5];
  parsed->interfaces.clear();
  for (size_t at = bytes[0]; at + 2 <= end; at += bytes[at]) {
    if (bytes[at] < 2) return false;
    if (bytes[at + 1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    if (bytes[at] < kInterfaceLength || at + kInterfaceLength > end) return false;
    ParsedInterface interface = {bytes[at + 2], bytes[at + 3], bytes[at + 5],
                                 bytes[at + 6], bytes[at + 7], {}};
    if (!ParseEndpoints(bytes, end, at + bytes[at], &interface, bytes[at + 4])) return false;
    parsed->interfaces.push_back(interface);
  }
  return true;
}

const ParsedInterface* FindInterface(const ParsedConfiguration& configuration, UCHAR number,
                                     UCHAR alternateSetting) {
  for (const ParsedInterface& interface : configuration.interfaces) {
    if (interface.number == number && interface.alternateSetting == alternateSetting) {
      return &interface;
    }
  }
  return nullptr;
}

}  // namespace kxsim
