// The few threading primitives the archiver needs, and no more: a mutex, an auto-reset event
// and a joinable thread. The DLL is built with the win32 thread model (no std::thread or
// std::mutex) and must load on Windows Vista, so its implementation uses critical sections,
// kernel events and _beginthreadex; the host uses the standard library.
//
// Waiting for a condition is done with one event per waiting thread: lock, test, unlock and
// wait on one's own event, lock again. An auto-reset event keeps a Set that came before the
// Wait, so no wake-up is lost between the unlock and the wait.
#pragma once
#include <memory>

namespace orv {

class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void Lock();
  void Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Auto-reset: Wait returns once per Set (Sets before the Wait count; several Sets before one
// Wait count as one).
class Event {
 public:
  Event();  // throws std::bad_alloc when the system has no event to give
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  void Set();
  void Wait();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class Thread {
 public:
  using Function = void (*)(void* argument);

  Thread();
  ~Thread();  // joins a thread still running
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when the system could not start the thread. The function must not throw.
  bool Start(Function function, void* argument);
  // Waits for the thread to end and releases it; nothing when none was started.
  void Join();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Logical processors the process may run on (at least 1).
unsigned ProcessorCount();

}  // namespace orv
