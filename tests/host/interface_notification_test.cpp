// Device interface notifications as a client watching a class sees them: arrivals and removals in
// order on the notification worker, the interfaces enabled before the watch, a callback that opens
// the interface, the removal at deletion, and the end of a watch.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/io.h"
#include "host/hostk/verifier.h"
#include "support/kernel_test_util.h"

namespace {

const char* const kClassText = "{5b45201d-f2f2-4f3b-85bb-30ff1f953599}";
const char* const kOtherClassText = "{1ca05180-a699-450a-9a0c-de4fbe3ddd89}";

GUID Guid(const char* text) {
  GUID guid{};
  EXPECT_TRUE(hostk::GuidFromString(text, &guid)) << text;
  return guid;
}

// "+link" for an arrival, "-link" for a removal.
std::string Line(const hostk::DeviceInterfaceEvent& event) {
  return (event.arrival ? "+" : "-") + event.symbolicLink;
}

std::vector<std::string> Lines(const std::vector<hostk::DeviceInterfaceEvent>& events) {
  std::vector<std::string> lines;
  for (const hostk::DeviceInterfaceEvent& event : events) lines.push_back(Line(event));
  return lines;
}

// What a watch heard, and where.
struct Heard {
  std::mutex lock;
  std::vector<std::string> lines;
  std::vector<PKTHREAD> threads;
  std::vector<KIRQL> irqls;

  std::function<void(const hostk::DeviceInterfaceEvent&)> Callback() {
    return [this](const hostk::DeviceInterfaceEvent& event) {
      std::lock_guard<std::mutex> guard(lock);
      lines.push_back(Line(event));
      threads.push_back(KeGetCurrentThread());
      irqls.push_back(KeGetCurrentIrql());
    };
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(lock);
    return lines;
  }
};

PKTHREAD gCreateThread = nullptr;

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
    gCreateThread = KeGetCurrentThread();
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

class InterfaceNotification : public testing::Test {
 protected:
  void SetUp() override {
    driver_ = hostk::IoCreateDriverObject("\\Driver\\KxNotifyTest");
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
      driver_->MajorFunction[major] = CompleteSuccess;
    }
    gCreateThread = nullptr;
  }
  void TearDown() override {
    hostk::IoWaitForInterfaceNotifications();
    while (driver_->DeviceObject != nullptr) IoDeleteDevice(driver_->DeviceObject);
    hostk::IoWaitForInterfaceNotifications();
    hostk::IoDeleteDriverObject(driver_);
  }

  // A device with a registered interface of the class, disabled.
  std::string NewInterface(const char* classText, PDEVICE_OBJECT* device = nullptr) {
    PDEVICE_OBJECT created = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &created));
    created->Flags &= ~DO_DEVICE_INITIALIZING;
    GUID guid = Guid(classText);
    UNICODE_STRING link{};
    EXPECT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(created, &guid, nullptr, &link));
    std::string text = hostk::Utf16ToUtf8(std::u16string(link.Buffer, link.Length / 2));
    RtlFreeUnicodeString(&link);
    if (device != nullptr) *device = created;
    return text;
  }

  NTSTATUS SetState(const std::string& link, bool enable) {
    std::u16string wide = hostk::Utf8ToUtf16(link);
    UNICODE_STRING name = {(USHORT)(wide.size() * 2), (USHORT)(wide.size() * 2), (PWCH)wide.data()};
    return IoSetDeviceInterfaceState(&name, enable ? TRUE : FALSE);
  }

  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(InterfaceNotification, ChangesArriveInOrderOnTheWorkerAndGoIntoTheHistory) {
  std::string a = NewInterface(kClassText);
  std::string b = NewInterface(kClassText);
  std::string other = NewInterface(kOtherClassText);
  Heard heard;
  int watch = hostk::IoWatchDeviceInterfaces(Guid(kClassText), heard.Callback(), false);

  ASSERT_EQ(STATUS_SUCCESS, SetState(a, true));
  ASSERT_EQ(STATUS_SUCCESS, SetState(other, true));
  ASSERT_EQ(STATUS_SUCCESS, SetState(b, true));
  ASSERT_EQ(STATUS_OBJECT_NAME_EXISTS, SetState(b, true));  // no change, no notification
  ASSERT_EQ(STATUS_SUCCESS, SetState(a, false));
  hostk::IoWaitForInterfaceNotifications();

  const std::vector<std::string> expected = {"+" + a, "+" + b, "-" + a};
  EXPECT_EQ(expected, heard.Lines());
  for (size_t i = 0; i < heard.threads.size(); i++) {
    EXPECT_NE(KeGetCurrentThread(), heard.threads[i]);
    EXPECT_EQ(PASSIVE_LEVEL, heard.irqls[i]);
  }
  EXPECT_EQ(expected, Lines(hostk::IoDeviceInterfaceEvents(Guid(kClassText))));
  EXPECT_EQ(std::vector<std::string>{"+" + other},
            Lines(hostk::IoDeviceInterfaceEvents(Guid(kOtherClassText))));
  hostk::IoUnwatchDeviceInterfaces(watch);
}

