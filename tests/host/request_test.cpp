// Requests through a stack of devices: the completion walk, pending, cancellation, threaded
// requests, and the verifier's rules for requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/kernel_test_util.h"

namespace {

using kxtest::SystemThread;

// Three devices of one test driver stacked bottom to top. What each dispatch routine does is chosen
// per test through `behaviour`.
struct Stack {
  PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxTest");
  PDEVICE_OBJECT devices[3] = {};
  static inline Stack* current = nullptr;
  std::vector<std::string> log;
  // Returns what the dispatch routine at `index` returns.
  NTSTATUS (*behaviour)(Stack& stack, int index, PIRP irp) = nullptr;
  PIRP held = nullptr;  // a request the bottom device keeps pending

  Stack() {
    current = this;
    for (int i = 0; i < 3; i++) {
      EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(int), nullptr, FILE_DEVICE_UNKNOWN,
                                               0, FALSE, &devices[i]));
      *(int*)devices[i]->DeviceExtension = i;
      devices[i]->Flags &= ~DO_DEVICE_INITIALIZING;
      if (i > 0) {
        EXPECT_EQ(devices[i - 1], IoAttachDeviceToDeviceStack(devices[i], devices[0]));
      }
    }
    for (auto& routine : driver->MajorFunction) routine = Dispatch;
  }
  ~Stack() {
    for (int i = 2; i >= 0; i--) {
      if (i > 0) IoDetachDevice(devices[i - 1]);
      IoDeleteDevice(devices[i]);
    }
    hostk::IoDeleteDriverObject(driver);
    current = nullptr;
  }
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    int index = *(int*)device->DeviceExtension;
    current->log.push_back("dispatch " + std::to_string(index));
    return current->behaviour(*current, index, irp);
  }
  PDEVICE_OBJECT Top() const { return devices[2]; }
};

// Passes the request down with a completion routine that logs and propagates pending.
NTSTATUS PassDownLogging(Stack& stack, int index, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT device, PIRP irp, PVOID context) NTAPI -> NTSTATUS {
        Stack* s = (Stack*)context;
        s->log.push_back("completion on device " + std::to_string(*(int*)device->DeviceExtension));
        if (irp->PendingReturned) IoMarkIrpPending(irp);
        return STATUS_CONTINUE_COMPLETION;
      },
      &stack, TRUE, TRUE, TRUE);
  return IoCallDriver(stack.devices[index - 1], irp);
}

NTSTATUS CompleteAtBottom(Stack& stack, int index, PIRP irp) {
  if (index > 0) return PassDownLogging(stack, index, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS PendAtBottom(Stack& stack, int index, PIRP irp) {
  if (index > 0) return PassDownLogging(stack, index, irp);
  IoMarkIrpPending(irp);
  stack.held = irp;
  return STATUS_PENDING;
}

// An originator's request with the originator's own completion routine on the top location.
struct OwnRequest {
  PIRP irp;
  int calls = 0;
  PDEVICE_OBJECT seenDevice = (PDEVICE_OBJECT)1;
  NTSTATUS answer = STATUS_MORE_PROCESSING_REQUIRED;

  explicit OwnRequest(PDEVICE_OBJECT top) {
    irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Done, this, TRUE, TRUE, TRUE);
  }
  static NTSTATUS NTAPI Done(PDEVICE_OBJECT device, PIRP, PVOID context) {
    OwnRequest* self = (OwnRequest*)context;
    self->calls++;
    self->seenDevice = device;
    return self->answer;
  }
};

TEST(Request, CompletionRoutinesRunBottomUpWithTheSettersDevices) {
  Stack stack;
  stack.behaviour = CompleteAtBottom;
  OwnRequest request(stack.Top());
  EXPECT_EQ(3, stack.Top()->StackSize);
  EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(stack.Top(), request.irp));
  std::vector<std::string> expected = {"dispatch 2", "dispatch 1", "dispatch 0",
                                       "completion on device 1", "completion on device 2"};
  EXPECT_EQ(expected, stack.log);
  EXPECT_EQ(1, request.calls);
  EXPECT_EQ(nullptr, request.seenDevice);  // the originator has no stack location of its own
  EXPECT_EQ(7u, request.irp->IoStatus.Information);
  EXPECT_FALSE(request.irp->PendingReturned);
  IoFreeIrp(request.irp);
}

