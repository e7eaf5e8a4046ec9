// The I/O manager's client side against a small test driver: how open, device control, read, write
// and close reach the driver, how buffers travel for each transfer method, and how pending requests
// and deleted devices are answered.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/hostk/client.h"
#include "host/hostk/io.h"
#include "host/hostk/user_memory.h"
#include "seh.h"
#include "support/kernel_test_util.h"

namespace {

using kxtest::kMillisecond;
using kxtest::SystemThread;

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_IN_DIRECT, FILE_ANY_ACCESS);

const char* const kDeviceName = "\\Device\\KxClientTest";

// What a dispatch routine saw of one request.
struct Seen {
  PDEVICE_OBJECT device;
  UCHAR major;
  KPROCESSOR_MODE mode;
  PFILE_OBJECT file;
  PETHREAD thread;
  std::u16string fileName;  // for IRP_MJ_CREATE
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A test driver with one named device. Each major function does what the test installs in
// `handlers` (by default it succeeds with nothing transferred), and every request is recorded.
class ClientIo : public testing::Test {
 protected:
  using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

  void SetUp() override {
    current_ = this;
    driver_ = hostk::IoCreateDriverObject("\\Driver\\KxClientTest");
    for (auto& routine : driver_->MajorFunction) routine = Dispatch;
    device_ = NewDevice(kDeviceName);
  }
  void TearDown() override {
    client_.reset();
    while (driver_->DeviceObject != nullptr) {
      PDEVICE_OBJECT device = driver_->DeviceObject;
      if (hostk::IoLowerDevice(device) != nullptr) IoDetachDevice(hostk::IoLowerDevice(device));
      IoDeleteDevice(device);
    }
    hostk::IoDeleteDriverObject(driver_);
    hostk::IoDeviceInterfacesResetForNextTest();
    current_ = nullptr;
  }

  PDEVICE_OBJECT NewDevice(const char* name) {
    std::u16string wide = name ? hostk::Utf8ToUtf16(name) : u"";
    UNICODE_STRING text = {(USHORT)(wide.size() * 2), (USHORT)(wide.size() * 2), wide.data()};
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, name ? &text : nullptr,
                                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Seen seen{device,
              stack->MajorFunction,
              irp->RequestorMode,
              stack->FileObject,
              irp->Tail.Overlay.Thread,
              u""};
    if (stack->MajorFunction == IRP_MJ_CREATE) {
      const UNICODE_STRING& name = stack->FileObject->FileName;
      seen.fileName.assign(name.Buffer, name.Length / sizeof(WCHAR));
    }
    current_->seen_.push_back(seen);
    Handler& handler = current_->handlers_[stack->MajorFunction];
    return handler ? handler(device, irp) : Complete(irp, STATUS_SUCCESS);
  }

  std::vector<UCHAR> Majors() const {
    std::vector<UCHAR> majors;
    for (const Seen& seen : seen_) majors.push_back(seen.major);
    return majors;
  }

  HANDLE OpenDevice(const std::string& fileName = "") {
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, client_->Open(kDeviceName, &handle, fileName));
    return handle;
  }

  static inline ClientIo* current_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  std::unique_ptr<hostk::Client> client_ = std::make_unique<hostk::Client>();
  Handler handlers_[IRP_MJ_MAXIMUM_FUNCTION + 1];
  std::vector<Seen> seen_;
};

TEST_F(ClientIo, OpenSendsCreateWithTheFileNameAndCloseSendsCleanupThenClose) {
  handlers_[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
    IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = (PVOID)0x1234;
    return Complete(irp, STATUS_SUCCESS);
  };
  HANDLE handle = OpenDevice("\\DISP01");
  ASSERT_NE(nullptr, handle);
  ASSERT_EQ(1u, seen_.size());
  EXPECT_EQ(u"\\DISP01", seen_[0].fileName);
  EXPECT_EQ(UserMode, seen_[0].mode);
  EXPECT_EQ(PsGetCurrentThread(), seen_[0].thread);
  PFILE_OBJECT file = client_->FileObjectOf(handle);
  EXPECT_EQ(file, seen_[0].file);
  EXPECT_EQ(device_, file->DeviceObject);
  EXPECT_EQ((PVOID)0x1234, file->FsContext);  // the driver's, kept for later requests

  EXPECT_EQ(STATUS_SUCCESS, client_->Close(handle));
  EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}), Majors());
  EXPECT_EQ(file, seen_[1].file);
  EXPECT_EQ(file, seen_[2].file);
  EXPECT_EQ(STATUS_INVALID_HANDLE, client_->Close(handle));
  EXPECT_EQ(0u, client_->OpenHandleCount());
}

