// The loader on crafted images: what it maps, relocates and binds, and each thing it refuses,
// named in the failure.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "crafted_image.h"
#include "host/hostk/driver_image.h"
#include "support/kernel_test_util.h"

namespace kxtest {
namespace {

CraftedImage WithImports() {
  CraftedImage crafted;
  crafted.imports = {{"ntoskrnl.exe", {"ExAllocatePoolWithTag", "IofCallDriver"}},
                  {"hal.dll", {"KeGetCurrentIrql"}}};
  return crafted;
}

std::string LoadFails(const CraftedImage& crafted) {
  std::string error;
  hostk::DriverImage* image = hostk::LoadDriverImageFromBytes(BuildImage(crafted), &error);
  if (image != nullptr) {
    hostk::UnloadDriverImage(image);
    return "loaded";
  }
  return error;
}

// The protection of the page at `address` as /proc/self/maps shows it ("r-xp", ...).
std::string ProtectionAt(uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, protection;
    fields >> range >> protection;
    uintptr_t low = std::stoul(range.substr(0, range.find('-')), nullptr, 16);
    uintptr_t high = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    if (address >= low && address < high) return protection;
  }
  return "unmapped";
}

TEST(ImageLoader, MapsRelocatesAndBindsACraftedImage) {
  CraftedImage crafted = WithImports();
  std::string error;
  hostk::DriverImage* image = hostk::LoadDriverImageFromBytes(BuildImage(crafted), &error);
  ASSERT_NE(nullptr, image) << error;
  uintptr_t base = hostk::DriverImageBase(image);
  EXPECT_NE(kCraftedPreferredBase, base) << "a fresh base, so that the relocations matter";
  // DriverEntry answers the data section's address through its relocated immediate.
  PDRIVER_INITIALIZE entry = hostk::DriverImageEntry(image);
  EXPECT_EQ(base + kCraftedDataRva, (uintptr_t)(ULONG)entry(nullptr, nullptr));
  const std::pair<size_t, size_t> slots[] = {{0, 0}, {0, 1}, {1, 0}};
  for (auto [module, routine] : slots) {
    const std::string& name = crafted.imports[module].second[routine];
    const hostk::ImportBinding* binding =
        hostk::FindImportBinding(crafted.imports[module].first.c_str(), name.c_str());
    ASSERT_NE(nullptr, binding) << name;
    void* bound = *(void**)(base + CraftedImportSlot(crafted, module, routine));
    EXPECT_EQ(binding->address, bound) << name;
  }
  EXPECT_EQ("r--p", ProtectionAt(base));
  // Under qemu-i386 the maps file is the emulator's, which names a host region by the rights of
  // its first page: there the code shares a region with the headers. Its pages still refuse writes.
  if (std::getenv("KX_I386_RELAUNCH") == nullptr) {
    EXPECT_EQ("r-xp", ProtectionAt(base + kCraftedCodeRva));
  }
  EXPECT_DEATH(*(volatile UCHAR*)(base + kCraftedCodeRva) = 0, "");
  EXPECT_EQ("rw-p", ProtectionAt(base + kCraftedDataRva));
  EXPECT_TRUE(hostk::IsDriverImageAddress((void*)(base + kCraftedCodeRva)));
  hostk::UnloadDriverImage(image);
  EXPECT_FALSE(hostk::IsDriverImageAddress((void*)(base + kCraftedCodeRva)));
}

TEST(ImageLoader, NamesEveryImportWithoutABinding) {
  CraftedImage crafted = WithImports();
  crafted.imports[0].second.push_back("IoCreateSymbolicLink");
  crafted.imports.push_back({"KERNEL32.dll", {"ExitProcess"}});
  std::string error = LoadFails(crafted);
  EXPECT_NE(std::string::npos, error.find("ntoskrnl.exe!IoCreateSymbolicLink")) << error;
  EXPECT_NE(std::string::npos, error.find("KERNEL32.dll!ExitProcess")) << error;
  EXPECT_EQ(std::string::npos, error.find("IofCallDriver")) << "bound routines are not named";
}

TEST(ImageLoader, RefusesWhatItDoesNotUnderstand) {
  struct Case {
    const char* name;
    CraftedImage crafted;
    const char* expected;
  };
  CraftedImage dir64 = WithImports();
  dir64.extraRelocations = {(uint16_t)(10 << 12 | 0x10)};
  CraftedImage amd64 = WithImports();
  amd64.machine = 0x8664;
  CraftedImage fixed = WithImports();
  fixed.withRelocations = false;
  const Case kCases[] = {
      {"a 64-bit relocation", dir64, "relocation type 10 at 0x1010 is not supported"},
      {"another machine", amd64, "machine 0x8664 is not 32-bit x86"},
      {"no relocations to move it with", fixed, "no base relocations"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string error = LoadFails(c.crafted);
    EXPECT_NE(std::string::npos, error.find(c.expected)) << error;
  }
}

TEST(ImageLoader, RefusesFilesCutShort) {
  std::vector<uint8_t> whole = BuildImage(WithImports());
  for (size_t length : {0u, 0x3Fu, 0x50u, 0x120u, 0x400u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
    std::string error;
    EXPECT_EQ(nullptr, hostk::LoadDriverImageFromBytes(cut, &error));
    EXPECT_FALSE(error.empty());
  }
  std::string error;
  EXPECT_EQ(nullptr, hostk::LoadDriverImage("/nonexistent/KxBusIdd.sys", &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent/KxBusIdd.sys")) << error;
}

// DriverEntry calls ProbeForRead on an address that is no user memory, with no exception guard of
// its own: the raise cannot unwind through the image's frames as a C++ exception, and with no
// registration at fs:[0] to take it, it is the platform's unhandled-exception bug check.
TEST(ImageLoaderDeathTest, ARaiseUnderTheImageOutsideAnyGuardIsABugCheck) {
  CraftedImage crafted;
  crafted.imports = {{"ntoskrnl.exe", {"ProbeForRead"}}};
  uint32_t slot = kCraftedPreferredBase + CraftedImportSlot(crafted, 0, 0);
  crafted.code = {0x6A, 0x01,                          // push 1 (alignment)
               0x6A, 0x04,                          // push 4 (length)
               0x68, 0x00, 0x10, 0x00, 0x00,        // push 0x1000 (the address)
               0xFF, 0x15, (uint8_t)slot, (uint8_t)(slot >> 8), (uint8_t)(slot >> 16),
               (uint8_t)(slot >> 24),               // call [ProbeForRead]
               0x33, 0xC0,                          // xor eax, eax
               0xC2, 0x08, 0x00};                   // ret 8
  crafted.codeAddresses = {11};
  std::string error;
  hostk::DriverImage* image = hostk::LoadDriverImageFromBytes(BuildImage(crafted), &error);
  ASSERT_NE(nullptr, image) << error;
  PDRIVER_INITIALIZE entry = hostk::DriverImageEntry(image);
  EXPECT_DEATH(entry(nullptr, nullptr),
               "0xC0000005 raised under the image's call at .*, outside any guard");
  hostk::UnloadDriverImage(image);
}

}  // namespace
}  // namespace kxtest
