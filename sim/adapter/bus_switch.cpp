// The bus switch's two ports.
#include "sim/adapter/bus_switch.h"

namespace kxsim {
namespace {

constexpr ULONG kSwitchIdentifier = 0x87254B58;  // device 0x8725 of the model's vendor 0x4B58
constexpr ULONG kBridgeClass = 0x06040001;       // PCI-to-PCI bridge, revision 1
constexpr UCHAR kType1Header = 0x01;

}  // namespace

BusSwitchPort::BusSwitchPort() : PciFunction(kSwitchIdentifier, kBridgeClass, kType1Header) {}

bool BusSwitchPort::ForwardsMemory(ULONG address) const {
  if (!MemoryEnabled()) return false;
  ULONG window = config_.Read(0x20);
  ULONG base = (window & 0xFFF0) << 16;
  ULONG limit = (window & 0xFFF00000) | 0xFFFFF;
  return base <= limit && address >= base && address <= limit;
}

void BusSwitch::PowerOn() {
  upstream_.PowerOn();
  downstream_.PowerOn();
}

}  // namespace kxsim