TEST(Request, InvokeFlagsSelectByFinalStatusAndCancel) {
  struct Case {
    BOOLEAN onSuccess, onError, onCancel;
    NTSTATUS status;
    BOOLEAN cancel;
    bool called;
  } cases[] = {
      {TRUE, FALSE, FALSE, STATUS_SUCCESS, FALSE, true},
      {TRUE, FALSE, FALSE, STATUS_UNSUCCESSFUL, FALSE, false},
      {FALSE, TRUE, FALSE, STATUS_UNSUCCESSFUL, FALSE, true},
      {FALSE, TRUE, FALSE, STATUS_SUCCESS, FALSE, false},
      {FALSE, FALSE, TRUE, STATUS_SUCCESS, TRUE, true},
      {FALSE, FALSE, TRUE, STATUS_SUCCESS, FALSE, false},
  };
  for (const Case& c : cases) {
    PDRIVER_OBJECT driver = hostk::IoCreateDriverObject("\\Driver\\KxFlags");
    PDEVICE_OBJECT device;
    ASSERT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    static NTSTATUS finalStatus;
    finalStatus = c.status;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
      irp->IoStatus.Status = finalStatus;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return finalStatus;
    };
    static bool called;
    called = false;
    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->Cancel = c.cancel;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
          called = true;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, c.onSuccess, c.onError, c.onCancel);
    if (c.called) {
      IoCallDriver(device, irp);
      EXPECT_TRUE(called);
      IoFreeIrp(irp);
    } else {
      // Without its routine the walk reaches the top of a request nobody finishes: a bug check.
      EXPECT_DEATH(IoCallDriver(device, irp), "completed to the top");
      irp->Cancel = FALSE;
      IoSetCompletionRoutine(
          irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_MORE_PROCESSING_REQUIRED; },
          nullptr, TRUE, TRUE, TRUE);
      finalStatus = STATUS_SUCCESS;
      IoCallDriver(device, irp);
      IoFreeIrp(irp);
    }
    IoDeleteDevice(device);
    hostk::IoDeleteDriverObject(driver);
  }
}

TEST(Request, PendingBelowMakesPendingReturnedTrueAbove) {
  Stack stack;
  stack.behaviour = PendAtBottom;
  OwnRequest request(stack.Top());
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack.Top(), request.irp));
  EXPECT_EQ(0, request.calls);
  SystemThread completer([&] {
    stack.held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(stack.held, IO_NO_INCREMENT);
  });
  completer.Join();
  EXPECT_EQ(1, request.calls);
  EXPECT_TRUE(request.irp->PendingReturned);
  IoFreeIrp(request.irp);
}

TEST(Request, MoreProcessingStopsTheWalkAndTheOwnerResumesIt) {
  Stack stack;
  stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
    if (index == 0) return CompleteAtBottom(s, index, irp);
    if (index == 1) return PassDownLogging(s, index, irp);
    // The top device forwards and waits, then finishes the request itself.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID event) NTAPI -> NTSTATUS {
          KeSetEvent((PKEVENT)event, IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(s.devices[1], irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    s.log.push_back("top resumes");
    irp->IoStatus.Information = 42;
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  OwnRequest request(stack.Top());
  EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(stack.Top(), request.irp));
  std::vector<std::string> expected = {"dispatch 2", "dispatch 1", "dispatch 0",
                                       "completion on device 1", "top resumes"};
  EXPECT_EQ(expected, stack.log);
  EXPECT_EQ(1, request.calls);
  EXPECT_EQ(42u, request.irp->IoStatus.Information);
  IoFreeIrp(request.irp);
}

TEST(Request, CancelRunsTheCancelRoutineOnceOrOnlySetsTheFlag) {
  Stack stack;
  stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
    if (index > 0) return PassDownLogging(s, index, irp);
    IoMarkIrpPending(irp);
    s.held = irp;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
      IoReleaseCancelSpinLock(irp->CancelIrql);
      Stack::current->log.push_back("cancel on device " +
                                    std::to_string(*(int*)device->DeviceExtension));
      irp->IoStatus.Status = STATUS_CANCELLED;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  };
  OwnRequest request(stack.Top());
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack.Top(), request.irp));
  EXPECT_TRUE(IoCancelIrp(request.irp));
  EXPECT_EQ(STATUS_CANCELLED, request.irp->IoStatus.Status);
  EXPECT_EQ(1, request.calls);
  EXPECT_EQ(1, std::count(stack.log.begin(), stack.log.end(), "cancel on device 0"));
  // Cancelled again, now without a routine: only the flag is set.
  EXPECT_FALSE(IoCancelIrp(request.irp));
  EXPECT_TRUE(request.irp->Cancel);
  IoFreeIrp(request.irp);
}

