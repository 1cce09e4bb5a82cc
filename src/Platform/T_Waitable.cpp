// SPDX-License-Identifier: Apache-2.0
#include "Platform/T_Waitable.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

// Holds the two objects' locks, taken together without risk of deadlock
// against a thread that takes them in the other order. A condition
// variable's wait lets both go and takes them back through lock and unlock.
class SCOPED_CAPABILITY TBothLocks {
 public:
  TBothLocks(TMutex& first, TMutex& second) ACQUIRE(first, second) : First(first.Native()), Second(second.Native()) {
    lock();
  }
  ~TBothLocks() RELEASE() { unlock(); }
  TBothLocks(const TBothLocks&) = delete;
  TBothLocks& operator=(const TBothLocks&) = delete;

  void lock() { std::lock(First, Second); }
  void unlock() {
    First.unlock();
    Second.unlock();
  }

 private:
  std::mutex& First;   // borrowed
  std::mutex& Second;  // borrowed
};

void Unregister(std::vector<std::condition_variable_any*>& waiters, std::condition_variable_any* waiter) {
  waiters.erase(std::find(waiters.begin(), waiters.end(), waiter));
}

}  // namespace

void TWaitable::WakeWaiters() {
  for (std::condition_variable_any* waiter : Waiters) waiter->notify_all();
}

bool TWaitable::Wait(int timeoutMs) {
  const std::optional<TClock::time_point> deadline = DeadlineOf(timeoutMs);
  TMutexLock guard(Mutex);
  if (TryConsume()) return true;
  if (timeoutMs == 0) return false;
  std::condition_variable_any changed;
  Waiters.push_back(&changed);
  bool signalled = false;
  for (;;) {
    bool timedOut = false;
    {
      // The lock is held again whenever the wait returns.
      TMutex::TNativeWait native(Mutex);
      if (deadline) {
        timedOut = changed.wait_until(native.Native(), *deadline) == std::cv_status::timeout;
      } else {
        changed.wait(native.Native());
      }
    }
    if (timedOut) {
      signalled = TryConsume();
      break;
    }
    if (TryConsume()) {
      signalled = true;
      break;
    }
  }
  Unregister(Waiters, &changed);
  return signalled;
}

TWaitResult WaitForFirst(TWaitable& first, TWaitable& second, int timeoutMs) {
  if (&first == &second) return first.Wait(timeoutMs) ? wrFirst : wrTimeout;
  const std::optional<TClock::time_point> deadline = DeadlineOf(timeoutMs);
  TBothLocks both(first.Mutex, second.Mutex);
  std::condition_variable_any changed;
  first.Waiters.push_back(&changed);
  second.Waiters.push_back(&changed);
  TWaitResult result = wrTimeout;
  bool timedOut = timeoutMs == 0;
  for (;;) {
    // The first object is looked at first, so it wins a tie; the second is
    // consumed only when the first is not signalled.
    if (first.TryConsume()) {
      result = wrFirst;
      break;
    }
    if (second.TryConsume()) {
      result = wrSecond;
      break;
    }
    if (timedOut) break;
    if (deadline) {
      timedOut = changed.wait_until(both, *deadline) == std::cv_status::timeout;
    } else {
      changed.wait(both);
    }
  }
  Unregister(first.Waiters, &changed);
  Unregister(second.Waiters, &changed);
  return result;
}
