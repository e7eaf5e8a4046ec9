// What the world outside a driver uses to reach it: device interfaces, the Windows release the host
// kernel answers as, and the I/O manager's client side (open, device control, read, write, close),
// as the simulated display stack and tests use them.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/io.h"

namespace hostk {

// GUIDs as text: "{a5dcbf10-6530-11d2-901f-00c04fb951ed}", braces optional when parsing, any case.
bool GuidFromString(const std::string& text, GUID* guid);
std::string GuidToString(const GUID& guid);  // lower case, with braces, as in interface names
bool GuidEqual(const GUID& a, const GUID& b);

// Device interfaces.
//
// A link name has the platform's form "\??\<enumerator>#<device id>#<instance id>#{class guid}",
// with "\<reference string>" appended when one was given: the device's instance path with each "\"
// turned into "#". The Plug and Play manager gives a physical device object its instance path
// ("USB\VID_1234&PID_5678\5&1a2b3c&0&1"); a device without one gets "ROOT\HOSTK\NNNN", numbered
// in the order devices first register an interface.
void IoSetDeviceInstancePath(PDEVICE_OBJECT pdo, const std::string& instancePath);
// The device's instance path: the one set, else a new "ROOT\HOSTK\NNNN" it keeps from then on.
std::string IoDeviceInstancePath(PDEVICE_OBJECT pdo);

struct DeviceInterface {
  std::string symbolicLink;
  std::string referenceString;  // "" when none
  PDEVICE_OBJECT device;        // the device the registration named
};

// Enabled interfaces of a class, in registration order.
std::vector<DeviceInterface> IoEnabledDeviceInterfaces(const GUID& classGuid);
// Whether the link names an enabled interface (names compare case-insensitively).
bool IoIsDeviceInterfaceEnabled(const std::string& symbolicLink);
// The device behind an enabled interface, with a reference the caller drops; false (and nothing
// referenced) for an unknown or disabled name.
bool IoReferenceEnabledInterface(const std::string& symbolicLink, PDEVICE_OBJECT* device,
                                 std::string* referenceString);

// IoDeleteDevice calls this before the device object can go away: the device's interfaces become
// disabled (as the Plug and Play manager disables them when it removes a device) and stay
// registered, so a later device with the same instance path gets the same names back.
void IoDisableInterfacesOf(PDEVICE_OBJECT device);

// Between tests: forgets every registration and instance path, the notification history and the
// watches.
void IoDeviceInterfacesResetForNextTest();

// Device interface notifications, as IoRegisterPlugPlayNotification delivers them for
// EventCategoryDeviceInterfaceChange. An arrival is an IoSetDeviceInterfaceState(TRUE) that enabled
// the interface; a removal an IoSetDeviceInterfaceState(FALSE) that disabled it, or the disabling
// at IoDeleteDevice.
struct DeviceInterfaceEvent {
  bool arrival;
  GUID classGuid;
  std::string symbolicLink;
};

// Calls `callback` for each arrival and removal of an interface of the class from now on, and first
// (with `includeExisting`) an arrival for each interface of the class enabled now. Callbacks run
// one at a time, in the order of the changes, on the notification worker (a managed host thread at
// PASSIVE_LEVEL), never inside the driver's call that changed the state: a callback may open the
// interface, which sends IRP_MJ_CREATE to the driver. Returns the watch's number. PASSIVE_LEVEL.
int IoWatchDeviceInterfaces(const GUID& classGuid,
                            std::function<void(const DeviceInterfaceEvent&)> callback,
                            bool includeExisting = true);
// Ends a watch: no callback of it starts afterwards, and one in progress has returned when this
// returns (unless a callback ends its own watch). PASSIVE_LEVEL.
void IoUnwatchDeviceInterfaces(int watch);
// Returns once every notification queued so far was delivered: a kernel wait, so virtual time moves
// meanwhile. Not from a callback. PASSIVE_LEVEL.
void IoWaitForInterfaceNotifications();
// Every arrival and removal of the class since the last reset, in order, watched or not.
std::vector<DeviceInterfaceEvent> IoDeviceInterfaceEvents(const GUID& classGuid);
// For the end-of-test checks: watches still registered and a notification worker still running;
// empty when none.
std::string IoInterfaceNotificationReport();

// The Windows release whose WDM version IoIsWdmVersionAvailable reports. Windows 10 by default.
enum class WindowsRelease {
  Windows98,
  WindowsMe,
  Windows2000,
  WindowsXP,
  WindowsServer2003,
  WindowsVista,
  Windows7,
  Windows8,
  Windows81,
  Windows10,
};
void SetWindowsVersion(WindowsRelease release);
WindowsRelease GetWindowsVersion();
// Back to Windows 10.
void WdmVersionResetForNextTest();

// The I/O manager as a user-mode process sees it. Handles belong to one Client. Every call runs at
// PASSIVE_LEVEL on a managed thread and returns the request's final status; a request the driver
// leaves pending is waited for with a kernel wait, so virtual time moves meanwhile.
//
// Requests carry RequestorMode = UserMode, the file object, and the calling thread. Buffers are
// passed as the platform passes them: buffered I/O through a system buffer from the pool, direct
// I/O through an MDL locked over the caller's buffer (which must be registered user memory, or the
// call fails with the probe's status before the driver sees it), neither I/O with the caller's own
// addresses.
class Client {
 public:
  Client();
  ~Client();  // closes the handles still open
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Opens a device by its name ("\Device\Foo") or an enabled interface by its link name, and sends
  // IRP_MJ_CREATE to the top of the device's stack. `fileName` ("\DISP01") becomes the file
  // object's FileName, after the interface's reference string ("\ref\DISP01") if it has one.
  NTSTATUS Open(const std::string& name, HANDLE* handle, const std::string& fileName = "");
  // The same for a device object at hand (an unnamed device, or one whose interface is not
  // published yet).
  NTSTATUS OpenDevice(PDEVICE_OBJECT device, HANDLE* handle, const std::string& fileName = "");