TEST_F(ClientIo, FailedOpensLeaveNoHandleAndSendNoClose) {
  handlers_[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_ACCESS_DENIED);
  };
  HANDLE handle = (HANDLE)1;
  EXPECT_EQ(STATUS_ACCESS_DENIED, client_->Open(kDeviceName, &handle));
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(0u, client_->OpenHandleCount());
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, client_->Open("\\Device\\Nothing", &handle));
  // The platform opens no device whose driver has not finished setting it up.
  device_->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client_->Open(kDeviceName, &handle));
  EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE}), Majors());
}

TEST_F(ClientIo, DestroyingTheClientClosesItsHandles) {
  OpenDevice();
  OpenDevice();
  client_.reset();
  EXPECT_EQ((std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE,
                                IRP_MJ_CLEANUP, IRP_MJ_CLOSE}),
            Majors());
}

TEST_F(ClientIo, RequestsGoToTheTopOfTheStack) {
  PDEVICE_OBJECT filter = NewDevice(nullptr);
  ASSERT_EQ(device_, IoAttachDeviceToDeviceStack(filter, device_));
  Handler passDown = [this, filter](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
    if (device != filter) return Complete(irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device_, irp);
  };
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
    handlers_[major] = passDown;
  }
  HANDLE handle = OpenDevice();
  EXPECT_EQ(STATUS_SUCCESS, client_->DeviceControl(handle, kBuffered, nullptr, 0, nullptr, 0));
  EXPECT_EQ(STATUS_SUCCESS, client_->Close(handle));
  ASSERT_EQ(8u, seen_.size());
  for (size_t i = 0; i < seen_.size(); i++) {
    EXPECT_EQ(i % 2 == 0 ? filter : device_, seen_[i].device) << i;
  }
}

TEST_F(ClientIo, BufferedControlCopiesOutputBackByTheInformationCount) {
  handlers_[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    EXPECT_EQ(1u, hostk::PoolLiveCount(hostk::PoolTag("IoSB")));
    UCHAR sum = 0;
    for (ULONG i = 0; i < in; i++) sum = (UCHAR)(sum + buffer[i]);
    // The whole output buffer is the driver's to write; only what it reports reaches the caller.
    memset(buffer, 0x55, out);
    buffer[0] = sum;
    return Complete(irp, STATUS_SUCCESS, out < 3 ? out : 3);
  };
  HANDLE handle = OpenDevice();
  UCHAR input[32];
  for (int i = 0; i < 32; i++) input[i] = (UCHAR)i;
  UCHAR output[16];
  memset(output, 0xEE, sizeof(output));
  ULONG_PTR information = 99;
  EXPECT_EQ(STATUS_SUCCESS, client_->DeviceControl(handle, kBuffered, input, 4, output,
                                                   sizeof(output), &information));
  EXPECT_EQ(3u, information);
  EXPECT_EQ(0 + 1 + 2 + 3, output[0]);
  EXPECT_EQ(0x55, output[2]);
  EXPECT_EQ(0xEE, output[3]);
  // The system buffer is as large as the larger of the two buffers.
  memset(output, 0xEE, sizeof(output));
  EXPECT_EQ(STATUS_SUCCESS, client_->DeviceControl(handle, kBuffered, input, sizeof(input), output,
                                                   2, &information));
  EXPECT_EQ(2u, information);
  EXPECT_EQ((31 * 32 / 2) & 0xFF, output[0]);
  EXPECT_EQ(0xEE, output[2]);
  EXPECT_EQ(0u, hostk::PoolLiveCount(hostk::PoolTag("IoSB")));
}