TEST(Request, ThreadedDeviceControlSignalsItsEventAndCopiesOutputByInformation) {
  Stack stack;
  stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
    if (index > 0) return PassDownLogging(s, index, irp);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, location->MajorFunction);
    char* buffer = (char*)irp->AssociatedIrp.SystemBuffer;
    EXPECT_EQ(0, memcmp(buffer, "in", 2));
    memcpy(buffer, "0123456789", 10);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;  // less than the output buffer
    IoMarkIrpPending(irp);
    s.held = irp;
    return STATUS_PENDING;
  };
  char input[2] = {'i', 'n'};
  char output[10];
  memset(output, '.', sizeof output);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb = {};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                           stack.Top(), input, 2, output, sizeof output, FALSE,
                                           &event, &iosb);
  ASSERT_NE(nullptr, irp);
  EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack.Top(), irp));
  EXPECT_EQ(0, KeReadStateEvent(&event));
  SystemThread completer([&] { IoCompleteRequest(stack.held, IO_NO_INCREMENT); });
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
  EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
  EXPECT_EQ(4u, iosb.Information);
  EXPECT_EQ(std::string("0123......"), std::string(output, sizeof output));
  EXPECT_EQ(0u, hostk::IoLiveIrpCount());  // the I/O manager freed it
}

// What the walk clears in the location it leaves, before the routine above runs, and what it
// leaves: a completion routine may read back the device control's Type3InputBuffer it sent.
TEST(Request, TheWalkClearsEachLocationItLeavesAsThePlatformDoes) {
  Stack stack;
  stack.behaviour = CompleteAtBottom;
  struct Seen {
    PVOID arguments[4] = {(PVOID)1, (PVOID)1, (PVOID)1, nullptr};
    UCHAR major = 0, minor = 0xFF, flags = 0xFF, control = 0xFF;
    PFILE_OBJECT file = (PFILE_OBJECT)1;
    PDEVICE_OBJECT device = nullptr;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    PVOID context = nullptr;
  } seen;
  static const IO_COMPLETION_ROUTINE* const readBack =
      [](PDEVICE_OBJECT, PIRP irp, PVOID context) NTAPI -> NTSTATUS {
    // The originator reads back what it put in the location it sent the request with.
    Seen* s = (Seen*)context;
    PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(irp);
    s->arguments[0] = below->Parameters.Others.Argument1;
    s->arguments[1] = below->Parameters.Others.Argument2;
    s->arguments[2] = below->Parameters.Others.Argument3;
    s->arguments[3] = below->Parameters.DeviceIoControl.Type3InputBuffer;
    s->major = below->MajorFunction;
    s->minor = below->MinorFunction;
    s->flags = below->Flags;
    s->control = below->Control;
    s->file = below->FileObject;
    s->device = below->DeviceObject;
    s->routine = below->CompletionRoutine;
    s->context = below->Context;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  FILE_OBJECT file = {};
  char input[4] = {};
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->MinorFunction = 3;
  next->Flags = 0x02;
  next->FileObject = &file;
  next->Parameters.DeviceIoControl.OutputBufferLength = 8;
  next->Parameters.DeviceIoControl.InputBufferLength = sizeof input;
  next->Parameters.DeviceIoControl.IoControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 7, METHOD_NEITHER, 0);
  next->Parameters.DeviceIoControl.Type3InputBuffer = input;
  IoSetCompletionRoutine(irp, readBack, &seen, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Top(), irp);
  for (int i = 0; i < 3; i++) EXPECT_EQ(nullptr, seen.arguments[i]) << "argument " << i + 1;
  EXPECT_EQ(0, seen.minor);
  EXPECT_EQ(0, seen.flags);
  EXPECT_EQ(0, seen.control);
  EXPECT_EQ(nullptr, seen.file);
  // No more than that: the fourth argument, the major function, the device object and the
  // completion routine with its context survive.
  EXPECT_EQ((PVOID)input, seen.arguments[3]);
  EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, seen.major);
  EXPECT_EQ(stack.Top(), seen.device);
  EXPECT_EQ(readBack, seen.routine);
  EXPECT_EQ((PVOID)&seen, seen.context);
  IoFreeIrp(irp);
}

