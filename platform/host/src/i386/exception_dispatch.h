// x86 structured exception dispatch for code of a driver image: a status raised in the host
// kernel while the image's code is on the stack goes to the handlers the image registered on its
// thread's chain at fs:[0], as the platform's dispatcher sends it, instead of unwinding as a C++
// exception through frames that have no unwind tables.
#pragma once

#include <initializer_list>

#include "host/ntdef.h"

namespace hostk {

// The platform's EXCEPTION_RECORD on 32-bit x86.
struct ExceptionRecord32 {
  ULONG ExceptionCode;
  ULONG ExceptionFlags;
  ExceptionRecord32* ExceptionRecord;
  PVOID ExceptionAddress;
  ULONG NumberParameters;
  ULONG_PTR ExceptionInformation[15];
};
static_assert(sizeof(ExceptionRecord32) == 80, "EXCEPTION_RECORD is 80 bytes on 32-bit x86");

// Offers `status` raised at `address` (the image's call into the host) to each registration on
// the calling thread's chain, newest first. A handler that takes it does not return here: it
// unwinds with RtlUnwind and resumes its own function. Nobody taking it is the platform's
// KMODE_EXCEPTION_NOT_HANDLED bug check. The caller's frame is abandoned: it must hold nothing
// that needs destroying.
// `information` (up to 15 values) goes to the record's ExceptionInformation: for an access
// violation, whether it was a write (1) or a read (0), and the address touched.
[[noreturn]] void DispatchToImage(NTSTATUS status, void* address,
                                  std::initializer_list<ULONG_PTR> information = {});

}  // namespace hostk

// The platform's RtlUnwind(TargetFrame, TargetIp, ExceptionRecord, ReturnValue) as 32-bit x86
// images call it: every registration above TargetFrame is called once more with the unwinding
// flag and taken off the chain, then it returns to its caller, which must be TargetIp (how the
// compilers' guards call it; resuming elsewhere is not supported and is a bug check).
extern "C" VOID NTAPI RtlUnwind(PVOID TargetFrame, PVOID TargetIp,
                                hostk::ExceptionRecord32* ExceptionRecord, PVOID ReturnValue);
