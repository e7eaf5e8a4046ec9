// The I/O manager's client side: open, device control, read, write and close, as a user-mode
// process reaches a driver through the platform.
//
// Every request is a threaded request with its own event and status block: the I/O manager
// (io_request.cpp) finishes it in a kernel APC to the calling thread once its completion walk
// reaches the top, copying buffered output back by the information count and releasing the system
// buffer and the MDLs. A request that fails without pending is not finished that way: its status
// is the one IoCallDriver returned.
//
// Devices being deleted: the platform fails an open of a device that is being deleted or is still
// initializing (DO_DEVICE_INITIALIZING) with STATUS_NO_SUCH_DEVICE. A handle opened before the
// device was deleted gets STATUS_DELETE_PENDING for every further request without its driver being
// called, and closing it releases the file object without cleanup and close requests: the host
// kernel's driver may be gone by then.
#include <string>

#include "host/hostk/client.h"
#include "host/hostk/io.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/hostk/pool.h"
#include "host/hostk/raise.h"
#include "host/hostk/registry.h"
#include "host/ntstatus.h"
#include "io_internal.h"
#include "io_request_verifier.h"
#include "pnp_internal.h"

namespace hostk {
namespace {

const ObjectType kFileType = {"File", nullptr};

constexpr ULONG kFileOpenDisposition = 0x00000001;  // FILE_OPEN
constexpr CSHORT kIoTypeFile = 5;

constexpr size_t AlignUp(size_t value) { return (value + 15) & ~(size_t)15; }

// One request's completion state; lives on the caller's stack until the request is finished.
struct Completion {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
};

// The file name lives in the same object as the file, so it goes when the last reference goes.
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, const std::u16string& name) {
  size_t nameOffset = AlignUp(sizeof(FILE_OBJECT));
  size_t nameBytes = name.size() * sizeof(WCHAR);
  PFILE_OBJECT file =
      (PFILE_OBJECT)ObCreateObject(&kFileType, nameOffset + nameBytes + sizeof(WCHAR));
  file->Type = kIoTypeFile;
  file->Size = (CSHORT)sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->FileName.Buffer = (PWCH)((char*)file + nameOffset);
  memcpy(file->FileName.Buffer, name.data(), nameBytes);
  file->FileName.Length = (USHORT)nameBytes;
  file->FileName.MaximumLength = (USHORT)(nameBytes + sizeof(WCHAR));
  return file;
}

PIRP NewRequest(PDEVICE_OBJECT target, PFILE_OBJECT file, UCHAR major, Completion* completion) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  KeInitializeEvent(&completion->event, NotificationEvent, FALSE);
  completion->iosb.Status = STATUS_PENDING;
  completion->iosb.Information = 0;
  irp->RequestorMode = UserMode;
  irp->UserEvent = &completion->event;
  irp->UserIosb = &completion->iosb;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = file;
  return irp;
}

// Sends a built request and waits for its end when the driver leaves it pending. A request that
// did not pend was finished before IoCallDriver returned (IoCallDriver stops a dispatch routine
// that says otherwise); when it failed, the I/O manager wrote nothing back, so its status is the
// one IoCallDriver returned and nothing was transferred.
NTSTATUS Send(PDEVICE_OBJECT target, PIRP irp, Completion* completion, ULONG_PTR* information) {
  IoMarkIrpThreaded(irp);
  NTSTATUS status = IofCallDriver(target, irp);
  ULONG_PTR transferred = 0;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&completion->event, Executive, KernelMode, FALSE, nullptr);
    status = completion->iosb.Status;
    transferred = completion->iosb.Information;
  } else if (KeReadStateEvent(&completion->event) != 0) {
    transferred = completion->iosb.Information;
  }
  if (information != nullptr) *information = transferred;
  return status;
}

