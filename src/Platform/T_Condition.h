// SPDX-License-Identifier: Apache-2.0
// TCondition: a condition variable that waits on a TMutex the caller holds.
// Waits may wake spuriously: callers loop on their condition.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "Platform/T_Mutex.h"

class TCondition {
 public:
  TCondition() = default;
  TCondition(const TCondition&) = delete;
  TCondition& operator=(const TCondition&) = delete;

  void Wait(TMutex& mutex) REQUIRES(mutex) {
    TMutex::TNativeWait native(mutex);
    std::unique_lock<std::mutex> lock(native.Native(), std::adopt_lock);
    Condition.wait(lock);
    lock.release();
  }

  // False when `timeoutMs` passed without a notification.
  bool WaitFor(TMutex& mutex, int timeoutMs) REQUIRES(mutex) {
    TMutex::TNativeWait native(mutex);
    std::unique_lock<std::mutex> lock(native.Native(), std::adopt_lock);
    bool notified = Condition.wait_for(lock, std::chrono::milliseconds(timeoutMs)) == std::cv_status::no_timeout;
    lock.release();
    return notified;
  }

  // False once `deadline` has passed.
  bool WaitUntil(TMutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    TMutex::TNativeWait native(mutex);
    std::unique_lock<std::mutex> lock(native.Native(), std::adopt_lock);
    bool early = Condition.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return early;
  }

  void NotifyOne() { Condition.notify_one(); }
  void NotifyAll() { Condition.notify_all(); }

 private:
  std::condition_variable Condition;
};
