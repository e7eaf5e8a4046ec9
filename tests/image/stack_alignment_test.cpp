// The image keeps only 4-byte stack alignment. Code built for the host at -m32 assumes 16 on entry
// and places its 16-byte-aligned locals by that assumption, so a bound routine entered on the
// image's stack must realign before it calls such code.
#include "crafted_image.h"
#include "host/hostk/driver_image.h"
#include "support/kernel_test_util.h"

namespace kxtest {
namespace {

uintptr_t gLocalMisalignment = 0xFF;

// Host code as the tests and the simulated devices are built: its aligned local is only aligned
// when its caller kept the stack aligned.
NTSTATUS NTAPI RecordAlignment(PDEVICE_OBJECT, PIRP irp) {
  alignas(16) volatile uint8_t local[16] = {};
  gLocalMisalignment = (uintptr_t)local % 16;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// DriverEntry(device, request) in name only: it aligns its stack to 16, takes 4 off (as the image
// may leave it) and calls IofCallDriver(device, request) from there.
CraftedImage MisalignedCall() {
  CraftedImage crafted;
  crafted.imports = {{"ntoskrnl.exe", {"IofCallDriver"}}};
  uint32_t slot = kCraftedPreferredBase + CraftedImportSlot(crafted, 0, 0);
  crafted.code = {0x55,                    // push ebp
                  0x89, 0xE5,              // mov ebp, esp
                  0x83, 0xE4, 0xF0,        // and esp, -16
                  0x83, 0xEC, 0x04,        // sub esp, 4
                  0x8B, 0x4D, 0x08,        // mov ecx, [ebp+8]
                  0x8B, 0x55, 0x0C,        // mov edx, [ebp+12]
                  0xFF, 0x15, (uint8_t)slot, (uint8_t)(slot >> 8), (uint8_t)(slot >> 16),
                  (uint8_t)(slot >> 24),   // call [IofCallDriver]
                  0x89, 0xEC,              // mov esp, ebp
                  0x5D,                    // pop ebp
                  0xC2, 0x08, 0x00};       // ret 8
  crafted.codeAddresses = {17};
  return crafted;
}

TEST(StackAlignment, ABoundRoutineEnteredOnAMisalignedStackRealignsForHostCode) {
  std::string error;
  hostk::DriverImage* image = hostk::LoadDriverImageFromBytes(BuildImage(MisalignedCall()), &error);
  ASSERT_NE(nullptr, image) << error;
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxAlignment");
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = RecordAlignment;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
  auto call = (NTSTATUS(NTAPI*)(PDEVICE_OBJECT, PIRP))hostk::DriverImageEntry(image);
  EXPECT_EQ(STATUS_SUCCESS, call(device, irp));
  EXPECT_EQ(0u, gLocalMisalignment);
  IoFreeIrp(irp);
  IoDeleteDevice(device);
  hostk::IoDeleteDriverObject(driver);
  hostk::UnloadDriverImage(image);
}

}  // namespace
}  // namespace kxtest
