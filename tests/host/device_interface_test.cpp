// Device interfaces as drivers register and switch them, and the WDM version the host kernel
// reports for each Windows release.
#include <gtest/gtest.h>

#include <string>

#include "host/hostk/client.h"
#include "host/hostk/io.h"
#include "support/kernel_test_util.h"

namespace {

const char* const kClassText = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
const char* const kOtherClassText = "{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";

GUID Guid(const char* text) {
  GUID guid{};
  EXPECT_TRUE(hostk::GuidFromString(text, &guid)) << text;
  return guid;
}

std::string Text(const UNICODE_STRING& s) {
  return hostk::Utf16ToUtf8(std::u16string(s.Buffer, s.Length / sizeof(WCHAR)));
}

// Owns a UTF-16 copy for the lifetime of the UNICODE_STRING that points into it.
struct Wide {
  explicit Wide(const std::string& text) : text(hostk::Utf8ToUtf16(text)) {
    value.Buffer = (PWCH)this->text.data();
    value.Length = (USHORT)(this->text.size() * sizeof(WCHAR));
    value.MaximumLength = value.Length;
  }
  std::u16string text;
  UNICODE_STRING value;
};

class DeviceInterface : public testing::Test {
 protected:
  void SetUp() override { driver_ = hostk::IoCreateDriverObject("\\Driver\\KxIfTest"); }
  void TearDown() override {
    while (driver_->DeviceObject != nullptr) {
      PDEVICE_OBJECT device = driver_->DeviceObject;
      if (hostk::IoLowerDevice(device) != nullptr) IoDetachDevice(hostk::IoLowerDevice(device));
      IoDeleteDevice(device);
    }
    hostk::IoDeleteDriverObject(driver_);
    hostk::IoDeviceInterfacesResetForNextTest();
  }

  PDEVICE_OBJECT NewDevice() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }

  // Registers and returns the link name, freeing the driver's copy as a driver does.
  std::string Register(PDEVICE_OBJECT pdo, const char* classText, const char* reference = nullptr) {
    GUID guid = Guid(classText);
    Wide ref(reference ? reference : "");
    UNICODE_STRING link{};
    NTSTATUS status =
        IoRegisterDeviceInterface(pdo, &guid, reference ? &ref.value : nullptr, &link);
    EXPECT_EQ(STATUS_SUCCESS, status);
    if (!NT_SUCCESS(status)) return "";
    std::string text = Text(link);
    RtlFreeUnicodeString(&link);
    return text;
  }

