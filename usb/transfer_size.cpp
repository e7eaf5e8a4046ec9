// Systems of the driver model generation 1.30 up to (not including) 6.0 take at most 64 KiB per
// bulk transfer; later ones take the adapter's full transfer size.
#include "driver/kxbus.h"

BOOLEAN IsPreWdm6System() {
  return !IoIsWdmVersionAvailable(6, 0) && IoIsWdmVersionAvailable(1, 0x30);
}
