// A raised structured exception on the host: a C++ exception carrying the status, thrown by
// ExRaiseStatus and the probing routines and caught by KxCallGuarded (platform/seh.h). One that
// leaves a thread unguarded ends the process, as the platform's KMODE_EXCEPTION_NOT_HANDLED would.
#pragma once

#include <cstdio>
#include <exception>

#include "host/ntdef.h"

namespace hostk {

struct RaisedStatus : std::exception {
  explicit RaisedStatus(NTSTATUS raised) : status(raised) {
    snprintf(text, sizeof text, "structured exception 0x%08X raised outside KxCallGuarded",
             (unsigned)raised);
  }
  const char* what() const noexcept override { return text; }

  NTSTATUS status;
  char text[72];
};

}  // namespace hostk