  NTSTATUS DeviceControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG_PTR* information = nullptr);
  NTSTATUS Read(HANDLE handle, void* buffer, ULONG length, ULONG_PTR* information = nullptr);
  NTSTATUS Write(HANDLE handle, const void* buffer, ULONG length, ULONG_PTR* information = nullptr);

  // Sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE, then releases the file object and the device.
  // STATUS_INVALID_HANDLE for a handle that is not open.
  NTSTATUS Close(HANDLE handle);

  size_t OpenHandleCount() const;
  // The file object behind a handle (nullptr when not open), for tests that look at FsContext.
  PFILE_OBJECT FileObjectOf(HANDLE handle) const;

 private:
  struct OpenFile {
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;  // the device the name opened; referenced
    PDEVICE_OBJECT target;  // the top of its stack when opened, which requests go to; referenced
  };
  // Fills in a request's parameters and buffers; a failure abandons the request unsent.
  using Builder = std::function<NTSTATUS(PIRP irp, const OpenFile& open)>;

  // Opens a device the caller holds a reference on; the handle takes its own.
  NTSTATUS OpenReferenced(PDEVICE_OBJECT device, HANDLE* handle, const std::string& path);
  bool Find(HANDLE handle, OpenFile* open) const;
  // Builds a request on an open handle and sends it; STATUS_DELETE_PENDING without calling the
  // driver once the device was deleted.
  NTSTATUS Issue(HANDLE handle, UCHAR major, const Builder& build, ULONG_PTR* information);
  NTSTATUS Transfer(HANDLE handle, UCHAR major, void* buffer, ULONG length, ULONG_PTR* information);

  mutable std::mutex lock_;
  std::map<ULONG_PTR, OpenFile> open_;
  ULONG_PTR nextHandle_ = 4;
};

}  // namespace hostk
