// SPDX-License-Identifier: Apache-2.0
// TClosingFlag: set once when the agent begins to shut down. Threads that
// wait for users or for work watch it to give up early. Written once by the
// thread that destroys the agent, read by any thread: a reader that misses
// the change only reacts a little later, so relaxed suffices. A session
// process reads the agent's own flag, kept in memory the agent shares with
// it (read-only there).
#pragma once

#include <atomic>

class TClosingFlag {
 public:
  TClosingFlag() : Flag(&Own) {}
  // The flag kept at `shared` (borrowed for this object's life).
  explicit TClosingFlag(std::atomic<bool>& shared) : Flag(&shared) {}
  TClosingFlag(const TClosingFlag&) = delete;
  TClosingFlag& operator=(const TClosingFlag&) = delete;

  bool IsSet() const { return Flag->load(std::memory_order_relaxed); }
  void Set() { Flag->store(true, std::memory_order_relaxed); }

 private:
  std::atomic<bool> Own{false};
  std::atomic<bool>* const Flag;
};
