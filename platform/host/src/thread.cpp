// System threads and attached test threads: kernel thread objects, creation, termination, handles.
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <thread>

#include "host/hostk/allocation_sites.h"
#include "host/hostk/bugcheck.h"
#include "host/hostk/clock.h"
#include "host/hostk/irql.h"
#include "host/hostk/object.h"
#include "host/hostk/raise.h"
#include "host/ntstatus.h"
#include "scheduler.h"
#include "thread_environment.h"

#if defined(__i386__)
#include "host/hostk/driver_image.h"
#endif

namespace hostk {
namespace {

const ObjectType kThreadType = {"Thread", nullptr};
POBJECT_TYPE gThreadType = (POBJECT_TYPE)&kThreadType;

// PsTerminateSystemThread unwinds to the thread's start with this.
struct ThreadExit {
  NTSTATUS status;
};

PKTHREAD NewThreadObject(HostThread* host, bool systemThread) {
  PKTHREAD thread = (PKTHREAD)ObCreateObject(&kThreadType, sizeof(_KTHREAD));
  thread->Header.Type = kThreadObject;
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->Host = host;
  thread->Priority = 8;
  thread->SystemThread = systemThread ? TRUE : FALSE;
  return thread;
}

// Marks the thread ended: its object is signalled and it leaves the managed set.
void EndThread(HostThread* host, NTSTATUS status, bool systemThread) {
  PKTHREAD thread = host->kthread;
  DeliverKernelApcs();
  LONGLONG processorTime = systemThread ? CurrentThreadProcessorTime() : 0;
  std::deque<KernelApc> late;  // queued after the delivery above: run here, on the way out
  {
    auto lock = LockScheduler();
    late = TakeKernelApcs(lock, host);
    thread->ExitStatus = status;
    thread->Host = nullptr;
    thread->Header.SignalState = 1;
    WakeSatisfiedWaiters(lock);
    UnregisterThread(lock, host);
    if (systemThread) NoteSystemThreadEnded(lock, processorTime);
  }
  SetCurrentHostThread(nullptr);
  for (const KernelApc& apc : late) apc.routine(apc.context);
  ObfDereferenceObject(thread);
  delete host;
  LeaveThreadEnvironment();
}

void CheckCleanExit(const HostThread* host) {
  if (host->spinLocksHeld > 0) {
    BugCheckF(kDriverVerifierDetectedViolation, "thread \"%s\" ended holding %d spin lock(s)",
              host->name.c_str(), host->spinLocksHeld);
  }
  if (host->mutexesHeld > 0) {
    BugCheckF(kThreadNotMutexOwner, "thread \"%s\" ended owning %d mutex(es)", host->name.c_str(),
              host->mutexesHeld);
  }
  if (host->extendedStateSaves != nullptr) {
    BugCheckF(kDriverVerifierDetectedViolation,
              "thread \"%s\" ended with an extended processor state saved and not restored",
              host->name.c_str());
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    BugCheckF(kDriverVerifierDetectedViolation, "thread \"%s\" ended at IRQL %u",
              host->name.c_str(), (unsigned)KeGetCurrentIrql());
  }
}

// A system thread's start routine has the platform's calling convention, the host's own threads
// the host's: the body hides which.
void ManagedThreadMain(HostThread* host, bool systemThread, std::function<void()> body) {
  {
    auto lock = LockScheduler();
    host->hasProcessorClock = pthread_getcpuclockid(pthread_self(), &host->processorClock) == 0;
  }
  // Named as the host knows it (cut to the 15 characters Linux keeps), for debuggers and profilers.
  pthread_setname_np(pthread_self(), host->name.substr(0, 15).c_str());
  SetCurrentHostThread(host);
  EnterThreadEnvironment();
  NTSTATUS status = STATUS_SUCCESS;
  try {
    body();
  } catch (const ThreadExit& exit) {
    status = exit.status;
  } catch (const RaisedStatus& raised) {
    BugCheckF(kKmodeExceptionNotHandled,
              "thread \"%s\": structured exception 0x%08X raised outside a guard",
              host->name.c_str(), (unsigned)raised.status);
  }
  CheckCleanExit(host);
  EndThread(host, status, systemThread);
}

#if defined(__i386__)
// Code of a driver image has no unwind tables, so PsTerminateSystemThread called from it cannot
// throw through its frames: the start saves a point to come back to, and the thread's exit is
// thrown from there, with only host frames below. (The image's frames are abandoned, as the
// platform abandons a terminated thread's stack.)
thread_local jmp_buf* tImageExitPoint = nullptr;
thread_local NTSTATUS tImageExitStatus = STATUS_SUCCESS;

void RunStartRoutine(PKSTART_ROUTINE start, PVOID context) {
  jmp_buf exitPoint;
  tImageExitPoint = &exitPoint;
  if (setjmp(exitPoint) != 0) {
    tImageExitPoint = nullptr;
    throw ThreadExit{tImageExitStatus};
  }
  start(context);
  tImageExitPoint = nullptr;
}

[[noreturn]] void ExitToStart(NTSTATUS status) {
  tImageExitStatus = status;
  longjmp(*tImageExitPoint, 1);
}

bool CalledFromImage(const void* returnAddress) {
  return tImageExitPoint != nullptr && IsDriverImageAddress(returnAddress);
}
#else
void RunStartRoutine(PKSTART_ROUTINE start, PVOID context) { start(context); }
[[noreturn]] void ExitToStart(NTSTATUS) { __builtin_trap(); }
bool CalledFromImage(const void*) { return false; }
#endif

// A new managed thread, counted as running before the caller goes on so that the clock cannot move
// before it gets to run.
HANDLE StartManagedThread(const char* name, bool systemThread, std::function<void()> body,
                          bool wantHandle, PKTHREAD* object = nullptr) {
  HostThread* host = new HostThread;
  host->name = name;
  host->service = !systemThread;
  host->systemProcess = true;
  host->kthread = NewThreadObject(host, systemThread);
  HANDLE handle = wantHandle ? ObInsertHandle(host->kthread) : nullptr;
  if (object != nullptr) {
    ObfReferenceObject(host->kthread);
    *object = host->kthread;
  }
  {
    auto lock = LockScheduler();
    RegisterRunningThread(lock, host);
    if (systemThread) NoteSystemThreadStarted(lock);
  }
  std::thread(ManagedThreadMain, host, systemThread, std::move(body)).detach();
  return handle;
}

// Unmanaged threads get a thread object on first use, dropped when the thread ends.
struct UnmanagedThreadObject {
  PKTHREAD thread = nullptr;
  ~UnmanagedThreadObject() {
    if (thread != nullptr) ObfDereferenceObject(thread);
  }
};
thread_local UnmanagedThreadObject tUnmanaged;

// An attached thread that ends without leaving is detached on its way out.
struct AttachGuard {
  ~AttachGuard() {
    if (CurrentHostThread() != nullptr) DetachCurrentThread();
  }
};
thread_local AttachGuard tAttachGuard;

}  // namespace

PKTHREAD CurrentKThread() {
  if (HostThread* host = CurrentHostThread()) return host->kthread;
  if (tUnmanaged.thread == nullptr) tUnmanaged.thread = NewThreadObject(nullptr, false);
  return tUnmanaged.thread;
}

void AttachCurrentThread(const char* name) {
  if (CurrentHostThread() != nullptr) {
    BugCheckF(kDriverVerifierDetectedViolation, "thread \"%s\" attached twice", name);
  }
  (void)&tAttachGuard;
  HostThread* host = new HostThread;
  host->name = name;
  host->kthread = NewThreadObject(host, false);
  {
    auto lock = LockScheduler();
    RegisterRunningThread(lock, host);
    SetCurrentHostThread(host);
  }
  EnterThreadEnvironment();
}

void DetachCurrentThread() {
  HostThread* host = CurrentHostThread();
  if (host == nullptr) return;
  EndThread(host, STATUS_SUCCESS, false);
}

bool IsCurrentThreadManaged() { return CurrentHostThread() != nullptr; }

void StartHostThread(const char* name, void (*body)(void* context), void* context) {
  StartManagedThread(name, false, [body, context] { body(context); }, false);
}

PKTHREAD StartHostThreadObject(const char* name, void (*body)(void* context), void* context) {
  PKTHREAD thread = nullptr;
  StartManagedThread(name, false, [body, context] { body(context); }, false, &thread);
  return thread;
}

}  // namespace hostk