NTSTATUS AttachControlBuffers(PIRP irp, ULONG code, const void* input, ULONG inputLength,
                              void* output, ULONG outputLength) {
  irp->UserBuffer = output;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED: {
      ULONG size = inputLength > outputLength ? inputLength : outputLength;
      return IoAttachSystemBuffer(irp, size, input, inputLength, outputLength > 0);
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
      NTSTATUS status = IoAttachSystemBuffer(irp, inputLength, input, inputLength, false);
      if (!NT_SUCCESS(status)) return status;
      LOCK_OPERATION operation =
          METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
      return output == nullptr ? STATUS_SUCCESS
                               : IoLockCallerBuffer(irp, output, outputLength, UserMode, operation);
    }
    default:
      IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = (PVOID)input;
      return STATUS_SUCCESS;
  }
}

NTSTATUS AttachTransferBuffer(PIRP irp, PDEVICE_OBJECT target, void* buffer, ULONG length,
                              bool read) {
  irp->UserBuffer = buffer;
  if (target->Flags & DO_BUFFERED_IO) {
    return IoAttachSystemBuffer(irp, length, buffer, read ? 0 : length, read);
  }
  if (target->Flags & DO_DIRECT_IO) {
    return IoLockCallerBuffer(irp, buffer, length, UserMode, read ? IoWriteAccess : IoReadAccess);
  }
  return STATUS_SUCCESS;
}

// Every device from `device` up to the top of its stack must be ready for opens.
bool StackOpenable(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
    if (IoIsDeviceDeleted(d) || (d->Flags & DO_DEVICE_INITIALIZING)) return false;
  }
  return true;
}

// The device a name opens, referenced, with the reference string of an interface.
NTSTATUS ResolveName(const std::string& name, PDEVICE_OBJECT* device,
                     std::string* referenceString) {
  std::string link = name;
  if (link.compare(0, 4, "\\\\?\\") == 0) link = "\\??\\" + link.substr(4);
  if (IoReferenceEnabledInterface(link, device, referenceString)) return STATUS_SUCCESS;
  PDEVICE_OBJECT named = IoFindDeviceByName(name);
  if (named == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  ObfReferenceObject(named);
  *device = named;
  referenceString->clear();
  return STATUS_SUCCESS;
}

void RequireClientIrql(const char* what) { RequireIrqlAtMost(PASSIVE_LEVEL, what); }

}  // namespace

Client::Client() = default;

Client::~Client() {
  for (;;) {
    HANDLE handle;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (open_.empty()) return;
      handle = (HANDLE)open_.begin()->first;
    }
    Close(handle);
  }
}

NTSTATUS Client::Open(const std::string& name, HANDLE* handle, const std::string& fileName) {
  RequireClientIrql("Client::Open");
  *handle = nullptr;
  PDEVICE_OBJECT device;
  std::string referenceString;
  NTSTATUS status = ResolveName(name, &device, &referenceString);
  if (!NT_SUCCESS(status)) return status;
  std::string path = referenceString.empty() ? fileName : "\\" + referenceString + fileName;
  status = OpenReferenced(device, handle, path);
  ObfDereferenceObject(device);
  return status;
}

NTSTATUS Client::OpenDevice(PDEVICE_OBJECT device, HANDLE* handle, const std::string& fileName) {
  RequireClientIrql("Client::OpenDevice");
  *handle = nullptr;
  return OpenReferenced(device, handle, fileName);
}

NTSTATUS Client::OpenReferenced(PDEVICE_OBJECT device, HANDLE* handle, const std::string& path) {
  if (!StackOpenable(device)) return STATUS_NO_SUCH_DEVICE;
  ObfReferenceObject(device);
  PDEVICE_OBJECT target = IoGetAttachedDeviceReference(device);
  PFILE_OBJECT file = NewFileObject(device, Utf8ToUtf16(path));
  Completion completion;
  PIRP irp = NewRequest(target, file, IRP_MJ_CREATE, &completion);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != nullptr) {
    IoGetNextIrpStackLocation(irp)->Parameters.Create.Options = kFileOpenDisposition << 24;
    status = Send(target, irp, &completion, nullptr);
  }
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(file);
    ObfDereferenceObject(target);
    ObfDereferenceObject(device);
    return status;
  }
  std::lock_guard<std::mutex> guard(lock_);
  ULONG_PTR value = nextHandle_;
  nextHandle_ += 4;
  open_[value] = OpenFile{file, device, target};
  PnpNoteHandleOpened(device);
  *handle = (HANDLE)value;
  return status;
}

