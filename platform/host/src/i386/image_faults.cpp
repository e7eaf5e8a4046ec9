// Faults of an image's code. On the platform, an access violation in kernel code (a user address
// the probe let through whose page is gone by the copy) is an exception like a raised status: it
// goes to the handlers on the thread's chain at fs:[0]. Here the processor's fault arrives as
// SIGSEGV or SIGBUS; when the faulting instruction is an image's, or the memcpy or memset it
// called (the platform's own, on the platform), on a managed thread, the handler turns the thread
// aside to the same dispatch that raised statuses take, in the thread's ordinary context: the
// signal returns first, then the dispatch runs on the faulting stack as if the faulting
// instruction had called it. Every other fault goes where it went before.
#include <signal.h>
#include <ucontext.h>

#include <mutex>

#include "boundary_routines.h"
#include "exception_dispatch.h"
#include "host/hostk/driver_image.h"
#include "host/ntstatus.h"
#include "image_internal.h"
#include "../thread_environment.h"

namespace hostk {
namespace {

// The page fault's error code: bit 1 set for a write.
constexpr greg_t kPageFaultWrite = 2;

struct sigaction gPreviousSegv;
struct sigaction gPreviousBus;

}  // namespace
}  // namespace hostk

// The dispatch, entered from KxImageFaultTrampoline with the faulting instruction as its return
// address; the record says, as the platform's does, whether the instruction wrote and where.
extern "C" __attribute__((visibility("hidden"), noreturn, used)) void KxImageAccessViolation(
    void* touched, ULONG_PTR write) {
  hostk::DispatchToImage(STATUS_ACCESS_VIOLATION, __builtin_return_address(0),
                         {write, (ULONG_PTR)touched});
}

// Where the signal returns to: eax holds the faulting instruction, ecx the address it touched, edx
// 1 for a write. Pushing them makes the call frame of KxImageAccessViolation(touched, write)
// returning to the fault.
extern "C" void KxImageFaultTrampoline();
__asm__(
    ".text\n"
    ".globl KxImageFaultTrampoline\n"
    ".hidden KxImageFaultTrampoline\n"
    ".type KxImageFaultTrampoline, @function\n"
    "KxImageFaultTrampoline:\n"
    "  pushl %edx\n"
    "  pushl %ecx\n"
    "  pushl %eax\n"
    "  jmp KxImageAccessViolation\n"
    ".size KxImageFaultTrampoline, .-KxImageFaultTrampoline\n");

namespace hostk {
namespace {

void Forward(int signal, siginfo_t* info, void* context) {
  const struct sigaction& previous = signal == SIGSEGV ? gPreviousSegv : gPreviousBus;
  if (previous.sa_flags & SA_SIGINFO) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
  } else {
    // The fault happens again on return, and then does what it would have done.
    sigaction(signal, &previous, nullptr);
  }
}

void OnFault(int signal, siginfo_t* info, void* context) {
  ucontext_t* thread = (ucontext_t*)context;
  greg_t* registers = thread->uc_mcontext.gregs;
  const void* instruction = (const void*)registers[REG_EIP];
  bool images = IsDriverImageAddress(instruction) || TakeImageCopyFault();
  if (!images || CurrentThreadInformationBlock() == nullptr) {
    Forward(signal, info, context);
    return;
  }
  registers[REG_EAX] = registers[REG_EIP];
  registers[REG_ECX] = (greg_t)info->si_addr;
  registers[REG_EDX] = (registers[REG_ERR] & kPageFaultWrite) ? 1 : 0;
  registers[REG_EIP] = (greg_t)&KxImageFaultTrampoline;
  KeepSegmentsOverSignalReturn((unsigned)registers[REG_GS] & 0xFFFF);
}

}  // namespace

void CatchImageFaults() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousSegv);
    sigaction(SIGBUS, &action, &gPreviousBus);
  });
}

}  // namespace hostk
