// Driver images: the shipped 32-bit x86 image (a PE32 file such as KxBusIdd.sys) mapped into the
// host kernel and bound to its routines, so that the code the cross compiler generated runs on the
// host kernel as it runs on the platform's. Only in builds for 32-bit x86 (preset host-i386).
//
// Loading maps the image's sections at a fresh base with their own protections, applies its base
// relocations and binds its imports by name from the table below. Anything the loader does not
// understand (another machine, a relocation type other than HIGHLOW, an import by ordinal, a module
// or routine with no binding) fails the load with a message that names it; nothing is guessed.
#pragma once

#if defined(__i386__)

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/io.h"

namespace hostk {

struct DriverImage;

// nullptr when the image cannot be loaded, with the reason in *error.
DriverImage* LoadDriverImage(const std::string& path, std::string* error);
DriverImage* LoadDriverImageFromBytes(const std::vector<uint8_t>& file, std::string* error);
// The image's entry point, DriverEntry, for PnpLoadDriver.
PDRIVER_INITIALIZE DriverImageEntry(const DriverImage* image);
uintptr_t DriverImageBase(const DriverImage* image);
size_t DriverImageSize(const DriverImage* image);
// Unmaps the image; its driver must have been unloaded.
void UnloadDriverImage(DriverImage* image);
// Whether `address` lies inside a loaded image: code of the image on the stack, a return address.
bool IsDriverImageAddress(const void* address);

// How a bound routine takes its arguments, as the platform's import libraries decorate its name:
// cdecl "_Name" (the caller pops), stdcall "_Name@N" (the routine pops N bytes), fastcall "@Name@N"
// (the first two 32-bit arguments in ecx and edx, the routine pops the rest of N).
enum class CallingConvention { Cdecl, Stdcall, Fastcall };

// One routine an image may import, and the host kernel's routine behind it. Each entry's convention
// and argument bytes are checked at compile time against the type of the host's routine.
struct ImportBinding {
  const char* module;   // as the image names it: ntoskrnl.exe, HAL.dll, USBD.SYS
  const char* routine;  // undecorated, as the module exports it
  CallingConvention convention;
  uint32_t argumentBytes;
  void* address;
};

const std::vector<ImportBinding>& ImportBindings();
// Module names compare without case, as the platform's loader compares them; routines exactly.
const ImportBinding* FindImportBinding(const char* module, const char* routine);

// How many statuses raised under an image's code have been offered to its exception handlers
// through fs:[0] since the process started.
uint64_t ImageExceptionsDispatched();

// The thread information block (the platform's NT_TIB) that every managed thread's fs segment
// points at, as code of an image reads it: fs:[0] is the head of the thread's chain of exception
// registrations (0xFFFFFFFF when empty), fs:[0x18] the block's own address.
struct ThreadInformationBlock {
  void* exceptionList;
  void* stackBase;   // the highest address of the thread's stack, exclusive
  void* stackLimit;  // its lowest
  void* subSystemTib;
  void* fiberData;
  void* arbitraryUserPointer;
  ThreadInformationBlock* self;
};
static_assert(offsetof(ThreadInformationBlock, self) == 0x18, "NT_TIB.Self is at fs:[0x18]");

// The calling thread's block, read through fs:[0x18]; nullptr when its fs has none (a thread the
// host kernel does not manage).
ThreadInformationBlock* CurrentThreadInformationBlock();

}  // namespace hostk

#endif  // defined(__i386__)
