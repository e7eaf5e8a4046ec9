// A gate that threads enter and leave while it is open, and that its owner closes and then waits
// for the threads still inside: the frame worker shares a rectangle with its encode threads this
// way, and a detach lets a display child's requests finish before it frees the child's channel.
// A thread that comes to a closed gate is turned away and keeps nobody waiting.
#pragma once

#include "nt.h"

constexpr LONG kEntryGateClosed = 0x40000000;

struct EntryGate {
  LONG State;  // threads inside, plus kEntryGateClosed once closed
  KEVENT Left;  // synchronization: the last thread left a closed gate
};

inline VOID InitializeEntryGate(EntryGate* gate, BOOLEAN open) {
  gate->State = open ? 0 : kEntryGateClosed;
  KeInitializeEvent(&gate->Left, SynchronizationEvent, FALSE);
}

// Only while nobody is inside (the gate is closed and waited out).
inline VOID OpenEntryGate(EntryGate* gate) { InterlockedExchange(&gate->State, 0); }

inline BOOLEAN EnterGate(EntryGate* gate) {
  for (;;) {
    LONG state = InterlockedCompareExchange(&gate->State, 0, 0);
    if (state & kEntryGateClosed) return FALSE;
    if (InterlockedCompareExchange(&gate->State, state + 1, state) == state) return TRUE;
  }
}

inline VOID LeaveGate(EntryGate* gate) {
  if (InterlockedDecrement(&gate->State) == kEntryGateClosed) {
    KeSetEvent(&gate->Left, IO_NO_INCREMENT, FALSE);
  }
}

// Turns later comers away; FALSE when the gate was closed already.
inline BOOLEAN CloseEntryGate(EntryGate* gate) {
  for (;;) {
    LONG state = InterlockedCompareExchange(&gate->State, 0, 0);
    if (state & kEntryGateClosed) return FALSE;
    if (InterlockedCompareExchange(&gate->State, state | kEntryGateClosed, state) == state) {
      return TRUE;
    }
  }
}

inline BOOLEAN IsEntryGateClosed(EntryGate* gate) {
  return (InterlockedCompareExchange(&gate->State, 0, 0) & kEntryGateClosed) != 0;
}

// Returns once every thread that entered a closed gate has left it.
inline VOID WaitGateEmpty(EntryGate* gate) {
  while (InterlockedCompareExchange(&gate->State, 0, 0) != kEntryGateClosed) {
    KeWaitForSingleObject(&gate->Left, Executive, KernelMode, FALSE, NULL);
  }
}
