// KxCallGuarded for 32-bit x86 GCC, which has no __try/__except. It does by hand what the platform's
// compilers do for __try/__except(EXCEPTION_EXECUTE_HANDLER):
//
//  - x86 Windows finds exception handlers through a chain of registration records that live on the
//    stack, newest first, headed by fs:[0] (the thread's NT_TIB.ExceptionList). Each record is
//    { Next, Handler }. The dispatcher calls each Handler with the exception and the record's
//    address (the "establisher frame") until one does not answer ExceptionContinueSearch.
//  - The handler that takes the exception first has RtlUnwind remove every record above its own,
//    calling each of their handlers once more with the unwind flag so that they can clean up, and
//    then resumes its function at the point it chose.
//  - A handler called with an unwind flag (EXCEPTION_UNWINDING, EXCEPTION_EXIT_UNWIND) is being told
//    that its frame is going away; it must not take the exception then.
//
// The resume point is a context of our own saved by a small setjmp (KxGuardSave) and restored by a
// small longjmp at the end of UnwindAndResume. No host test can run this code: it is kept short,
// and each step says which rule above it follows.
#include "platform/seh.h"

#if !defined(_MSC_VER)  // MSVC takes the __try/__except in seh.h

#if !defined(__i386__)
#error "this guard is for 32-bit x86 only; other targets unwind through tables, not fs:[0]"
#endif

namespace {

// The callee-saved registers, the stack pointer and the return address of KxGuardSave's caller:
// all it takes to return from KxGuardSave a second time. The offsets are used by the assembly.
struct JumpBuffer {
  ULONG Ebx;  // 0
  ULONG Esi;  // 4
  ULONG Edi;  // 8
  ULONG Ebp;  // 12
  ULONG Esp;  // 16
  ULONG Eip;  // 20
};

// The platform's EXCEPTION_REGISTRATION_RECORD; the mingw-w64 kernel headers do not declare it.
struct Registration {
  Registration* Next;
  PEXCEPTION_ROUTINE Handler;
};

// One guard, on the stack of KxCallGuarded. The record comes first: the dispatcher hands the
// handler the record's address, and the handler finds the rest of the guard from it.
struct GuardFrame {
  Registration Record;
  JumpBuffer Resume;
  // Set after KxGuardSave returned and read after it returned again: volatile, as setjmp requires.
  volatile NTSTATUS Code;
};

constexpr ULONG kExceptionUnwinding = 0x2;
constexpr ULONG kExceptionExitUnwind = 0x4;

}  // namespace

// Answers 0 when called; answers 1 when UnwindAndResume returns through the saved context.
extern "C" int KxGuardSave(JumpBuffer* buffer) __asm__("_KxGuardSave") __attribute__((returns_twice));

// cdecl: the argument stays on the caller's stack, so the caller's stack pointer after the return is
// the one at the call plus the return address.
__asm__(
    ".text\n"
    ".globl _KxGuardSave\n"
    "_KxGuardSave:\n"
    "  movl 4(%esp), %ecx\n"   // the buffer
    "  movl %ebx, 0(%ecx)\n"
    "  movl %esi, 4(%ecx)\n"
    "  movl %edi, 8(%ecx)\n"
    "  movl %ebp, 12(%ecx)\n"
    "  leal 4(%esp), %edx\n"   // the caller's stack pointer once this returns
    "  movl %edx, 16(%ecx)\n"
    "  movl (%esp), %edx\n"    // the return address
    "  movl %edx, 20(%ecx)\n"
    "  xorl %eax, %eax\n"
    "  ret\n");

// The platform exports it from ntoskrnl.exe; the mingw-w64 kernel headers do not declare it.
extern "C" NTSYSAPI VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp,
                                         PEXCEPTION_RECORD ExceptionRecord, PVOID ReturnValue);

namespace {

Registration* ReadExceptionList() {
  Registration* head;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head) : : "memory");
  return head;
}

// "memory": the record must be complete before the dispatcher can find it, and stay until it
// cannot.
void WriteExceptionList(Registration* head) {
  __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

// RtlUnwind(frame, resume point, record, 0), then the longjmp. On x86 RtlUnwind returns to the
// instruction after its call with only esp and ebp kept (as the platform's own _global_unwind2
// knows), so the jump buffer is kept on the stack across the call, and TargetIp names that same
// instruction. When it returns, fs:[0] is our record again; KxCallGuarded removes it.
[[noreturn]] void UnwindAndResume(GuardFrame* frame, PEXCEPTION_RECORD record) {
  __asm__ __volatile__(
      "pushl %[resume]\n\t"
      "pushl $0\n\t"          // ReturnValue
      "pushl %[record]\n\t"   // ExceptionRecord
      "pushl $1f\n\t"         // TargetIp
      "pushl %[frame]\n\t"    // TargetFrame: stop at our record, keeping it
      "call *%[unwind]\n"
      "1:\n\t"
      "popl %%ecx\n\t"        // the jump buffer
      "movl 0(%%ecx), %%ebx\n\t"
      "movl 4(%%ecx), %%esi\n\t"
      "movl 8(%%ecx), %%edi\n\t"
      "movl 12(%%ecx), %%ebp\n\t"
      "movl 16(%%ecx), %%esp\n\t"
      "movl $1, %%eax\n\t"    // KxGuardSave answers 1
      "jmp *20(%%ecx)"
      :
      : [resume] "r"(&frame->Resume), [record] "r"(record), [frame] "r"(&frame->Record),
        [unwind] "r"(&RtlUnwind)
      : "memory");
  __builtin_unreachable();
}

EXCEPTION_DISPOSITION NTAPI GuardHandler(struct _EXCEPTION_RECORD* record, PVOID establisherFrame,
                                         struct _CONTEXT*, PVOID) {
  // Our frame is being unwound for a handler further up: nothing of ours to clean up.
  if (record->ExceptionFlags & (kExceptionUnwinding | kExceptionExitUnwind)) {
    return ExceptionContinueSearch;
  }
  GuardFrame* frame = (GuardFrame*)establisherFrame;
  frame->Code = record->ExceptionCode;
  UnwindAndResume(frame, record);
}

}  // namespace

NTSTATUS NTAPI KxCallGuarded(KX_GUARDED_ROUTINE Routine, PVOID Context) {
  GuardFrame frame;
  frame.Record.Next = ReadExceptionList();
  frame.Record.Handler = GuardHandler;
  frame.Code = STATUS_SUCCESS;
  // Registered only once the resume point exists; from here on only Code changes.
  if (KxGuardSave(&frame.Resume) == 0) {
    WriteExceptionList(&frame.Record);
    frame.Code = Routine(Context);
  }
  // Both ways out: the routine returned (its own records are gone), or the handler resumed here
  // after RtlUnwind; either way our record heads the chain.
  WriteExceptionList(frame.Record.Next);
  return frame.Code;
}

#endif  // !defined(_MSC_VER)