TEST_F(ClientIo, FailedBufferedControlCopiesNothingBack) {
  handlers_[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    memset(irp->AssociatedIrp.SystemBuffer, 0x55, 8);
    return Complete(irp, STATUS_INVALID_PARAMETER, 8);
  };
  HANDLE handle = OpenDevice();
  UCHAR output[8];
  memset(output, 0xEE, sizeof(output));
  ULONG_PTR information = 0;
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            client_->DeviceControl(handle, kBuffered, nullptr, 0, output, 8, &information));
  EXPECT_EQ(0xEE, output[0]);
}

// The driver side of a neither-method request: probes the caller's addresses, then copies.
NTSTATUS ProbeAndEcho(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  EXPECT_EQ(nullptr, irp->AssociatedIrp.SystemBuffer);
  ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;
  NTSTATUS status = KxGuarded([&]() -> NTSTATUS {
    ProbeForRead(stack->Parameters.DeviceIoControl.Type3InputBuffer, length, sizeof(ULONG));
    ProbeForWrite(irp->UserBuffer, length, sizeof(ULONG));
    memcpy(irp->UserBuffer, stack->Parameters.DeviceIoControl.Type3InputBuffer, length);
    return STATUS_SUCCESS;
  });
  return Complete(irp, status, NT_SUCCESS(status) ? length : 0);
}

TEST_F(ClientIo, NeitherMethodHandsTheDriverTheCallerAddresses) {
  PVOID type3 = nullptr;
  PVOID userBuffer = nullptr;
  handlers_[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT device, PIRP irp) {
    type3 = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer;
    userBuffer = irp->UserBuffer;
    return ProbeAndEcho(device, irp);
  };
  HANDLE handle = OpenDevice();
  hostk::UserBuffer in(16), out(16);
  memcpy(in.Data(), "sixteen bytes!!", 16);
  ULONG_PTR information = 0;
  EXPECT_EQ(STATUS_SUCCESS,
            client_->DeviceControl(handle, kNeither, in.Data(), 16, out.Data(), 16, &information));
  EXPECT_EQ(in.Data(), type3);
  EXPECT_EQ(out.Data(), userBuffer);
  EXPECT_EQ(16u, information);
  EXPECT_EQ(0, memcmp("sixteen bytes!!", out.Data(), 16));

  // Addresses that are not valid user memory fail the driver's probe, not the client.
  UCHAR plain[16] = {};
  EXPECT_EQ(STATUS_ACCESS_VIOLATION,
            client_->DeviceControl(handle, kNeither, plain, 16, out.Data(), 16));
  EXPECT_EQ(STATUS_DATATYPE_MISALIGNMENT,
            client_->DeviceControl(handle, kNeither, in.Data() + 1, 8, out.Data(), 8));
  in.Protect(false, false);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION,
            client_->DeviceControl(handle, kNeither, in.Data(), 16, out.Data(), 16));
  out.Protect(true, false);
  in.Protect(true, false);
  EXPECT_EQ(STATUS_ACCESS_VIOLATION,
            client_->DeviceControl(handle, kNeither, in.Data(), 16, out.Data(), 16));
  EXPECT_EQ(5u, seen_.size() - 1);  // every request reached the driver
}

