// The driver under test is the shipped KxBusIdd.sys: loaded once into the host kernel when a test
// first reaches it, and left loaded for the rest of the process, as the driver built for the host is
// linked in for the whole process. The driver's routines the tests call directly are reached in the
// image through the kernel link's map (driver_routines.cpp).
#pragma once

#include <type_traits>

namespace kxtest {

// The loaded image's address of a global routine or variable of the driver, by its plain name.
// Stops the test program, naming what is missing, when the image cannot be loaded or its map has
// no such name: a test that calls a routine the image does not have cannot run on the image.
void* ShippedSymbol(const char* name);

template <typename Routine>
Routine ShippedRoutine(const char* name) {
  static_assert(std::is_pointer<Routine>::value, "a pointer to the routine's type");
  return reinterpret_cast<Routine>(ShippedSymbol(name));
}

}  // namespace kxtest
