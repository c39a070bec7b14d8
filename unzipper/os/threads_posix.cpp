// Threads on the build host, over the standard library.
#if defined(__linux__)
#include <sched.h>
#endif

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/threads.h"

namespace orv {

struct Mutex::Impl {
  std::mutex mutex;
};

Mutex::Mutex() : impl_(std::make_unique<Impl>()) {}
Mutex::~Mutex() = default;
void Mutex::Lock() { impl_->mutex.lock(); }
void Mutex::Unlock() { impl_->mutex.unlock(); }

struct ConditionVariable::Impl {
  std::condition_variable variable;
};

ConditionVariable::ConditionVariable() : impl_(std::make_unique<Impl>()) {}
ConditionVariable::~ConditionVariable() = default;

void ConditionVariable::Wait(Mutex& mutex) {
  std::unique_lock<std::mutex> lock(mutex.impl_->mutex, std::adopt_lock);
  impl_->variable.wait(lock);
  lock.release();  // still held, by the caller
}

void ConditionVariable::NotifyAll() { impl_->variable.notify_all(); }

struct Thread::Impl {
  std::thread thread;
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Join(); }

bool Thread::StartOnPlatform(Function function, void* argument) {
  if (impl_->thread.joinable()) return false;
  try {
    impl_->thread = std::thread(function, argument);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Thread::Join() {
  if (impl_->thread.joinable()) impl_->thread.join();
}

// The processors the process may run on (taskset, a container's CPU set), as the Windows
// build counts its affinity mask; all of the machine's where the system does not say.
unsigned ProcessorCount() {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count == 0 ? 1 : count;
}

}  // namespace orv
