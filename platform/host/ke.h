// Kernel core: IRQL, spin locks, dispatcher objects (events, mutexes, threads), waits, time.
#pragma once

#include "host/list.h"
#include "host/ntdef.h"

// IRQL. KeRaiseIrql and KeLowerIrql are spelled as the x86 headers spell them.
KIRQL NTAPI KeGetCurrentIrql(void);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
#define KeLowerIrql(NewIrql) KfLowerIrql(NewIrql)

// Spin locks: acquiring raises to DISPATCH_LEVEL; the lock cell records its owner.
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock((SpinLock), (NewIrql))

// Dispatcher objects. The header is what waits look at; the host kernel keeps all of its state
// under one scheduler lock.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PETHREAD;
typedef struct _KTHREAD* PRKTHREAD;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;  // SignalState is the count
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

// Fast mutexes raise to APC_LEVEL and are not recursive. As on the platform, Count's lowest bit is
// set while the mutex is free and the waiters are counted above it; the event (a synchronization
// event) wakes one waiter when the mutex is handed over.
typedef struct _FAST_MUTEX {
  volatile LONG Count;
  PKTHREAD Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
} KWAIT_REASON;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  PKTHREAD Thread;
  PVOID Object;
  struct _KWAIT_BLOCK* NextWaitBlock;
  USHORT WaitKey;
  USHORT WaitType;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PRKEVENT Event);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);

VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                              BOOLEAN Wait);
LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

// The processor's extended state (x87, SSE, AVX): kernel code uses those registers only between a
// save and its restore, on one thread, restores in the reverse order of the saves.
#define XSTATE_LEGACY_FLOATING_POINT 0
#define XSTATE_LEGACY_SSE 1
#define XSTATE_GSSE 2

// In the platform's 32-bit x86 layout, where the save overlays the processor's context record.
typedef struct _XSTATE_SAVE {
  union {
    struct {
      ULONG64 Mask;
      ULONG Reserved2;
      struct _XSTATE_SAVE* Prev;
      PVOID Reserved3;
      struct _KTHREAD* Thread;
      PVOID Reserved4;
      UCHAR Level;
    };
    struct {
      ULONG64 Mask;
      ULONG Length;
      ULONG Reserved1;
      PVOID Area;
      ULONG Reserved2;
      PVOID Buffer;
      ULONG Reserved3;
    } XStateContext;
  };
} XSTATE_SAVE, *PXSTATE_SAVE;

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave);
VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave);

// The processors the system runs threads on, and their mask when asked (processor group 0).
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
ULONG NTAPI KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors);

// Time-outs are in 100 ns units: negative relative to now, positive absolute system time, zero
// a test of the state without waiting; NULL waits forever.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                        KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                      PLARGE_INTEGER Interval);
VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

// System time: 100 ns units since 1601-01-01. Interrupt time: 100 ns units since start.
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG NTAPI KeQueryInterruptTime(void);
VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount);
ULONG NTAPI KeQueryTimeIncrement(void);

// Threads and the objects behind handles.
typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* PsThreadType;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

struct _OBJECT_ATTRIBUTES;

#define THREAD_ALL_ACCESS 0x001FFFFF
#define SYNCHRONIZE 0x00100000L

PKTHREAD NTAPI KeGetCurrentThread(void);
PETHREAD NTAPI PsGetCurrentThread(void);
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                    struct _OBJECT_ATTRIBUTES* ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                    PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