TEST_F(ClientIo, DirectControlDescribesTheOutputWithALockedMdl) {
  handlers_[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PMDL mdl = irp->MdlAddress;
    EXPECT_NE(nullptr, mdl);
    if (mdl == nullptr) return Complete(irp, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, MmGetMdlByteCount(mdl));
    EXPECT_EQ(0, memcmp("in", irp->AssociatedIrp.SystemBuffer, 2));
    if (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) ==
        METHOD_OUT_DIRECT) {
      UCHAR* system = (UCHAR*)MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
      memset(system, 0x77, MmGetMdlByteCount(mdl));
    }
    return Complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(mdl));
  };
  HANDLE handle = OpenDevice();
  hostk::UserBuffer out(5000, true, true, 10);
  ULONG_PTR information = 0;
  EXPECT_EQ(STATUS_SUCCESS,
            client_->DeviceControl(handle, kOutDirect, "in", 2, out.Data(), 5000, &information));
  EXPECT_EQ(5000u, information);
  EXPECT_EQ(0x77, out.Data()[0]);
  EXPECT_EQ(0x77, out.Data()[4999]);
  EXPECT_EQ(0u, hostk::MdlLiveCount());
  EXPECT_EQ(nullptr, hostk::MdlLockedInRange(out.Data(), 5000));

  // The output of METHOD_OUT_DIRECT is written, of METHOD_IN_DIRECT only read.
  out.Protect(true, false);
  size_t before = seen_.size();
  EXPECT_EQ(STATUS_ACCESS_VIOLATION,
            client_->DeviceControl(handle, kOutDirect, "in", 2, out.Data(), 5000));
  EXPECT_EQ(before, seen_.size());  // refused before the driver saw it
  EXPECT_EQ(STATUS_SUCCESS, client_->DeviceControl(handle, kInDirect, "in", 2, out.Data(), 5000));
  UCHAR plain[8];
  EXPECT_EQ(STATUS_ACCESS_VIOLATION,
            client_->DeviceControl(handle, kInDirect, "in", 2, plain, sizeof(plain)));
  EXPECT_EQ(0u, hostk::MdlLiveCount());
  EXPECT_EQ(0u, hostk::PoolLiveCount(hostk::PoolTag("IoSB")));
}

TEST_F(ClientIo, ReadAndWriteFollowTheDeviceIoFlags) {
  handlers_[IRP_MJ_WRITE] = [](PDEVICE_OBJECT device, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    const UCHAR* data = (device->Flags & DO_BUFFERED_IO) ? (UCHAR*)irp->AssociatedIrp.SystemBuffer
                        : (device->Flags & DO_DIRECT_IO) ? (UCHAR*)MmGetSystemAddressForMdlSafe(
                                                               irp->MdlAddress, NormalPagePriority)
                                                         : (UCHAR*)irp->UserBuffer;
    EXPECT_EQ(0, memcmp("payload", data, length));
    return Complete(irp, STATUS_SUCCESS, length);
  };
  handlers_[IRP_MJ_READ] = [](PDEVICE_OBJECT device, PIRP irp) {
    UCHAR* data = (device->Flags & DO_BUFFERED_IO) ? (UCHAR*)irp->AssociatedIrp.SystemBuffer
                  : (device->Flags & DO_DIRECT_IO)
                      ? (UCHAR*)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                      : (UCHAR*)irp->UserBuffer;
    memcpy(data, "reply", 5);
    return Complete(irp, STATUS_SUCCESS, 5);
  };
  HANDLE handle = OpenDevice();
  for (ULONG flag : {(ULONG)DO_BUFFERED_IO, (ULONG)DO_DIRECT_IO, 0u}) {
    SCOPED_TRACE(flag);
    device_->Flags = (device_->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO)) | flag;
    hostk::UserBuffer buffer(64);
    memcpy(buffer.Data(), "payload", 7);
    ULONG_PTR information = 0;
    EXPECT_EQ(STATUS_SUCCESS, client_->Write(handle, buffer.Data(), 7, &information));
    EXPECT_EQ(7u, information);
    memset(buffer.Data(), 0, 64);
    EXPECT_EQ(STATUS_SUCCESS, client_->Read(handle, buffer.Data(), 64, &information));
    EXPECT_EQ(5u, information);
    EXPECT_EQ(0, memcmp("reply", buffer.Data(), 5));
  }
  // Direct I/O locks the caller's pages: a read into a read-only buffer fails before the driver.
  device_->Flags |= DO_DIRECT_IO;
  hostk::UserBuffer readOnly(64, true, false);
  size_t before = seen_.size();
  EXPECT_EQ(STATUS_ACCESS_VIOLATION, client_->Read(handle, readOnly.Data(), 64));
  EXPECT_EQ(before, seen_.size());
}