  NTSTATUS SetState(const std::string& link, bool enable) {
    Wide name(link);
    return IoSetDeviceInterfaceState(&name.value, enable ? TRUE : FALSE);
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

TEST(Guid, ParsesWithOrWithoutBracesAndPrintsLowerCase) {
  GUID guid = Guid(kClassText);
  EXPECT_EQ(0xA5DCBF10u, guid.Data1);
  EXPECT_EQ(0x6530, guid.Data2);
  EXPECT_EQ(0x11D2, guid.Data3);
  const UCHAR tail[8] = {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED};
  EXPECT_EQ(0, memcmp(tail, guid.Data4, 8));
  EXPECT_EQ("{a5dcbf10-6530-11d2-901f-00c04fb951ed}", hostk::GuidToString(guid));
  EXPECT_TRUE(hostk::GuidEqual(guid, Guid("a5dcbf10-6530-11d2-901f-00c04fb951ed")));

  GUID ignored;
  for (const char* bad :
       {"", "{a5dcbf10-6530-11d2-901f-00c04fb951ed", "a5dcbf10-6530-11d2-901f00c04fb951ed0",
        "a5dcbf10-6530-11d2-901g-00c04fb951ed", "{a5dcbf1-06530-11d2-901f-00c04fb951ed}"}) {
    EXPECT_FALSE(hostk::GuidFromString(bad, &ignored)) << bad;
  }
}

TEST_F(DeviceInterface, LinkNameHasThePlatformFormAndComesFromThePool) {
  PDEVICE_OBJECT pdo = NewDevice();
  hostk::IoSetDeviceInstancePath(pdo, "USB\\VID_1234&PID_5678\\5&1a2b3c&0&1");
  GUID guid = Guid(kClassText);
  UNICODE_STRING link{};
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(pdo, &guid, nullptr, &link));
  EXPECT_EQ("\\??\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
            Text(link));
  EXPECT_EQ(link.Length + sizeof(WCHAR), link.MaximumLength);
  EXPECT_EQ(0, link.Buffer[link.Length / sizeof(WCHAR)]);
  EXPECT_EQ(1u, hostk::PoolLiveCount(hostk::PoolTag("IoIf")));
  RtlFreeUnicodeString(&link);
  EXPECT_EQ(0u, hostk::PoolLiveCount(hostk::PoolTag("IoIf")));

  EXPECT_EQ("\\??\\USB#VID_1234&PID_5678#5&1a2b3c&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\\Ctl",
            Register(pdo, kClassText, "Ctl"));
  // A device nobody gave an instance path is a root-enumerated one of the host.
  EXPECT_EQ("\\??\\ROOT#HOSTK#0000#{1ca05180-a699-450a-9a0c-de4fbe3ddd89}",
            Register(NewDevice(), kOtherClassText));
}

TEST_F(DeviceInterface, RegisteringAgainGivesTheSameNameAndOtherPairsDifferentOnes) {
  PDEVICE_OBJECT first = NewDevice();
  PDEVICE_OBJECT second = NewDevice();
  std::string name = Register(first, kClassText);
  EXPECT_EQ(name, Register(first, kClassText));
  EXPECT_NE(name, Register(first, kOtherClassText));
  EXPECT_NE(name, Register(first, kClassText, "Ref"));
  EXPECT_NE(name, Register(second, kClassText));
}

TEST_F(DeviceInterface, StateChangesAnswerAsDocumented) {
  std::string name = Register(NewDevice(), kClassText);
  EXPECT_FALSE(hostk::IoIsDeviceInterfaceEnabled(name));  // registered interfaces start disabled
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, SetState(name, false));
  EXPECT_EQ(STATUS_SUCCESS, SetState(name, true));
  EXPECT_TRUE(hostk::IoIsDeviceInterfaceEnabled(name));
  EXPECT_EQ(STATUS_OBJECT_NAME_EXISTS, SetState(name, true));  // informational, so NT_SUCCESS
  EXPECT_TRUE(NT_SUCCESS(STATUS_OBJECT_NAME_EXISTS));
  EXPECT_EQ(STATUS_SUCCESS, SetState(name, false));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, SetState(name, false));
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, SetState(name + "x", true));

  // Object names compare without case.
  std::string upper = name;
  for (char& c : upper) c = (char)toupper((unsigned char)c);
  EXPECT_EQ(STATUS_SUCCESS, SetState(upper, true));
  EXPECT_TRUE(hostk::IoIsDeviceInterfaceEnabled(name));
}

TEST_F(DeviceInterface, RejectsAttachedDevicesAndReferenceStringsWithSeparators) {
  PDEVICE_OBJECT pdo = NewDevice();
  PDEVICE_OBJECT fdo = NewDevice();
  ASSERT_EQ(pdo, IoAttachDeviceToDeviceStack(fdo, pdo));
  GUID guid = Guid(kClassText);
  UNICODE_STRING link{};
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IoRegisterDeviceInterface(fdo, &guid, nullptr, &link));
  for (const char* bad : {"a\\b", "a/b"}) {
    Wide reference(bad);
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoRegisterDeviceInterface(pdo, &guid, &reference.value, &link))
        << bad;
  }
  EXPECT_EQ(nullptr, link.Buffer);
  EXPECT_EQ(0u, hostk::PoolLiveCount(hostk::PoolTag("IoIf")));
}

TEST_F(DeviceInterface, ListsTheEnabledInterfacesOfAClassWithTheirDevices) {
  PDEVICE_OBJECT a = NewDevice();
  PDEVICE_OBJECT b = NewDevice();
  std::string first = Register(a, kClassText);
  std::string second = Register(b, kClassText, "Second");
  std::string other = Register(a, kOtherClassText);
  std::string disabled = Register(b, kClassText);
  for (const std::string& name : {first, second, other})
    EXPECT_EQ(STATUS_SUCCESS, SetState(name, true));

  std::vector<hostk::DeviceInterface> found = hostk::IoEnabledDeviceInterfaces(Guid(kClassText));
  ASSERT_EQ(2u, found.size());
  EXPECT_EQ(first, found[0].symbolicLink);
  EXPECT_EQ(a, found[0].device);
  EXPECT_EQ("", found[0].referenceString);
  EXPECT_EQ(second, found[1].symbolicLink);
  EXPECT_EQ(b, found[1].device);
  EXPECT_EQ("Second", found[1].referenceString);
}

