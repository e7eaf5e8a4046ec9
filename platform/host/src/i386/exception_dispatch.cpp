// The dispatcher and RtlUnwind for code of a driver image, following the platform's rules for
// 32-bit x86: registrations are { Next, Handler } records on the thread's stack, newest first from
// fs:[0], ending with 0xFFFFFFFF; each must lie on the thread's stack, 4-byte aligned, else the
// chain is corrupt; a handler answers ExceptionContinueSearch (0) to pass. Nested and collided
// unwinds (a handler raising again) are not supported here and end in a bug check that says so.
#include "exception_dispatch.h"

#include <atomic>

#include "host/hostk/bugcheck.h"
#include "host/hostk/driver_image.h"

namespace hostk {
namespace {

struct Registration {
  Registration* next;
  void* handler;
};

Registration* const kEndOfChain = (Registration*)0xFFFFFFFF;

std::atomic<uint64_t> gDispatched{0};

constexpr ULONG kExceptionContinueExecution = 0;
constexpr ULONG kExceptionContinueSearch = 1;
constexpr ULONG kExceptionUnwinding = 0x2;
constexpr ULONG kExceptionExitUnwind = 0x4;
constexpr NTSTATUS kStatusUnwind = (NTSTATUS)0xC0000027;

// The platform's 32-bit CONTEXT: the handlers get one, the image's guard does not read it.
struct Context32 {
  ULONG contextFlags;
  uint8_t rest[0x2CC - 4];
};
constexpr ULONG kContextI386Control = 0x10001;

Registration* ReadExceptionList() {
  Registration* head;
  __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head) : : "memory");
  return head;
}

void WriteExceptionList(Registration* head) {
  __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

void CheckOnStack(const Registration* record) {
  ThreadInformationBlock* block = CurrentThreadInformationBlock();
  if (block == nullptr) {
    BugCheckF(kKmodeExceptionNotHandled, "exception dispatch on a thread without an fs segment");
  }
  if ((const void*)record < block->stackLimit || (const void*)(record + 1) > block->stackBase ||
      ((uintptr_t)record & 3) != 0) {
    BugCheckParamsF(kKmodeExceptionNotHandled, (ULONG_PTR)record, 0, 0, 0,
                    "exception registration %p is not on the thread's stack: the chain at fs:[0] "
                    "is corrupt", (const void*)record);
  }
}

}  // namespace
}  // namespace hostk

// Calls handler(record, frame, context, dispatcherContext) and restores the stack pointer after it
// whatever it popped: the platform calls handlers so that cdecl and stdcall ones both work.
extern "C" ULONG KxCallExceptionHandler(void* handler, void* record, void* frame, void* context,
                                        void* dispatcherContext);
__asm__(
    ".text\n"
    ".globl KxCallExceptionHandler\n"
    "KxCallExceptionHandler:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl 24(%ebp)\n"
    "  pushl 20(%ebp)\n"
    "  pushl 16(%ebp)\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

namespace hostk {

uint64_t ImageExceptionsDispatched() { return gDispatched.load(); }

void DispatchToImage(NTSTATUS status, void* address, std::initializer_list<ULONG_PTR> information) {
  gDispatched++;
  ExceptionRecord32 record = {(ULONG)status, 0, nullptr, address, 0, {}};
  for (ULONG_PTR value : information) {
    if (record.NumberParameters == 15) break;
    record.ExceptionInformation[record.NumberParameters++] = value;
  }
  Context32 context = {};
  context.contextFlags = kContextI386Control;
  for (Registration* r = ReadExceptionList(); r != kEndOfChain; r = r->next) {
    CheckOnStack(r);
    ULONG disposition = KxCallExceptionHandler(r->handler, &record, r, &context, nullptr);
    if (disposition == kExceptionContinueSearch) continue;
    if (disposition == kExceptionContinueExecution) {
      BugCheckF(kKmodeExceptionNotHandled,
                "handler %p asked to continue after structured exception 0x%08X, which the host "
                "kernel raised as not continuable", r->handler, (unsigned)status);
    }
    BugCheckF(kKmodeExceptionNotHandled,
              "handler %p answered %u to structured exception 0x%08X (nested or collided "
              "exceptions are not supported)", r->handler, (unsigned)disposition,
              (unsigned)status);
  }
  BugCheckParamsF(kKmodeExceptionNotHandled, (ULONG_PTR)status, (ULONG_PTR)address, 0, 0,
                  "structured exception 0x%08X raised under the image's call at %p, outside any "
                  "guard", (unsigned)status, address);
}

}  // namespace hostk

using namespace hostk;

extern "C" VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp,
                                ExceptionRecord32* ExceptionRecord, PVOID) {
  if (TargetIp != nullptr && TargetIp != __builtin_return_address(0)) {
    BugCheckF(kKmodeExceptionNotHandled,
              "RtlUnwind to %p, not to its return address %p: not supported", TargetIp,
              __builtin_return_address(0));
  }
  ExceptionRecord32 record = {(ULONG)kStatusUnwind, 0, nullptr, __builtin_return_address(0), 0, {}};
  if (ExceptionRecord != nullptr) record = *ExceptionRecord;
  record.ExceptionFlags |= kExceptionUnwinding | (TargetFrame == nullptr ? kExceptionExitUnwind : 0);
  Context32 context = {};
  context.contextFlags = kContextI386Control;
  Registration* target = (Registration*)TargetFrame;
  Registration* r = ReadExceptionList();
  while (r != target && r != kEndOfChain) {
    CheckOnStack(r);
    ULONG disposition = KxCallExceptionHandler(r->handler, &record, r, &context, nullptr);
    if (disposition != kExceptionContinueSearch) {
      BugCheckF(kKmodeExceptionNotHandled,
                "handler %p answered %u while unwinding (collided unwinds are not supported)",
                r->handler, (unsigned)disposition);
    }
    r = r->next;
    WriteExceptionList(r);
  }
  if (r != target && target != nullptr) {
    BugCheckF(kKmodeExceptionNotHandled, "RtlUnwind's target frame %p is not on the chain",
              TargetFrame);
  }
}