bool Client::Find(HANDLE handle, OpenFile* open) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = open_.find((ULONG_PTR)handle);
  if (it == open_.end()) return false;
  // Held for the call, so a Close on another thread cannot free them underneath.
  ObfReferenceObject(it->second.file);
  ObfReferenceObject(it->second.target);
  *open = it->second;
  return true;
}

NTSTATUS Client::Issue(HANDLE handle, UCHAR major, const Builder& build,
                       ULONG_PTR* information) {
  if (information != nullptr) *information = 0;
  OpenFile open;
  if (!Find(handle, &open)) return STATUS_INVALID_HANDLE;
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (!IoIsDeviceDeleted(open.target)) {
    Completion completion;
    PIRP irp = NewRequest(open.target, open.file, major, &completion);
    status = irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : build(irp, open);
    if (NT_SUCCESS(status)) {
      status = Send(open.target, irp, &completion, information);
    } else if (irp != nullptr) {
      IoFreeUnsentRequest(irp);
    }
  }
  ObfDereferenceObject(open.target);
  ObfDereferenceObject(open.file);
  return status;
}

NTSTATUS Client::DeviceControl(HANDLE handle, ULONG code, const void* input, ULONG inputLength,
                               void* output, ULONG outputLength, ULONG_PTR* information) {
  RequireClientIrql("Client::DeviceControl");
  auto build = [&](PIRP irp, const OpenFile&) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    return AttachControlBuffers(irp, code, input, inputLength, output, outputLength);
  };
  return Issue(handle, IRP_MJ_DEVICE_CONTROL, build, information);
}

NTSTATUS Client::Read(HANDLE handle, void* buffer, ULONG length, ULONG_PTR* information) {
  RequireClientIrql("Client::Read");
  return Transfer(handle, IRP_MJ_READ, buffer, length, information);
}

NTSTATUS Client::Write(HANDLE handle, const void* buffer, ULONG length, ULONG_PTR* information) {
  RequireClientIrql("Client::Write");
  return Transfer(handle, IRP_MJ_WRITE, (void*)buffer, length, information);
}

// Read and write share their parameter layout.
NTSTATUS Client::Transfer(HANDLE handle, UCHAR major, void* buffer, ULONG length,
                          ULONG_PTR* information) {
  auto build = [&](PIRP irp, const OpenFile& open) {
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Read.Length = length;
    stack->Parameters.Read.ByteOffset = open.file->CurrentByteOffset;
    return AttachTransferBuffer(irp, open.target, buffer, length, major == IRP_MJ_READ);
  };
  return Issue(handle, major, build, information);
}

NTSTATUS Client::Close(HANDLE handle) {
  RequireClientIrql("Client::Close");
  OpenFile open;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = open_.find((ULONG_PTR)handle);
    if (it == open_.end()) return STATUS_INVALID_HANDLE;
    open = it->second;
    open_.erase(it);
  }
  // The driver's answers do not matter: a close cannot fail once the handle was valid.
  for (UCHAR major : {(UCHAR)IRP_MJ_CLEANUP, (UCHAR)IRP_MJ_CLOSE}) {
    if (IoIsDeviceDeleted(open.target)) break;
    Completion completion;
    PIRP irp = NewRequest(open.target, open.file, major, &completion);
    if (irp != nullptr) Send(open.target, irp, &completion, nullptr);
  }
  PnpNoteHandleClosed(open.device);
  ObfDereferenceObject(open.file);
  ObfDereferenceObject(open.target);
  ObfDereferenceObject(open.device);
  return STATUS_SUCCESS;
}

size_t Client::OpenHandleCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return open_.size();
}

PFILE_OBJECT Client::FileObjectOf(HANDLE handle) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = open_.find((ULONG_PTR)handle);
  return it == open_.end() ? nullptr : it->second.file;
}

}  // namespace hostk
