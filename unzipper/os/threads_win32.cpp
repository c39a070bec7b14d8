// Threads in the DLL: critical sections, auto-reset kernel events and _beginthreadex (the C
// runtime's own thread start, so that its per-thread data is set up and released). Nothing
// here is newer than Windows Vista.
#include <windows.h>
#include <process.h>

#include <cstdint>
#include <new>

#include "os/threads.h"

namespace orv {

namespace {

// Workers keep their buffers on the heap; a small stack is plenty.
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
  CRITICAL_SECTION section;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) { ::InitializeCriticalSection(&impl_->section); }
Mutex::~Mutex() { ::DeleteCriticalSection(&impl_->section); }
void Mutex::Lock() { ::EnterCriticalSection(&impl_->section); }
void Mutex::Unlock() { ::LeaveCriticalSection(&impl_->section); }

struct Event::Impl {
  HANDLE event = nullptr;
};

Event::Event() : impl_(std::make_unique<Impl>()) {
  impl_->event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (impl_->event == nullptr) throw std::bad_alloc();
}
Event::~Event() { ::CloseHandle(impl_->event); }
void Event::Set() { ::SetEvent(impl_->event); }
void Event::Wait() { ::WaitForSingleObject(impl_->event, INFINITE); }

struct Thread::Impl {
  HANDLE thread = nullptr;
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Join(); }

bool Thread::Start(Function function, void* argument) {
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
