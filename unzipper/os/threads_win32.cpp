// Threads in the DLL: slim reader/writer locks and condition variables (kernel32 exports both
// from Windows Vista on, the DLL's oldest system) and _beginthreadex (the C runtime's own thread
// start, so that its per-thread data is set up and released).
#include <windows.h>
#include <process.h>

#include <cstdint>
#include <new>

#include "os/threads.h"

namespace orv {

namespace {

// Decoding threads keep their buffers on the heap; a small stack is plenty.
constexpr unsigned kThreadStackSize = 256 * 1024;

struct StartBlock {
  Thread::Function function;
  void* argument;
};

unsigned __stdcall ThreadMain(void* block) {
  const StartBlock start = *static_cast<StartBlock*>(block);
  delete static_cast<StartBlock*>(block);
  start.function(start.argument);
  return 0;
}

}  // namespace

struct Mutex::Impl {
  SRWLOCK lock;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) { ::InitializeSRWLock(&impl_->lock); }
Mutex::~Mutex() = default;
void Mutex::Lock() { ::AcquireSRWLockExclusive(&impl_->lock); }
void Mutex::Unlock() { ::ReleaseSRWLockExclusive(&impl_->lock); }

struct ConditionVariable::Impl {
  CONDITION_VARIABLE variable;
};

ConditionVariable::ConditionVariable() : impl_(std::make_unique<Impl>()) {
  ::InitializeConditionVariable(&impl_->variable);
}
ConditionVariable::~ConditionVariable() = default;
void ConditionVariable::Wait(Mutex& mutex) {
  ::SleepConditionVariableSRW(&impl_->variable, &mutex.impl_->lock, INFINITE, 0);
}
void ConditionVariable::NotifyAll() { ::WakeAllConditionVariable(&impl_->variable); }

struct Thread::Impl {
  HANDLE thread = nullptr;
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Join(); }

bool Thread::StartOnPlatform(Function function, void* argument) {
  if (impl_->thread != nullptr) return false;
  auto* block = new (std::nothrow) StartBlock{function, argument};
  if (block == nullptr) return false;
  const std::uintptr_t handle =
      ::_beginthreadex(nullptr, kThreadStackSize, ThreadMain, block, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (handle == 0) {
    delete block;
    return false;
  }
  impl_->thread = reinterpret_cast<HANDLE>(handle);
  return true;
}

void Thread::Join() {
  if (impl_->thread == nullptr) return;
  ::WaitForSingleObject(impl_->thread, INFINITE);
  ::CloseHandle(impl_->thread);
  impl_->thread = nullptr;
}

// The processors this process may run on, which can be fewer than the machine has.
unsigned ProcessorCount() {
  DWORD_PTR processMask = 0, systemMask = 0;
  unsigned count = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &processMask, &systemMask)) {
    for (; processMask != 0; processMask &= processMask - 1) ++count;
  }
  if (count == 0) {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    count = info.dwNumberOfProcessors;
  }
  return count == 0 ? 1 : count;
}

}  // namespace orv
