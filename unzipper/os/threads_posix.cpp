// Threads on the build host, over the standard library.
#if defined(__linux__)
#include <sched.h>
#endif

#include <condition_variable>
#include <mutex>
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

struct Event::Impl {
  std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
};

Event::Event() : impl_(std::make_unique<Impl>()) {}
Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->set = true;
  }
  impl_->changed.notify_one();
}

void Event::Wait() {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait(lock, [this] { return impl_->set; });
  impl_->set = false;
}

struct Thread::Impl {
  std::thread thread;
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Join(); }

bool Thread::Start(Function function, void* argument) {
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
