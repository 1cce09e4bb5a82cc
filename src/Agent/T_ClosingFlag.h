// TClosingFlag: set once when the agent begins to shut down. Threads that
// wait for users or for work watch it to give up early. Written once by the
// thread that destroys the agent, read by any thread: a reader that misses
// the change only reacts a little later, so relaxed suffices.
#pragma once

#include <atomic>

class TClosingFlag {
 public:
  bool IsSet() const { return Flag.load(std::memory_order_relaxed); }
  void Set() { Flag.store(true, std::memory_order_relaxed); }

 private:
  std::atomic<bool> Flag{false};
};