TEST_F(ClientIo, PendingRequestIsWaitedForWhileVirtualTimeMoves) {
  KEVENT queued;
  KeInitializeEvent(&queued, NotificationEvent, FALSE);
  PIRP held = nullptr;
  handlers_[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    KeSetEvent(&queued, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
  };
  HANDLE handle = OpenDevice();
  SystemThread completer([&] {
    KeWaitForSingleObject(&queued, Executive, KernelMode, FALSE, nullptr);
    kxtest::Sleep(250 * kMillisecond);
    memcpy(held->AssociatedIrp.SystemBuffer, "late", 4);
    Complete(held, STATUS_SUCCESS, 4);
  });
  LONGLONG start = hostk::ClockNow();
  char output[8] = {};
  ULONG_PTR information = 0;
  EXPECT_EQ(STATUS_SUCCESS,
            client_->DeviceControl(handle, kBuffered, nullptr, 0, output, 8, &information));
  EXPECT_EQ(4u, information);
  EXPECT_EQ(0, memcmp("late", output, 4));
  EXPECT_GE(hostk::ClockNow() - start, 250 * kMillisecond);
  completer.Join();

  // The final status is the one the request was completed with.
  KeClearEvent(&queued);
  SystemThread failer([&] {
    KeWaitForSingleObject(&queued, Executive, KernelMode, FALSE, nullptr);
    Complete(held, STATUS_IO_TIMEOUT);
  });
  EXPECT_EQ(STATUS_IO_TIMEOUT, client_->DeviceControl(handle, kBuffered, nullptr, 0, output, 8));
}

TEST_F(ClientIo, OpensOnlyEnabledInterfacesAndPassesTheReferenceString) {
  GUID guid;
  ASSERT_TRUE(hostk::GuidFromString("{1ca05180-a699-450a-9a0c-de4fbe3ddd89}", &guid));
  UNICODE_STRING reference = RTL_CONSTANT_STRING(u"Ctl");
  UNICODE_STRING link{};
  ASSERT_EQ(STATUS_SUCCESS, IoRegisterDeviceInterface(device_, &guid, &reference, &link));
  std::string name = hostk::Utf16ToUtf8(std::u16string(link.Buffer, link.Length / 2));
  HANDLE handle = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, client_->Open(name, &handle));
  ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, TRUE));
  ASSERT_EQ(STATUS_SUCCESS, client_->Open(name, &handle, "\\DISP01"));
  EXPECT_EQ(u"\\Ctl\\DISP01", seen_.back().fileName);
  EXPECT_EQ(device_, client_->FileObjectOf(handle)->DeviceObject);
  // The user-mode spelling of the same name.
  HANDLE second = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, client_->Open("\\\\?\\" + name.substr(4), &second));

  ASSERT_EQ(STATUS_SUCCESS, IoSetDeviceInterfaceState(&link, FALSE));
  HANDLE refused = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, client_->Open(name, &refused));
  // Handles opened while it was enabled keep working.
  EXPECT_EQ(STATUS_SUCCESS, client_->DeviceControl(handle, kBuffered, nullptr, 0, nullptr, 0));
  RtlFreeUnicodeString(&link);
}

TEST_F(ClientIo, DeletedDeviceIsAnsweredWithoutItsDriver) {
  HANDLE handle = OpenDevice();
  IoDeleteDevice(device_);
  size_t before = seen_.size();
  UCHAR buffer[4];
  EXPECT_EQ(STATUS_DELETE_PENDING,
            client_->DeviceControl(handle, kBuffered, nullptr, 0, buffer, 4));
  EXPECT_EQ(STATUS_DELETE_PENDING, client_->Read(handle, buffer, 4));
  HANDLE again = nullptr;
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, client_->Open(kDeviceName, &again));
  EXPECT_EQ(STATUS_SUCCESS, client_->Close(handle));
  EXPECT_EQ(before, seen_.size());
}

using ClientIoDeathTest = ClientIo;

TEST_F(ClientIoDeathTest, DispatchThatNeitherCompletesNorPends) {
  handlers_[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  HANDLE handle = OpenDevice();
  EXPECT_DEATH(client_->DeviceControl(handle, kBuffered, nullptr, 0, nullptr, 0),
               "returned 0x00000000, not STATUS_PENDING, for a request that is not completed");
  client_->Close(handle);
}

}  // namespace
