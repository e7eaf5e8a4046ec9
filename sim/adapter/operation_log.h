// Every register and memory operation the adapter carried out, in the order it received them, so
// that a test compares the driver's programming with the required sequences exactly.
//
// Entries print in the notation of the start-up tables: CW/CR the bridge's configuration space,
// RW/RR its register space, MW/MR memory on the internal bus, PW/PR configuration transactions on
// the internal bus with their location as bus:device.function and t0/t1 for the type flag.
#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "host/ntdef.h"

namespace kxsim {

enum class AdapterPath { Bridge, InternalBus };

enum class AdapterSpace {
  BridgeConfig,    // bridge register path, command bit 4 clear
  BridgeRegister,  // bridge register path, command bit 4 set
  BusMemory,       // internal bus, memory transaction
  BusConfig,       // internal bus, configuration transaction
};

struct BusLocation {
  UCHAR bus = 0;
  UCHAR device = 0;
  UCHAR function = 0;
  bool type1 = false;
};

bool operator==(const BusLocation& a, const BusLocation& b);

struct AdapterOperation {
  AdapterSpace space = AdapterSpace::BridgeRegister;
  bool write = false;
  ULONG address = 0;  // register offset, memory address, or configuration register offset
  ULONG value = 0;    // written, or answered by a read
  BusLocation location;  // BusConfig only
  // False when nothing on the internal bus answered: the write was lost, the read gave all ones.
  bool claimed = true;

  AdapterPath Path() const;
  // "RW 0x50 := 0xB0", "MR 0x3000008C", "PW 4:0.0 t1 0x10 := 0xFFFFFFF0"; with the value for a
  // read: "RR 0x90 -> 0x1080".
  std::string ToString(bool withReadValue = false) const;
};

// Equal when space, direction, address, location and (for writes only) value agree: an expected
// sequence names what the driver did, not what the adapter answered.
bool operator==(const AdapterOperation& a, const AdapterOperation& b);
inline bool operator!=(const AdapterOperation& a, const AdapterOperation& b) { return !(a == b); }
std::ostream& operator<<(std::ostream& out, const AdapterOperation& operation);
// GoogleTest prints operations with this.
void PrintTo(const AdapterOperation& operation, std::ostream* out);

// Expected operations, spelt as the tables spell them.
namespace ops {
AdapterOperation CW(ULONG reg, ULONG value);
AdapterOperation CR(ULONG reg);
AdapterOperation RW(ULONG reg, ULONG value);
AdapterOperation RR(ULONG reg);
AdapterOperation MW(ULONG address, ULONG value);
AdapterOperation MR(ULONG address);
AdapterOperation PW(BusLocation location, ULONG offset, ULONG value);
AdapterOperation PR(BusLocation location, ULONG offset);
// The location of the operations without one: bus 2, device 0, function 0, type 0.
BusLocation FixedLocation();
BusLocation At(UCHAR bus, UCHAR device, UCHAR function, bool type1);
}  // namespace ops

class OperationLog {
 public:
  void Append(const AdapterOperation& operation);
  size_t Size() const;
  std::vector<AdapterOperation> Snapshot() const;
  // The operations from index `mark` on (a Size() taken earlier).
  std::vector<AdapterOperation> Since(size_t mark) const;
  // The same, as text, one line per operation.
  std::vector<std::string> Text(size_t mark = 0, bool withReadValues = false) const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<AdapterOperation> operations_;
};

}  // namespace kxsim