// A packet from IoAllocateIrp(N) is the header and its N locations, IoSizeOfIrp(N) bytes: location
// 1 right after the header, the top one ending the packet. A driver may reinitialize it in place
// with IoInitializeIrp(irp, IoSizeOfIrp(N), N) and send it again.
TEST(Request, APacketIsItsHeaderThenItsStackAndReinitializesInPlace) {
  for (CCHAR n : {1, 3, 8}) {
    PIRP irp = IoAllocateIrp(n, FALSE);
    EXPECT_EQ(IoSizeOfIrp(n), irp->Size);
    EXPECT_EQ(n, irp->StackCount);
    EXPECT_EQ(n + 1, irp->CurrentLocation);
    EXPECT_EQ((PIO_STACK_LOCATION)(irp + 1) + n - 1, IoGetNextIrpStackLocation(irp)) << (int)n;
    EXPECT_EQ((PCHAR)irp + IoSizeOfIrp(n), (PCHAR)IoGetCurrentIrpStackLocation(irp)) << (int)n;
    IoFreeIrp(irp);
  }

  Stack stack;
  static PIO_STACK_LOCATION bottomLocation;
  stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
    if (index == 0) bottomLocation = IoGetCurrentIrpStackLocation(irp);
    return CompleteAtBottom(s, index, irp);
  };
  CCHAR n = stack.Top()->StackSize;
  PIRP irp = IoAllocateIrp(n, FALSE);
  for (int round = 0; round < 2; round++) {
    bottomLocation = nullptr;
    if (round == 1) IoInitializeIrp(irp, IoSizeOfIrp(n), n);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(stack.Top(), irp)) << "round " << round;
    EXPECT_EQ((PIO_STACK_LOCATION)(irp + 1), bottomLocation) << "round " << round;
    EXPECT_EQ(7u, irp->IoStatus.Information);
  }
  IoFreeIrp(irp);
}

// A threaded request that fails without pending: IoCallDriver's status is the answer, and the
// I/O manager leaves the status block and the event alone. Pending or not failing, both are set.
TEST(Request, ThreadedRequestReportsThroughEventAndStatusBlockUnlessItFailsAtOnce) {
  struct Case {
    NTSTATUS status;
    bool pend;
    bool reported;
  } cases[] = {
      {STATUS_INVALID_PARAMETER, false, false},
      {STATUS_INVALID_PARAMETER, true, true},
      {STATUS_SUCCESS, false, true},
      {STATUS_BUFFER_OVERFLOW, false, true},  // a warning, not an error
  };
  for (const Case& c : cases) {
    Stack stack;
    static const Case* current;
    current = &c;
    stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
      if (index > 0) return PassDownLogging(s, index, irp);
      irp->IoStatus.Status = current->status;
      irp->IoStatus.Information = 0;
      if (!current->pend) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return current->status;
      }
      IoMarkIrpPending(irp);
      s.held = irp;
      return STATUS_PENDING;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x12345678;
    iosb.Information = 99;
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_NEITHER, 0),
                                             stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event,
                                             &iosb);
    NTSTATUS returned = IoCallDriver(stack.Top(), irp);
    if (c.pend) {
      EXPECT_EQ(STATUS_PENDING, returned);
      IoCompleteRequest(stack.held, IO_NO_INCREMENT);
    } else {
      EXPECT_EQ(c.status, returned);
    }
    EXPECT_EQ(c.reported, KeReadStateEvent(&event) != 0) << std::hex << c.status;
    EXPECT_EQ(c.reported ? c.status : 0x12345678, iosb.Status) << std::hex << c.status;
    EXPECT_EQ(c.reported ? 0u : 99u, iosb.Information);
    EXPECT_EQ(0u, hostk::IoLiveIrpCount());  // freed either way
  }
}

