// The operation log and its notation.
#include "sim/adapter/operation_log.h"

#include <cstdio>

namespace kxsim {
namespace {

const char* Mnemonic(AdapterSpace space, bool write) {
  switch (space) {
    case AdapterSpace::BridgeConfig: return write ? "CW" : "CR";
    case AdapterSpace::BridgeRegister: return write ? "RW" : "RR";
    case AdapterSpace::BusMemory: return write ? "MW" : "MR";
    case AdapterSpace::BusConfig: return write ? "PW" : "PR";
  }
  return "??";
}

AdapterOperation Make(AdapterSpace space, bool write, ULONG address, ULONG value) {
  AdapterOperation operation;
  operation.space = space;
  operation.write = write;
  operation.address = address;
  operation.value = value;
  return operation;
}

}  // namespace

bool operator==(const BusLocation& a, const BusLocation& b) {
  return a.bus == b.bus && a.device == b.device && a.function == b.function && a.type1 == b.type1;
}

AdapterPath AdapterOperation::Path() const {
  return space == AdapterSpace::BridgeConfig || space == AdapterSpace::BridgeRegister
             ? AdapterPath::Bridge
             : AdapterPath::InternalBus;
}

std::string AdapterOperation::ToString(bool withReadValue) const {
  char text[96];
  int used = snprintf(text, sizeof text, "%s ", Mnemonic(space, write));
  if (space == AdapterSpace::BusConfig) {
    used += snprintf(text + used, sizeof text - used, "%u:%u.%u t%d ", location.bus,
                     location.device, location.function, location.type1 ? 1 : 0);
  }
  used += snprintf(text + used, sizeof text - used, "0x%X", (unsigned)address);
  if (write) {
    snprintf(text + used, sizeof text - used, " := 0x%X", (unsigned)value);
  } else if (withReadValue) {
    snprintf(text + used, sizeof text - used, " -> 0x%X", (unsigned)value);
  }
  std::string result = text;
  if (!claimed) result += " (unclaimed)";
  return result;
}

bool operator==(const AdapterOperation& a, const AdapterOperation& b) {
  if (a.space != b.space || a.write != b.write || a.address != b.address) return false;
  if (a.space == AdapterSpace::BusConfig && !(a.location == b.location)) return false;
  return !a.write || a.value == b.value;
}

std::ostream& operator<<(std::ostream& out, const AdapterOperation& operation) {
  return out << operation.ToString(true);
}

void PrintTo(const AdapterOperation& operation, std::ostream* out) { *out << operation; }

namespace ops {

AdapterOperation CW(ULONG reg, ULONG value) {
  return Make(AdapterSpace::BridgeConfig, true, reg, value);
}
AdapterOperation CR(ULONG reg) { return Make(AdapterSpace::BridgeConfig, false, reg, 0); }
AdapterOperation RW(ULONG reg, ULONG value) {
  return Make(AdapterSpace::BridgeRegister, true, reg, value);
}
AdapterOperation RR(ULONG reg) { return Make(AdapterSpace::BridgeRegister, false, reg, 0); }
AdapterOperation MW(ULONG address, ULONG value) {
  return Make(AdapterSpace::BusMemory, true, address, value);
}
AdapterOperation MR(ULONG address) { return Make(AdapterSpace::BusMemory, false, address, 0); }

AdapterOperation PW(BusLocation location, ULONG offset, ULONG value) {
  AdapterOperation operation = Make(AdapterSpace::BusConfig, true, offset, value);
  operation.location = location;
  return operation;
}

AdapterOperation PR(BusLocation location, ULONG offset) {
  AdapterOperation operation = Make(AdapterSpace::BusConfig, false, offset, 0);
  operation.location = location;
  return operation;
}

BusLocation FixedLocation() { return At(2, 0, 0, false); }

BusLocation At(UCHAR bus, UCHAR device, UCHAR function, bool type1) {
  BusLocation location;
  location.bus = bus;
  location.device = device;
  location.function = function;
  location.type1 = type1;
  return location;
}

}  // namespace ops

void OperationLog::Append(const AdapterOperation& operation) {
  std::lock_guard<std::mutex> guard(lock_);
  operations_.push_back(operation);
}

size_t OperationLog::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return operations_.size();
}

std::vector<AdapterOperation> OperationLog::Snapshot() const { return Since(0); }

std::vector<AdapterOperation> OperationLog::Since(size_t mark) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (mark >= operations_.size()) return {};
  return std::vector<AdapterOperation>(operations_.begin() + mark, operations_.end());
}

std::vector<std::string> OperationLog::Text(size_t mark, bool withReadValues) const {
  std::vector<std::string> lines;
  for (const AdapterOperation& operation : Since(mark)) {
    lines.push_back(operation.ToString(withReadValues));
  }
  return lines;
}

void OperationLog::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  operations_.clear();
}

}  // namespace kxsim