using namespace hostk;

POBJECT_TYPE* PsThreadType = &gThreadType;

PKTHREAD NTAPI KeGetCurrentThread(void) { return CurrentKThread(); }
PETHREAD NTAPI PsGetCurrentThread(void) { return CurrentKThread(); }

namespace {
std::atomic<uint64_t> threadCreationsUntilFailure{0};
}  // namespace

void hostk::PsFailThreadCreation(uint64_t n) { threadCreationsUntilFailure = n; }

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, struct _OBJECT_ATTRIBUTES*,
                                    HANDLE, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  if (hostk::AllocationSiteCallFails()) return STATUS_INSUFFICIENT_RESOURCES;
  RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
  uint64_t left = threadCreationsUntilFailure.load();
  while (left != 0 && !threadCreationsUntilFailure.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) return STATUS_INSUFFICIENT_RESOURCES;
  static LONG nextId = 0;
  LONG id = __atomic_add_fetch(&nextId, 1, __ATOMIC_RELAXED);
  char name[32];
  snprintf(name, sizeof name, "system thread %d", (int)id);
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = (HANDLE)(ULONG_PTR)4;  // the System process
    ClientId->UniqueThread = (HANDLE)(ULONG_PTR)(0x1000 + 4 * id);
  }
  *ThreadHandle = StartManagedThread(
      name, true, [StartRoutine, StartContext] { RunStartRoutine(StartRoutine, StartContext); },
      true);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  PKTHREAD thread = CurrentKThread();
  if (!thread->SystemThread) return STATUS_INVALID_PARAMETER;
  if (CalledFromImage(__builtin_return_address(0))) ExitToStart(ExitStatus);
  throw ThreadExit{ExitStatus};
}

KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  KPRIORITY old = Thread->Priority;
  Thread->Priority = Priority;
  return old;
}

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  NTSTATUS status = ObReferenceByHandle(Handle, (const hostk::ObjectType*)ObjectType, Object);
  if (NT_SUCCESS(status) && HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return status;
}
