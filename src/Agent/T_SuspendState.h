// TSuspendState: the seconds for which new work is held back because the
// machine's owner keeps the processors busy (0: not suspended). Written by
// the status thread once a pass, read by pool threads, the agent interface
// and the status text; a plain value, so relaxed loads and stores suffice.
#pragma once

#include <atomic>

class TSuspendState {
 public:
  int SuspendSeconds() const { return Seconds.load(std::memory_order_relaxed); }
  void SetSuspendSeconds(int seconds) { Seconds.store(seconds, std::memory_order_relaxed); }

 private:
  std::atomic<int> Seconds{0};
};
