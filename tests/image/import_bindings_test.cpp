// The binding table against the two lists it must follow: the imports the image may have
// (target/windows/allowed_imports.txt) and the decorations the image's import libraries give each
// routine, which say how the image calls it. (The table against the host's own declarations is
// checked when it compiles.)
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/hostk/driver_image.h"
#include "support/kernel_test_util.h"

namespace kxtest {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = (char)tolower((unsigned char)c);
  return text;
}

// "module routine", module in lower case.
std::set<std::string> AllowedImports() {
  std::set<std::string> allowed;
  std::ifstream in(KX_ALLOWED_IMPORTS);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string module, routine;
    if (!(fields >> module >> routine) || module[0] == '#') continue;
    allowed.insert(Lower(module) + " " + routine);
  }
  return allowed;
}

TEST(ImportBindings, FollowTheAllowedImportsExactly) {
  std::set<std::string> allowed = AllowedImports();
  ASSERT_GT(allowed.size(), 40u) << "read " << KX_ALLOWED_IMPORTS;
  std::set<std::string> bound;
  for (const hostk::ImportBinding& binding : hostk::ImportBindings()) {
    std::string entry = Lower(binding.module) + " " + binding.routine;
    EXPECT_TRUE(bound.insert(entry).second) << entry << " bound twice";
    EXPECT_EQ(1u, allowed.count(entry)) << entry << " is bound but not an allowed import";
    EXPECT_NE(nullptr, binding.address) << entry;
  }
  for (const std::string& entry : allowed) {
    EXPECT_EQ(1u, bound.count(entry)) << entry << " is allowed but has no binding";
  }
}

// The decorated name the import library gives a routine as the table records it.
std::string Decorated(const hostk::ImportBinding& binding) {
  std::string bytes = "@" + std::to_string(binding.argumentBytes);
  switch (binding.convention) {
    case hostk::CallingConvention::Stdcall: return std::string("_") + binding.routine + bytes;
    case hostk::CallingConvention::Fastcall: return std::string("@") + binding.routine + bytes;
    case hostk::CallingConvention::Cdecl: return std::string("_") + binding.routine;
  }
  return "";
}

// Every routine's decorated name from the import libraries' "__imp_" symbols (nm's listing of
// mingw-w64's libntoskrnl.a and libhal.a) and from usbd.def ("Name@N", stdcall).
std::set<std::string> ImportLibraryNames() {
  std::set<std::string> names;
  std::ifstream listing(KX_IMPORT_LIBRARY_SYMBOLS);
  std::string line;
  while (std::getline(listing, line)) {
    size_t at = line.find(" __imp_");
    if (at != std::string::npos) names.insert(line.substr(at + 7));
  }
  std::ifstream def(KX_USBD_DEF);
  while (std::getline(def, line)) {
    if (line.rfind("USBD_", 0) == 0) names.insert("_" + line);
  }
  return names;
}

TEST(ImportBindings, CallEachRoutineAsTheImportLibrariesDecorateIt) {
  std::set<std::string> names = ImportLibraryNames();
  if (names.size() < 100) {
    GTEST_SKIP() << "no import library listing at " << KX_IMPORT_LIBRARY_SYMBOLS
                 << " (the mingw-w64 i686 packages are needed for it)";
  }
  for (const hostk::ImportBinding& binding : hostk::ImportBindings()) {
    EXPECT_EQ(1u, names.count(Decorated(binding)))
        << binding.module << "!" << binding.routine << ": the table says " << Decorated(binding)
        << ", which the import libraries do not have";
  }
}

}  // namespace
}  // namespace kxtest
