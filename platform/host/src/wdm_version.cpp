// IoIsWdmVersionAvailable, answering as the chosen Windows release does.
//
// The platform's table: Windows 98 1.00, Me 1.05, 2000 1.10, XP 1.20, Server 2003 1.30, Vista and
// 7 6.00 (minor numbers are hexadecimal). The table ends at Windows 7; the platform's current
// headers still define WDM_MAJORVERSION 6 and WDM_MINORVERSION 0, so Windows 8, 8.1 and 10 report
// 6.00 as well. A driver cannot tell Vista from 10 this way; RtlIsNtDdiVersionAvailable can.
#include <atomic>

#include "host/hostk/client.h"

namespace hostk {
namespace {

struct WdmVersion {
  UCHAR major;
  UCHAR minor;
};

std::atomic<WindowsRelease> gRelease{WindowsRelease::Windows10};

WdmVersion VersionOf(WindowsRelease release) {
  switch (release) {
    case WindowsRelease::Windows98: return {1, 0x00};
    case WindowsRelease::WindowsMe: return {1, 0x05};
    case WindowsRelease::Windows2000: return {1, 0x10};
    case WindowsRelease::WindowsXP: return {1, 0x20};
    case WindowsRelease::WindowsServer2003: return {1, 0x30};
    case WindowsRelease::WindowsVista:
    case WindowsRelease::Windows7:
    case WindowsRelease::Windows8:
    case WindowsRelease::Windows81:
    case WindowsRelease::Windows10: return {6, 0x00};
  }
  return {6, 0x00};
}

}  // namespace

void SetWindowsVersion(WindowsRelease release) { gRelease.store(release); }
WindowsRelease GetWindowsVersion() { return gRelease.load(); }
void WdmVersionResetForNextTest() { gRelease.store(WindowsRelease::Windows10); }

}  // namespace hostk

// Callable at any IRQL.
BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  hostk::WdmVersion provided = hostk::VersionOf(hostk::GetWindowsVersion());
  if (provided.major != MajorVersion) return provided.major > MajorVersion ? TRUE : FALSE;
  return provided.minor >= MinorVersion ? TRUE : FALSE;
}
