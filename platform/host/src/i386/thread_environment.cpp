// The fs segment of a managed thread. Code of a driver image reads its thread's exception list at
// fs:[0] (and the block's own address at fs:[0x18]), as on the platform, where fs addresses the
// processor's control region whose first part is the running thread's NT_TIB. Linux leaves fs
// unused in 32-bit programs (glibc's thread pointer is gs), so each managed thread gets a GDT
// thread-local descriptor (set_thread_area) whose base is its own block.
//
// Every thread uses the same descriptor slot: a new thread starts with a copy of its creator's
// slots, so asking the kernel for a free slot in each thread would use up the three there are.
// Under qemu-i386 the descriptor table is one for the whole process: a slot holds the base of the
// thread that set it last, and a thread that loads fs or gs again (the return from a signal loads
// both) gets that base. So a thread's fs descriptor is set and loaded under one lock, and a signal
// handler that returns to a managed thread sets that thread's own two descriptors again first.
#include <asm/ldt.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/hostk/bugcheck.h"
#include "host/hostk/driver_image.h"
#include "../thread_environment.h"

namespace hostk {
namespace {

constexpr uintptr_t kEndOfChain = 0xFFFFFFFF;
constexpr size_t kBlockSize = 4096;  // the block, and room that code reading past NT_TIB finds zero

int gSlot = -1;  // the descriptor slot, chosen by the first thread (set once, under gSlotOnce)
pthread_once_t gSlotOnce = PTHREAD_ONCE_INIT;
thread_local ThreadInformationBlock* tBlock = nullptr;

user_desc Descriptor(int slot, const void* base) {
  user_desc desc;
  memset(&desc, 0, sizeof desc);
  desc.entry_number = (unsigned)slot;
  desc.base_addr = (unsigned)(uintptr_t)base;
  desc.limit = kBlockSize - 1;
  desc.seg_32bit = 1;
  desc.useable = 1;
  return desc;
}

void ChooseSlot() {
  user_desc desc = Descriptor(-1, nullptr);
  if (syscall(SYS_set_thread_area, &desc) != 0) {
    BugCheckF(kManuallyInitiatedCrash, "no thread-local descriptor free for the fs segment");
  }
  gSlot = (int)desc.entry_number;
}

void LoadFs(unsigned short selector) { __asm__ __volatile__("movw %0, %%fs" : : "r"(selector)); }

void PointFsAt(ThreadInformationBlock* block) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  user_desc desc = Descriptor(gSlot, block);
  if (syscall(SYS_set_thread_area, &desc) != 0) {
    BugCheckF(kManuallyInitiatedCrash, "cannot set the fs descriptor of a managed thread");
  }
  LoadFs((unsigned short)(gSlot * 8 + 3));  // GDT, privilege 3
}

// glibc's thread pointer: a flat 4 GB data segment whose base is the thread's control block, which
// holds its own address first.
user_desc ThreadPointerDescriptor(unsigned selector) {
  void* controlBlock;
  __asm__ __volatile__("movl %%gs:0, %0" : "=r"(controlBlock));
  user_desc desc = Descriptor((int)(selector >> 3), controlBlock);
  desc.limit = 0xFFFFF;
  desc.limit_in_pages = 1;
  return desc;
}

void StackOf(void** base, void** limit) {
  pthread_attr_t attr;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
  }
  *limit = low;
  *base = (uint8_t*)low + size;
}

}  // namespace

void EnterThreadEnvironment() {
  pthread_once(&gSlotOnce, ChooseSlot);
  ThreadInformationBlock* block = (ThreadInformationBlock*)aligned_alloc(kBlockSize, kBlockSize);
  memset(block, 0, kBlockSize);
  block->exceptionList = (void*)kEndOfChain;
  StackOf(&block->stackBase, &block->stackLimit);
  block->self = block;
  PointFsAt(block);
  tBlock = block;
}

void KeepSegmentsOverSignalReturn(unsigned gsSelector) {
  if (tBlock == nullptr) return;
  user_desc fs = Descriptor(gSlot, tBlock);
  syscall(SYS_set_thread_area, &fs);
  bool threadLocalSlot = (gsSelector & 4) == 0 && (gsSelector >> 3) != 0;  // GDT, not null
  if (!threadLocalSlot) return;
  user_desc gs = ThreadPointerDescriptor(gsSelector);
  syscall(SYS_set_thread_area, &gs);
}

void LeaveThreadEnvironment() {
  if (tBlock == nullptr) return;
  LoadFs(0);
  free(tBlock);
  tBlock = nullptr;
}

ThreadInformationBlock* CurrentThreadInformationBlock() {
  if (tBlock == nullptr) return nullptr;
  ThreadInformationBlock* self;
  __asm__ __volatile__("movl %%fs:0x18, %0" : "=r"(self));
  return self;
}

}  // namespace hostk