// The documented pattern of an originator that wants a location of its own: allocate one more,
// make the first current, and free or reuse the request when it comes back.
TEST(Request, OriginatorsOwnLocationMayBeFreedOrReused) {
  Stack stack;
  stack.behaviour = CompleteAtBottom;
  PIRP irp = IoAllocateIrp((CCHAR)(stack.Top()->StackSize + 1), FALSE);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1 = &stack;
  for (int round = 0; round < 2; round++) {
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(STATUS_SUCCESS, IoCallDriver(stack.Top(), irp));
    EXPECT_EQ(irp->StackCount, irp->CurrentLocation);
    if (round == 0) {
      IoReuseIrp(irp, STATUS_SUCCESS);
      IoSetNextIrpStackLocation(irp);
    }
  }
  IoFreeIrp(irp);
}

// A threaded request held pending at the bottom of the stack, built by the calling thread, and a
// thread (started at once, so the caller may raise its IRQL afterwards) that completes it when
// told to, after `delay`.
struct ThreadedPending {
  Stack stack;
  KEVENT event, go;
  IO_STATUS_BLOCK iosb;
  PIRP irp;
  LONGLONG delay;
  SystemThread<std::function<void()>> completer;
  explicit ThreadedPending(LONGLONG completeAfter = 0)
      : delay(completeAfter), completer((KeInitializeEvent(&go, NotificationEvent, FALSE),
                                         [this] { Complete(); })) {
    stack.behaviour = PendAtBottom;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb.Status = 0x12345678;
    iosb.Information = 0;
    irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 5, METHOD_NEITHER, 0),
                                        stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(STATUS_PENDING, IoCallDriver(stack.Top(), irp));
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  }
  void Complete() {
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    if (delay > 0) kxtest::Sleep(delay);
    stack.held->IoStatus.Status = STATUS_SUCCESS;
    stack.held->IoStatus.Information = 3;
    IoCompleteRequest(stack.held, IO_NO_INCREMENT);
  }
};

// The I/O manager finishes a threaded request in a kernel APC to the thread that built it; the APC
// waits while that thread runs at APC_LEVEL and comes in as soon as it drops below.
TEST(Request, ThreadedRequestIsFinishedInAnApcToItsOriginator) {
  {
    ThreadedPending request;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    request.completer.Join();  // a wait at APC_LEVEL: no APC delivered in it
    EXPECT_EQ(0, KeReadStateEvent(&request.event));
    EXPECT_EQ(0x12345678, request.iosb.Status);
    EXPECT_EQ(1u, hostk::IoLiveIrpCount());
    KeLowerIrql(old);
    EXPECT_EQ(1, KeReadStateEvent(&request.event));
    EXPECT_EQ(STATUS_SUCCESS, request.iosb.Status);
    EXPECT_EQ(3u, request.iosb.Information);
    EXPECT_EQ(0u, hostk::IoLiveIrpCount());
  }

  // A thread waiting below APC_LEVEL takes the APC in the middle of an unrelated wait, which then
  // goes on to its own end.
  ThreadedPending request(kxtest::kSecond);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LONGLONG start = hostk::ClockNow();
  LARGE_INTEGER twoSeconds = kxtest::Relative(2 * kxtest::kSecond);
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &twoSeconds));
  EXPECT_EQ(start + 2 * kxtest::kSecond, hostk::ClockNow());
  EXPECT_EQ(1, KeReadStateEvent(&request.event));
  EXPECT_EQ(0u, hostk::IoLiveIrpCount());
}

