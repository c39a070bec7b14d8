// The few threading primitives the archiver needs, and no more: a mutex, a condition variable
// and a joinable thread. The DLL is built with the win32 thread model (no std::thread or
// std::mutex) and must load on Windows Vista, so its implementation uses slim reader/writer
// locks, condition variables (both in Vista's kernel32) and _beginthreadex; the host uses the
// standard library.
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
  friend class ConditionVariable;
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

// Lets go of a held mutex for a while (a prompt, a copy, a callback); holds it again
// afterwards, also when an exception leaves the scope.
class MutexUnlock {
 public:
  explicit MutexUnlock(Mutex& mutex) : mutex_(mutex) { mutex_.Unlock(); }
  ~MutexUnlock() { mutex_.Lock(); }
  MutexUnlock(const MutexUnlock&) = delete;
  MutexUnlock& operator=(const MutexUnlock&) = delete;

 private:
  Mutex& mutex_;
};

class ConditionVariable {
 public:
  ConditionVariable();
  ~ConditionVariable();
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;
  // Called with mutex held; returns with it held, after a NotifyAll or spuriously.
  void Wait(Mutex& mutex);
  void NotifyAll();

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

  // False when the system could not start the thread (or the start filter said no). The
  // function must not throw.
  bool Start(Function function, void* argument);
  // Waits for the thread to end and releases it; nothing when none was started.
  void Join();

 private:
  bool StartOnPlatform(Function function, void* argument);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// For tests: while a filter is set, Thread::Start asks it first and fails, as a system out of
// threads or address space would, when it answers false. So a test can let none, some or all
// of the threads an extraction asks for start. Set it only while no thread is being started.
using ThreadStartFilter = bool (*)(void* context);
void SetThreadStartFilter(ThreadStartFilter filter, void* context);

// Logical processors the process may run on (at least 1).
unsigned ProcessorCount();

}  // namespace orv
