// SPDX-License-Identifier: Apache-2.0
// TMutex: the agent's one lock type (a non-recursive critical section), and
// TMutexLock, the scoped guard that takes it. Annotated so that a clang build
// checks every GUARDED_BY field is touched only under its lock. Where a
// thread would take a lock it already holds, the code says so instead: a
// public function takes the lock once and calls private ...Locked functions
// that REQUIRE it. The order in which the agent's locks may be taken is
// written in Agent/LockOrder.h.
#pragma once

#include <atomic>
#include <cassert>
#include <mutex>
#include <thread>

#include "Platform/ThreadAnnotations.h"

class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() {
    Mutex.lock();
    NoteOwner(std::this_thread::get_id());
  }
  void Unlock() RELEASE() {
    NoteOwner(std::thread::id());
    Mutex.unlock();
  }

  // Tells the analysis that the calling thread holds this lock, where it
  // cannot follow that itself; a debug build checks it and aborts if not.
  void AssertHeld() const ASSERT_CAPABILITY(this) {
    assert(Owner.load(std::memory_order_relaxed) == std::this_thread::get_id() && "TMutex not held");
  }

  // For a condition variable that waits on this lock, which the caller
  // holds: the wait lets the lock go and takes it back out of this class's
  // sight, and this keeps the record of the owner true across it.
  class TNativeWait {
   public:
    explicit TNativeWait(TMutex& mutex) : Owned(mutex) { Owned.NoteOwner(std::thread::id()); }
    ~TNativeWait() { Owned.NoteOwner(std::this_thread::get_id()); }
    TNativeWait(const TNativeWait&) = delete;
    TNativeWait& operator=(const TNativeWait&) = delete;
    std::mutex& Native() { return Owned.Mutex; }

   private:
    TMutex& Owned;  // borrowed, held by the caller
  };

  // The native lock, taken and let go behind this class's back (AssertHeld
  // knows nothing of it): for a wait on several locks at once.
  std::mutex& Native() { return Mutex; }

 private:
  void NoteOwner(std::thread::id owner) { Owner.store(owner, std::memory_order_relaxed); }

  std::mutex Mutex;
  // The thread that holds the lock; none while it is free. Kept in every
  // build (one layout whatever NDEBUG says), checked in debug builds.
  std::atomic<std::thread::id> Owner{};
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