// A wait with a time-out inside a fast mutex for a threaded request's event ends as on the
// platform: the completion APC cannot come in at APC_LEVEL, so the wait times out, and the APC
// finishes the request once the mutex is released. Whether the completion comes before the wait
// or during it.
TEST(Request, ATimedWaitAtApcLevelForAThreadedRequestTimesOut) {
  for (bool completedBeforeTheWait : {true, false}) {
    ThreadedPending request(completedBeforeTheWait ? 0 : kxtest::kSecond);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    if (completedBeforeTheWait) request.completer.Join();
    LONGLONG start = hostk::ClockNow();
    LARGE_INTEGER timeout = kxtest::Relative(10 * kxtest::kSecond);
    EXPECT_EQ(STATUS_TIMEOUT,
              KeWaitForSingleObject(&request.event, Executive, KernelMode, FALSE, &timeout));
    EXPECT_GE(hostk::ClockNow() - start, 10 * kxtest::kSecond);
    EXPECT_EQ(0, KeReadStateEvent(&request.event));
    EXPECT_EQ(0x12345678, request.iosb.Status);
    EXPECT_EQ(1u, hostk::IoLiveIrpCount());
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(1, KeReadStateEvent(&request.event)) << completedBeforeTheWait;
    EXPECT_EQ(STATUS_SUCCESS, request.iosb.Status);
    EXPECT_EQ(0u, hostk::IoLiveIrpCount());
  }
}

using RequestDeathTest = testing::Test;

// Waiting without a time-out inside a fast mutex for a threaded request's event never ends on the
// platform: the completion APC is not delivered at APC_LEVEL. Reported whether the completion
// comes before the wait or during it.
TEST_F(RequestDeathTest, WaitingAtApcLevelForAThreadedRequest) {
  EXPECT_DEATH(
      {
        ThreadedPending request;
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        request.completer.Join();
        KeWaitForSingleObject(&request.event, Executive, KernelMode, FALSE, nullptr);
      },
      "HOST_DEADLOCK.*waits at IRQL 1.*kernel APC");
  EXPECT_DEATH(
      {
        ThreadedPending request(kxtest::kSecond);
        FAST_MUTEX mutex;
        ExInitializeFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        KeWaitForSingleObject(&request.event, Executive, KernelMode, FALSE, nullptr);
      },
      "HOST_DEADLOCK.*waits at IRQL 1.*kernel APC");
}

// The verifier's fences lie outside the packet: before its header, past its top location, and in
// the header's own tail that the location below the first overlays. A write there is reported
// when the request is next sent, completed or freed.
TEST_F(RequestDeathTest, WritesOutsideThePacketAreReported) {
  // The current location of a request nobody has sent lies past the packet.
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1 = irp;
        IoFreeIrp(irp);
      },
      "IoFreeIrp.*written past the end of its packet");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(2, FALSE);
        ((volatile UCHAR*)irp)[-1] = 0;
        IoFreeIrp(irp);
      },
      "IoFreeIrp.*written before its header.*at byte 1 before");
  // The location below the first overlays the header's tail: its completion routine and context
  // land in the header's fence, the file object of a copied location on the current location.
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
          if (index > 0) return PassDownLogging(s, index, irp);
          PIO_STACK_LOCATION below = IoGetNextIrpStackLocation(irp);
          below->CompletionRoutine = [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
            return STATUS_CONTINUE_COMPLETION;
          };
          below->Context = nullptr;
          irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
      },
      "IoCompleteRequest.*header was overwritten.*below the first");
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
          if (index > 0) return PassDownLogging(s, index, irp);
          memcpy(IoGetNextIrpStackLocation(irp), IoGetCurrentIrpStackLocation(irp),
                 offsetof(IO_STACK_LOCATION, CompletionRoutine));
          irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
      },
      "IoCompleteRequest.*current stack location does not match");
}