TEST_F(InterfaceNotification, ANewWatchHearsTheEnabledInterfacesFirstWhenAskedTo) {
  std::string a = NewInterface(kClassText);
  std::string b = NewInterface(kClassText);
  ASSERT_EQ(STATUS_SUCCESS, SetState(a, true));
  Heard existing, onlyNew;
  int first = hostk::IoWatchDeviceInterfaces(Guid(kClassText), existing.Callback());
  int second = hostk::IoWatchDeviceInterfaces(Guid(kClassText), onlyNew.Callback(), false);
  ASSERT_EQ(STATUS_SUCCESS, SetState(b, true));
  hostk::IoWaitForInterfaceNotifications();

  EXPECT_EQ((std::vector<std::string>{"+" + a, "+" + b}), existing.Lines());
  EXPECT_EQ(std::vector<std::string>{"+" + b}, onlyNew.Lines());
  // The history holds changes only, not what a watch was told of at its start.
  EXPECT_EQ((std::vector<std::string>{"+" + a, "+" + b}),
            Lines(hostk::IoDeviceInterfaceEvents(Guid(kClassText))));
  hostk::IoUnwatchDeviceInterfaces(first);
  hostk::IoUnwatchDeviceInterfaces(second);
}

TEST_F(InterfaceNotification, ACallbackOpensTheInterfaceThatArrived) {
  std::string link = NewInterface(kClassText);
  NTSTATUS opened = STATUS_PENDING;
  int watch = hostk::IoWatchDeviceInterfaces(Guid(kClassText),
                                             [&](const hostk::DeviceInterfaceEvent& event) {
                                               if (!event.arrival) return;
                                               hostk::Client client;
                                               HANDLE handle;
                                               opened = client.Open(event.symbolicLink, &handle);
                                               if (NT_SUCCESS(opened)) client.Close(handle);
                                             });
  ASSERT_EQ(STATUS_SUCCESS, SetState(link, true));
  hostk::IoWaitForInterfaceNotifications();
  EXPECT_EQ(STATUS_SUCCESS, opened);
  // The create came from the worker, not from inside the driver's call that enabled the interface.
  EXPECT_NE(nullptr, gCreateThread);
  EXPECT_NE(KeGetCurrentThread(), gCreateThread);
  hostk::IoUnwatchDeviceInterfaces(watch);
}

TEST_F(InterfaceNotification, DeletingTheDeviceDisablesItsInterfaceAndNotifiesRemoval) {
  PDEVICE_OBJECT device = nullptr;
  std::string link = NewInterface(kClassText, &device);
  ASSERT_EQ(STATUS_SUCCESS, SetState(link, true));
  Heard heard;
  int watch = hostk::IoWatchDeviceInterfaces(Guid(kClassText), heard.Callback());
  IoDeleteDevice(device);
  hostk::IoWaitForInterfaceNotifications();
  EXPECT_EQ((std::vector<std::string>{"+" + link, "-" + link}), heard.Lines());
  EXPECT_FALSE(hostk::IoIsDeviceInterfaceEnabled(link));
  hostk::IoUnwatchDeviceInterfaces(watch);
}

// The callback holds until the test lets it go.
struct HeldCallback {
  KEVENT entered;
  KEVENT release;
  bool returned = false;
  HeldCallback() {
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
  }
};

TEST_F(InterfaceNotification, AnEndedWatchHearsNothingMoreAndTheEndWaitsForItsCallback) {
  std::string link = NewInterface(kClassText);
  HeldCallback held;
  std::atomic<int> calls{0};
  int watch =
      hostk::IoWatchDeviceInterfaces(Guid(kClassText), [&](const hostk::DeviceInterfaceEvent&) {
        calls++;
        KeSetEvent(&held.entered, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&held.release, Executive, KernelMode, FALSE, nullptr);
        held.returned = true;
      });
  EXPECT_NE(std::string::npos, hostk::LeakReport().find("watch"));
  ASSERT_EQ(STATUS_SUCCESS, SetState(link, true));
  KeWaitForSingleObject(&held.entered, Executive, KernelMode, FALSE, nullptr);
  EXPECT_NE(std::string::npos,
            hostk::IoInterfaceNotificationReport().find("still being delivered"));

  std::atomic<bool> unwatched{false};
  kxtest::SystemThread unwatch([&] {
    hostk::IoUnwatchDeviceInterfaces(watch);
    unwatched = true;
  });
  kxtest::Sleep(50 * kxtest::kMillisecond);
  EXPECT_FALSE(unwatched);
  KeSetEvent(&held.release, IO_NO_INCREMENT, FALSE);
  unwatch.Join();
  EXPECT_TRUE(unwatched);
  EXPECT_TRUE(held.returned);

  ASSERT_EQ(STATUS_SUCCESS, SetState(link, false));
  hostk::IoWaitForInterfaceNotifications();
  EXPECT_EQ(1, calls);
  EXPECT_EQ("", hostk::IoInterfaceNotificationReport());
}

TEST_F(InterfaceNotification, ACallbackMayEndItsOwnWatch) {
  std::string link = NewInterface(kClassText);
  int calls = 0;
  int watch = 0;
  watch = hostk::IoWatchDeviceInterfaces(Guid(kClassText), [&](const hostk::DeviceInterfaceEvent&) {
    calls++;
    hostk::IoUnwatchDeviceInterfaces(watch);
  });
  ASSERT_EQ(STATUS_SUCCESS, SetState(link, true));
  ASSERT_EQ(STATUS_SUCCESS, SetState(link, false));
  hostk::IoWaitForInterfaceNotifications();
  EXPECT_EQ(1, calls);
  EXPECT_EQ("", hostk::IoInterfaceNotificationReport());
}

}  // namespace
