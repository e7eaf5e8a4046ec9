// Routing of configuration and memory transactions on the internal bus.
#include "sim/adapter/internal_bus.h"

namespace kxsim {
namespace {

constexpr ULONG kAllOnes = 0xFFFFFFFF;
constexpr UCHAR kBridgeBus = 2;

}  // namespace

InternalBus::InternalBus(const VirtualAdapterOptions& options, BusSwitch* busSwitch,
                         FarSideChip* farSide, DataPath* dataPath)
    : hasSwitch_(options.Extended() && !options.legacy),
      switch_(busSwitch),
      farSide_(farSide),
      dataPath_(dataPath) {}

PciFunction* InternalBus::Route(const BusLocation& location) const {
  if (location.function != 0) return nullptr;
  if (!location.type1) {
    if (location.bus != kBridgeBus || location.device != 0) return nullptr;
    return hasSwitch_ ? (PciFunction*)&switch_->Upstream() : farSide_;
  }
  if (!hasSwitch_) return nullptr;
  const BusSwitchPort& up = switch_->Upstream();
  const BusSwitchPort& down = switch_->Downstream();
  UCHAR bus = location.bus;
  if (up.SecondaryBus() == 0 || bus < up.SecondaryBus() || bus > up.SubordinateBus()) {
    return nullptr;
  }
  if (bus == up.SecondaryBus()) {
    return location.device == BusSwitch::kDownstreamDevice ? &switch_->Downstream() : nullptr;
  }
  if (bus == down.SecondaryBus() && bus <= down.SubordinateBus()) {
    return location.device == 0 ? farSide_ : nullptr;
  }
  return nullptr;
}

bool InternalBus::ConfigRead(const ConfigAddress& address, ULONG* value) {
  PciFunction* function = Route(address.location);
  *value = function == nullptr ? kAllOnes : function->ConfigRead(address.offset);
  return function != nullptr;
}

bool InternalBus::ConfigWrite(const ConfigAddress& address, ULONG value) {
  PciFunction* function = Route(address.location);
  if (function != nullptr) function->ConfigWrite(address.offset, value);
  return function != nullptr;
}

std::optional<FarSideAddress> InternalBus::DecodeMemory(ULONG address) const {
  if (hasSwitch_ && !switch_->ForwardsMemory(address)) return std::nullopt;
  return farSide_->Decode(address & ~3u);
}

bool InternalBus::MemoryRead(ULONG address, ULONG* value) {
  std::optional<FarSideAddress> target = DecodeMemory(address);
  if (!target) {
    *value = kAllOnes;
    return false;
  }
  if (target->bar != 0) {
    *value = farSide_->MemoryRead(target->bar, target->offset);
  } else if (DataPath::Owns(target->offset)) {
    *value = dataPath_->Read(target->offset);
  } else {
    *value = farSide_->RegisterRead(target->offset);
  }
  return true;
}

bool InternalBus::MemoryWrite(ULONG address, ULONG value) {
  std::optional<FarSideAddress> target = DecodeMemory(address);
  if (!target) return false;
  if (target->bar != 0) {
    farSide_->MemoryWrite(target->bar, target->offset, value);
  } else if (DataPath::Owns(target->offset)) {
    dataPath_->Write(target->offset, value);
  } else {
    farSide_->RegisterWrite(target->offset, value);
  }
  return true;
}

}  // namespace kxsim
