#include "Platform/T_Waitable.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

// The two objects' locks as one lockable, taken without risk of deadlock
// against a thread that takes them in the other order.
class TBothLocks {
 public:
  TBothLocks(std::mutex& first, std::mutex& second) : First(first), Second(second) {}
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
    if (deadline) {
      // The lock is held again whenever wait_until returns.
      if (changed.wait_until(Mutex.Native(), *deadline) == std::cv_status::timeout) {
        signalled = TryConsume();
        break;
      }
    } else {
      changed.wait(Mutex.Native());
    }
    if (TryConsume()) {
      signalled = true;
      break;
    }
  }
  Unregister(Waiters, &changed);
  return signalled;
}

// Both locks are taken together through TBothLocks, which the analysis
// cannot follow.
TWaitResult WaitForFirst(TWaitable& first, TWaitable& second, int timeoutMs) NO_THREAD_SAFETY_ANALYSIS {
  if (&first == &second) return first.Wait(timeoutMs) ? wrFirst : wrTimeout;
  const std::optional<TClock::time_point> deadline = DeadlineOf(timeoutMs);
  TBothLocks both(first.Mutex.Native(), second.Mutex.Native());
  std::unique_lock<TBothLocks> guard(both);
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
      timedOut = changed.wait_until(guard, *deadline) == std::cv_status::timeout;
    } else {
      changed.wait(guard);
    }
  }
  Unregister(first.Waiters, &changed);
  Unregister(second.Waiters, &changed);
  return result;
}