// The helpers that write the next location refuse at location 1, before they write the header.
TEST_F(RequestDeathTest, TheLowestDriverSettingUpALocationBelow) {
  for (bool copy : {true, false}) {
    static bool copyLocation;
    copyLocation = copy;
    EXPECT_DEATH(
        {
          Stack stack;
          stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
            if (index > 0) return PassDownLogging(s, index, irp);
            if (copyLocation) IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_CONTINUE_COMPLETION; },
                &s, TRUE, TRUE, TRUE);
            return STATUS_SUCCESS;
          };
          OwnRequest request(stack.Top());
          IoCallDriver(stack.Top(), request.irp);
        },
        std::string("NO_MORE_IRP_STACK_LOCATIONS.*") +
            (copy ? "IoCopyCurrentIrpStackLocationToNext" : "IoSetCompletionRoutine") +
            " on request .* at stack location 1 of 3");
  }
}

TEST_F(RequestDeathTest, InitializingAPacketBeyondItsSize) {
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoInitializeIrp(irp, IoSizeOfIrp(3), 3);
      },
      "allocated with");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(3, FALSE);
        IoInitializeIrp(irp, IoSizeOfIrp(2), 3);
      },
      "cannot hold 3 stack locations");
}

TEST_F(RequestDeathTest, CompletedTwice) {
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack&, int, PIRP irp) -> NTSTATUS {
          irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
      },
      "MULTIPLE_IRP_COMPLETE_REQUESTS.*completed twice");
}

TEST_F(RequestDeathTest, PendingWithoutMarkAndMarkWithoutPending) {
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack& s, int, PIRP irp) -> NTSTATUS {
          s.held = irp;
          return STATUS_PENDING;  // no IoMarkIrpPending
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
        stack.held->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(stack.held, IO_NO_INCREMENT);
      },
      "returned STATUS_PENDING without IoMarkIrpPending");
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack&, int, PIRP irp) -> NTSTATUS {
          IoMarkIrpPending(irp);
          irp->IoStatus.Status = STATUS_SUCCESS;
          IoCompleteRequest(irp, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
      },
      "marked pending but its dispatch routine returned 0x00000000");
  // A completion routine that drops PendingReturned breaks the rule one level up.
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
          if (index == 0) return PendAtBottom(s, index, irp);
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoSetCompletionRoutine(
              irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_CONTINUE_COMPLETION; },
              nullptr, TRUE, TRUE, TRUE);
          return IoCallDriver(s.devices[index - 1], irp);
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
        stack.held->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(stack.held, IO_NO_INCREMENT);
      },
      "did not propagate");
}

// A driver that passes a request down and answers with a final status while the driver below
// still holds it lets its caller take the request for done: the caller's status block and event
// would be written when the request really ends, long after.
TEST_F(RequestDeathTest, AFinalStatusForARequestStillHeldBelow) {
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = [](Stack& s, int index, PIRP irp) -> NTSTATUS {
          if (index == 0) return PendAtBottom(s, index, irp);
          IoCopyCurrentIrpStackLocationToNext(irp);
          IoCallDriver(s.devices[index - 1], irp);
          return STATUS_SUCCESS;
        };
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
      },
      "location 2 returned 0x00000000, not STATUS_PENDING, for a request that is not completed");
}

TEST_F(RequestDeathTest, OriginatorTakesBackAThreadedRequest) {
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = CompleteAtBottom;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_NEITHER, 0),
                                                 stack.Top(), nullptr, 0, nullptr, 0, TRUE, &event,
                                                 &iosb);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI { return STATUS_MORE_PROCESSING_REQUIRED; },
            nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(stack.Top(), irp);
      },
      "only the I/O manager may finish");
}

TEST_F(RequestDeathTest, FreeingOrCompletingARequestNotOwned) {
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = PendAtBottom;
        OwnRequest request(stack.Top());
        IoCallDriver(stack.Top(), request.irp);
        IoFreeIrp(request.irp);
      },
      "still in use");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "already freed");
  EXPECT_DEATH(
      {
        Stack stack;
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        IoCallDriver(stack.Top(), IoAllocateIrp(3, FALSE));
      },
      "above DISPATCH_LEVEL");
  EXPECT_DEATH(
      {
        Stack stack;
        stack.behaviour = PassDownLogging;
        OwnRequest request(stack.devices[1]);  // one location short for the top device
        IoCallDriver(stack.Top(), request.irp);
      },
      "NO_MORE_IRP_STACK_LOCATIONS");
}

}  // namespace
