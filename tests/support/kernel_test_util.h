// Small helpers for tests that run code on the host kernel's threads.
#pragma once

#include <gtest/gtest.h>

#include "host/hostk.h"
#include "host/ntddk.h"

namespace kxtest {

constexpr LONGLONG kMillisecond = 10'000;  // 100 ns units
constexpr LONGLONG kSecond = 10'000'000;

// A relative time-out as the platform spells it.
inline LARGE_INTEGER Relative(LONGLONG hundredNs) {
  LARGE_INTEGER value;
  value.QuadPart = -hundredNs;
  return value;
}

inline void Sleep(LONGLONG hundredNs) {
  LARGE_INTEGER interval = Relative(hundredNs);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// A system thread running a callable; joined through its thread object (a kernel wait, so the
// virtual clock keeps moving while the test waits).
template <typename F>
class SystemThread {
 public:
  explicit SystemThread(F body) : body_(body) {
    HANDLE handle;
    EXPECT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr,
                                                   nullptr, Start, this));
    EXPECT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType,
                                                        KernelMode, &object_, nullptr));
    ZwClose(handle);
  }
  ~SystemThread() { Join(); }
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;

  void Join() {
    if (object_ == nullptr) return;
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(object_, Executive, KernelMode, FALSE, nullptr));
    ObDereferenceObject(object_);
    object_ = nullptr;
  }
  PVOID Object() const { return object_; }

 private:
  static VOID NTAPI Start(PVOID context) { static_cast<SystemThread*>(context)->body_(); }
  F body_;
  PVOID object_ = nullptr;
};

}  // namespace kxtest
