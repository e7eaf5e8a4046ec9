// The binding table: every routine target/windows/allowed_imports.txt lets the image import, the
// host kernel's routine behind it, and the calling convention and argument bytes the image's
// import libraries give it (the decorations of mingw-w64's libntoskrnl.a and libhal.a, and
// target/windows/usbd.def). A routine bound with another convention or argument size than the
// image calls it with would leave the stack off by the difference after every call: each entry is
// checked below against the type of the host's routine, so such a mismatch does not compile. So is
// a routine that returns a record: the image takes a small one in registers, the host returns every
// record in memory, so such a routine is bound through a boundary routine that returns its bits.
#include <strings.h>

#include <type_traits>

#include "boundary_routines.h"
#include "exception_dispatch.h"
#include "host/hostk/driver_image.h"
#include "host/ntddk.h"
#include "host/usbdlib.h"

namespace hostk {
namespace {

struct Signature {
  CallingConvention convention;
  uint32_t argumentBytes;
  bool returnsRecord;
};

template <typename R>
constexpr bool IsRecord() {
  return std::is_class<R>::value || std::is_union<R>::value;
}

// Each argument takes whole 32-bit stack slots.
template <typename T>
constexpr uint32_t Slots() {
  return (uint32_t)((sizeof(T) + 3) / 4 * 4);
}

// GCC keeps the calling convention in the function's type, so overloads tell them apart.
template <typename R, typename... A>
constexpr Signature SignatureOf(R(__attribute__((stdcall)) *)(A...)) {
  return {CallingConvention::Stdcall, (0u + ... + Slots<A>()), IsRecord<R>()};
}
template <typename R, typename... A>
constexpr Signature SignatureOf(R(__attribute__((fastcall)) *)(A...)) {
  return {CallingConvention::Fastcall, (0u + ... + Slots<A>()), IsRecord<R>()};
}
template <typename R, typename... A>
constexpr Signature SignatureOf(R (*)(A...)) {
  return {CallingConvention::Cdecl, (0u + ... + Slots<A>()), IsRecord<R>()};
}
template <typename R, typename... A>
constexpr Signature SignatureOf(R (*)(A..., ...)) {
  return {CallingConvention::Cdecl, (0u + ... + Slots<A>()), IsRecord<R>()};
}

constexpr bool Agrees(Signature host, CallingConvention convention, uint32_t bytes) {
  return host.convention == convention && host.argumentBytes == bytes && !host.returnsRecord;
}

// module, routine, convention, argument bytes, the host's routine.
#define KX_IMPORT_BINDINGS(X)                                                          \
  X("HAL.dll", KeGetCurrentIrql, Stdcall, 0, ::KeGetCurrentIrql)                       \
  X("HAL.dll", KfAcquireSpinLock, Fastcall, 4, ::KfAcquireSpinLock)                    \
  X("HAL.dll", KfReleaseSpinLock, Fastcall, 8, ::KfReleaseSpinLock)                    \
  X("HAL.dll", ExAcquireFastMutex, Fastcall, 4, ::ExAcquireFastMutex)                  \
  X("HAL.dll", ExReleaseFastMutex, Fastcall, 4, ::ExReleaseFastMutex)                  \
  X("HAL.dll", KeStallExecutionProcessor, Stdcall, 4, ::KeStallExecutionProcessor)     \
  X("ntoskrnl.exe", DbgPrint, Cdecl, 4, ::DbgPrint)                                    \
  X("ntoskrnl.exe", DbgPrintEx, Cdecl, 12, ::DbgPrintEx)                               \
  X("ntoskrnl.exe", ExAllocatePoolWithTag, Stdcall, 12, ::ExAllocatePoolWithTag)       \
  X("ntoskrnl.exe", ExFreePool, Stdcall, 4, ::ExFreePool)                              \
  X("ntoskrnl.exe", ExFreePoolWithTag, Stdcall, 8, ::ExFreePoolWithTag)                \
  X("ntoskrnl.exe", IoAllocateIrp, Stdcall, 8, ::IoAllocateIrp)                        \
  X("ntoskrnl.exe", IoAttachDeviceToDeviceStack, Stdcall, 8, ::IoAttachDeviceToDeviceStack) \
  X("ntoskrnl.exe", IoBuildDeviceIoControlRequest, Stdcall, 36,                        \
    ::IoBuildDeviceIoControlRequest)                                                   \
  X("ntoskrnl.exe", IoCancelIrp, Stdcall, 4, ::IoCancelIrp)                            \
  X("ntoskrnl.exe", IoCreateDevice, Stdcall, 28, ::IoCreateDevice)                     \
  X("ntoskrnl.exe", IoDeleteDevice, Stdcall, 4, ::IoDeleteDevice)                      \
  X("ntoskrnl.exe", IoDetachDevice, Stdcall, 4, ::IoDetachDevice)                      \
  X("ntoskrnl.exe", IoFreeIrp, Stdcall, 4, ::IoFreeIrp)                                \
  X("ntoskrnl.exe", IoInitializeRemoveLockEx, Stdcall, 20, ::IoInitializeRemoveLockEx) \
  X("ntoskrnl.exe", IoIsWdmVersionAvailable, Stdcall, 8, ::IoIsWdmVersionAvailable)    \
  X("ntoskrnl.exe", IofCallDriver, Fastcall, 8, ::IofCallDriver)                       \
  X("ntoskrnl.exe", IofCompleteRequest, Fastcall, 8, ::IofCompleteRequest)             \
  X("ntoskrnl.exe", IoAllocateWorkItem, Stdcall, 4, ::IoAllocateWorkItem)              \
  X("ntoskrnl.exe", IoFreeWorkItem, Stdcall, 4, ::IoFreeWorkItem)                      \
  X("ntoskrnl.exe", IoQueueWorkItem, Stdcall, 16, ::IoQueueWorkItem)                   \
  X("ntoskrnl.exe", KeClearEvent, Stdcall, 4, ::KeClearEvent)                          \
  X("ntoskrnl.exe", KeInitializeEvent, Stdcall, 12, ::KeInitializeEvent)               \
  X("ntoskrnl.exe", KeInitializeMutex, Stdcall, 8, ::KeInitializeMutex)               \
  X("ntoskrnl.exe", KeReleaseMutex, Stdcall, 8, ::KeReleaseMutex)                     \
  X("ntoskrnl.exe", KeSetEvent, Stdcall, 12, ::KeSetEvent)                             \
  X("ntoskrnl.exe", KeWaitForSingleObject, Stdcall, 20, ::KeWaitForSingleObject)       \
  X("ntoskrnl.exe", KeRestoreExtendedProcessorState, Stdcall, 4,                       \
    ::KeRestoreExtendedProcessorState)                                                 \
  X("ntoskrnl.exe", KeSaveExtendedProcessorState, Stdcall, 12,                         \
    ::KeSaveExtendedProcessorState)                                                    \
  X("ntoskrnl.exe", KeQueryActiveProcessorCount, Stdcall, 4,                           \
    ::KeQueryActiveProcessorCount)                                                     \
  X("ntoskrnl.exe", PoCallDriver, Stdcall, 8, ::PoCallDriver)                          \
  X("ntoskrnl.exe", PoRequestPowerIrp, Stdcall, 24, ::PoRequestPowerIrp)               \
  X("ntoskrnl.exe", PoSetPowerState, Stdcall, 12, ImagePoSetPowerState)                \
  X("ntoskrnl.exe", PoStartNextPowerIrp, Stdcall, 4, ::PoStartNextPowerIrp)            \
  X("ntoskrnl.exe", RtlInitUnicodeString, Stdcall, 8, ::RtlInitUnicodeString)          \
  X("ntoskrnl.exe", ZwClose, Stdcall, 4, ::ZwClose)                                    \
  X("ntoskrnl.exe", ZwCreateKey, Stdcall, 28, ::ZwCreateKey)                           \
  X("ntoskrnl.exe", ZwOpenKey, Stdcall, 12, ::ZwOpenKey)                               \
  X("ntoskrnl.exe", ZwQueryValueKey, Stdcall, 24, ::ZwQueryValueKey)                   \
  X("ntoskrnl.exe", ZwSetValueKey, Stdcall, 24, ::ZwSetValueKey)                       \
  X("ntoskrnl.exe", RtlUnwind, Stdcall, 16, ::RtlUnwind)                               \
  X("ntoskrnl.exe", memcpy, Cdecl, 12, ImageMemcpy)                                    \
  X("ntoskrnl.exe", memset, Cdecl, 12, ImageMemset)                                    \
  X("USBD.SYS", USBD_CreateConfigurationRequestEx, Stdcall, 8,                         \
    ::USBD_CreateConfigurationRequestEx)                                               \
  X("USBD.SYS", USBD_ParseConfigurationDescriptorEx, Stdcall, 28,                      \
    ::USBD_ParseConfigurationDescriptorEx)                                             \
  X("ntoskrnl.exe", PsCreateSystemThread, Stdcall, 28, ::PsCreateSystemThread)         \
  X("ntoskrnl.exe", PsTerminateSystemThread, Stdcall, 4, ::PsTerminateSystemThread)    \
  X("ntoskrnl.exe", ObReferenceObjectByHandle, Stdcall, 24, ::ObReferenceObjectByHandle) \
  X("ntoskrnl.exe", ObfDereferenceObject, Fastcall, 4, ::ObfDereferenceObject)         \
  X("ntoskrnl.exe", KeWaitForMultipleObjects, Stdcall, 32, ::KeWaitForMultipleObjects) \
  X("ntoskrnl.exe", ProbeForRead, Stdcall, 12, ImageProbeForRead)                      \
  X("ntoskrnl.exe", IoAllocateMdl, Stdcall, 20, ::IoAllocateMdl)                       \
  X("ntoskrnl.exe", IoFreeMdl, Stdcall, 4, ::IoFreeMdl)                                \
  X("ntoskrnl.exe", MmProbeAndLockPages, Stdcall, 12, ImageMmProbeAndLockPages)        \
  X("ntoskrnl.exe", MmUnlockPages, Stdcall, 4, ::MmUnlockPages)                        \
  X("ntoskrnl.exe", MmMapLockedPagesSpecifyCache, Stdcall, 24,                         \
    ::MmMapLockedPagesSpecifyCache)                                                    \
  X("ntoskrnl.exe", IoAcquireRemoveLockEx, Stdcall, 20, ::IoAcquireRemoveLockEx)       \
  X("ntoskrnl.exe", IoReleaseRemoveLockEx, Stdcall, 12, ::IoReleaseRemoveLockEx)       \
  X("ntoskrnl.exe", IoInvalidateDeviceRelations, Stdcall, 8, ::IoInvalidateDeviceRelations) \
  X("ntoskrnl.exe", ObfReferenceObject, Fastcall, 4, ::ObfReferenceObject)             \
  X("ntoskrnl.exe", IoGetAttachedDeviceReference, Stdcall, 4,                          \
    ::IoGetAttachedDeviceReference)                                                    \
  X("ntoskrnl.exe", IoBuildSynchronousFsdRequest, Stdcall, 28,                         \
    ::IoBuildSynchronousFsdRequest)                                                    \
  X("ntoskrnl.exe", IoRegisterDeviceInterface, Stdcall, 16, ::IoRegisterDeviceInterface) \
  X("ntoskrnl.exe", IoSetDeviceInterfaceState, Stdcall, 8, ::IoSetDeviceInterfaceState) \
  X("ntoskrnl.exe", RtlFreeUnicodeString, Stdcall, 4, ::RtlFreeUnicodeString)          \
  X("ntoskrnl.exe", IoReleaseRemoveLockAndWaitEx, Stdcall, 12,                         \
    ::IoReleaseRemoveLockAndWaitEx)                                                    \
  X("ntoskrnl.exe", IoBuildPartialMdl, Stdcall, 16, ::IoBuildPartialMdl)               \
  X("ntoskrnl.exe", MmUnmapLockedPages, Stdcall, 8, ::MmUnmapLockedPages)

#define KX_CHECK_BINDING(module, routine, convention, bytes, function)                    \
  static_assert(Agrees(SignatureOf(&function), CallingConvention::convention, bytes),    \
                #routine ": the host kernel's routine is not " #convention " with " #bytes \
                " argument bytes returning no record, as the image calls it");
KX_IMPORT_BINDINGS(KX_CHECK_BINDING)

#define KX_BINDING_ENTRY(module, routine, convention, bytes, function) \
  {module, #routine, CallingConvention::convention, bytes, reinterpret_cast<void*>(&function)},

}  // namespace

const std::vector<ImportBinding>& ImportBindings() {
  static const std::vector<ImportBinding> table = {KX_IMPORT_BINDINGS(KX_BINDING_ENTRY)};
  return table;
}

const ImportBinding* FindImportBinding(const char* module, const char* routine) {
  for (const ImportBinding& binding : ImportBindings()) {
    if (strcasecmp(binding.module, module) == 0 && strcmp(binding.routine, routine) == 0) {
      return &binding;
    }
  }
  return nullptr;
}

}  // namespace hostk
