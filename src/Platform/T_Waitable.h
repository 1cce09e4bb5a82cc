// SPDX-License-Identifier: Apache-2.0
// TWaitable: the base of the agent's waiting primitives (TEvent,
// TPlatformSemaphore), and WaitForFirst, the wait on the first of two of
// them. A wait ends when the object is signalled and the wait consumes that
// signal: an auto-reset event is reset, a semaphore is decremented, a
// manual-reset event stays set. Every method may be called from any thread;
// the object must outlive every wait on it.
//
// Time-outs are in milliseconds; negative or kInfiniteWait means no limit,
// 0 means "look once and do not wait".
#pragma once

#include <condition_variable>
#include <vector>

#include "Platform/T_Mutex.h"
#include "Platform/ThreadAnnotations.h"
#include "Platform/TimeLimit.h"

// Which object ended a wait on two, or that the time-out elapsed first.
enum TWaitResult {
  wrFirst,    // the first object was signalled (also when both were)
  wrSecond,   // only the second object was signalled
  wrTimeout,  // neither, within the time-out
};

class TWaitable {
 public:
  virtual ~TWaitable() = default;
  TWaitable(const TWaitable&) = delete;
  TWaitable& operator=(const TWaitable&) = delete;

  // Waits at most `timeoutMs` for the object to be signalled and consumes
  // the signal. True when signalled, false when the time-out elapsed.
  bool Wait(int timeoutMs) EXCLUDES(Mutex);

 protected:
  TWaitable() = default;

  // Takes the signal if the object is signalled: true, and the object's
  // state changed as a wait that ends on it requires. False otherwise.
  virtual bool TryConsume() REQUIRES(Mutex) = 0;

  // Wakes every wait registered on this object; called after the object
  // became signalled.
  void WakeWaiters() REQUIRES(Mutex);

  TMutex Mutex;

 private:
  friend TWaitResult WaitForFirst(TWaitable& first, TWaitable& second, int timeoutMs);

  // One entry per wait in progress on this object (a wait on two objects is
  // registered on both). The condition variables live on the waiters'
  // stacks; each is removed before its wait returns.
  std::vector<std::condition_variable_any*> Waiters GUARDED_BY(Mutex);
};

// Waits at most `timeoutMs` until `first` or `second` is signalled. Only the
// object that ends the wait is consumed; when both are signalled, `first`
// wins. Waiting on the same object twice is a wait on that object.
TWaitResult WaitForFirst(TWaitable& first, TWaitable& second, int timeoutMs);