TEST_F(DeviceInterface, DeletingTheDeviceDisablesItsInterfacesAndANewDeviceGetsTheNameBack) {
  PDEVICE_OBJECT pdo = NewDevice();
  const char* path = "USB\\VID_1234&PID_5678\\7&0&0&2";
  hostk::IoSetDeviceInstancePath(pdo, path);
  std::string name = Register(pdo, kClassText);
  ASSERT_EQ(STATUS_SUCCESS, SetState(name, true));
  IoDeleteDevice(pdo);
  EXPECT_FALSE(hostk::IoIsDeviceInterfaceEnabled(name));
  EXPECT_TRUE(hostk::IoEnabledDeviceInterfaces(Guid(kClassText)).empty());
  // The Plug and Play manager disabled it: the driver's late disable finds nothing to disable.
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, SetState(name, false));

  PDEVICE_OBJECT again = NewDevice();
  hostk::IoSetDeviceInstancePath(again, path);
  EXPECT_EQ(name, Register(again, kClassText));
  EXPECT_FALSE(hostk::IoIsDeviceInterfaceEnabled(name));
  EXPECT_EQ(STATUS_SUCCESS, SetState(name, true));
  ASSERT_EQ(1u, hostk::IoEnabledDeviceInterfaces(Guid(kClassText)).size());
  EXPECT_EQ(again, hostk::IoEnabledDeviceInterfaces(Guid(kClassText))[0].device);
}

using DeviceInterfaceDeathTest = DeviceInterface;

TEST_F(DeviceInterfaceDeathTest, StateChangeAbovePassiveLevel) {
  std::string name = Register(NewDevice(), kClassText);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        SetState(name, true);
      },
      "IoSetDeviceInterfaceState");
}

class WdmVersion : public testing::Test {
 protected:
  void TearDown() override { hostk::WdmVersionResetForNextTest(); }
};

TEST_F(WdmVersion, WindowsTenReportsSixPointZero) {
  EXPECT_EQ(hostk::WindowsRelease::Windows10, hostk::GetWindowsVersion());
  EXPECT_TRUE(IoIsWdmVersionAvailable(6, 0x00));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0xFF));  // any 1.x is below 6.00
  EXPECT_FALSE(IoIsWdmVersionAvailable(6, 0x01));
  EXPECT_FALSE(IoIsWdmVersionAvailable(7, 0x00));
}

TEST_F(WdmVersion, EachReleaseAnswersWithItsOwnVersion) {
  struct Case {
    hostk::WindowsRelease release;
    UCHAR major, minor;
  };
  const Case cases[] = {
      {hostk::WindowsRelease::Windows98, 1, 0x00},
      {hostk::WindowsRelease::WindowsMe, 1, 0x05},
      {hostk::WindowsRelease::Windows2000, 1, 0x10},
      {hostk::WindowsRelease::WindowsXP, 1, 0x20},
      {hostk::WindowsRelease::WindowsServer2003, 1, 0x30},
      {hostk::WindowsRelease::WindowsVista, 6, 0x00},
      {hostk::WindowsRelease::Windows7, 6, 0x00},
      {hostk::WindowsRelease::Windows81, 6, 0x00},
  };
  for (const Case& c : cases) {
    hostk::SetWindowsVersion(c.release);
    EXPECT_TRUE(IoIsWdmVersionAvailable(c.major, c.minor)) << (int)c.release;
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x00)) << (int)c.release;
    EXPECT_FALSE(IoIsWdmVersionAvailable(c.major, (UCHAR)(c.minor + 1))) << (int)c.release;
    EXPECT_FALSE(IoIsWdmVersionAvailable((UCHAR)(c.major + 1), 0)) << (int)c.release;
  }
  hostk::WdmVersionResetForNextTest();
  EXPECT_EQ(hostk::WindowsRelease::Windows10, hostk::GetWindowsVersion());
}

}  // namespace
