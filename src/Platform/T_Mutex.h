// TMutex: the agent's one lock type (a non-recursive critical section), and
// TMutexLock, the scoped guard that takes it. Annotated so that a clang build
// checks every GUARDED_BY field is touched only under its lock.
#pragma once

#include <mutex>

#include "Platform/ThreadAnnotations.h"

class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { Mutex.lock(); }
  void Unlock() RELEASE() { Mutex.unlock(); }

  // For condition variables that wait on this lock.
  std::mutex& Native() { return Mutex; }

 private:
  std::mutex Mutex;
};

class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) ACQUIRE(mutex) : Mutex(mutex) { Mutex.Lock(); }
  ~TMutexLock() RELEASE() { Mutex.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& Mutex;  // borrowed
};

// Catches "TMutexLock(Lock);" which would lock and unlock at once.
#define TMutexLock(x) static_assert(false, "unnamed TMutexLock")
