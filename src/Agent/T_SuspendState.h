// SPDX-License-Identifier: Apache-2.0
// TSuspendState: the seconds for which new work is held back because the
// machine's owner keeps the processors busy (0: not suspended). Written by
// the status thread once a pass, read by pool threads, the agent interface
// and the status text; a plain value, so relaxed loads and stores suffice.
// A session process reads the agent's own value, kept in memory the agent
// shares with it (read-only there).
#pragma once

#include <atomic>

class TSuspendState {
 public:
  TSuspendState() : Seconds(&Own) {}
  // The value kept at `shared` (borrowed for this object's life).
  explicit TSuspendState(std::atomic<int>& shared) : Seconds(&shared) {}
  TSuspendState(const TSuspendState&) = delete;
  TSuspendState& operator=(const TSuspendState&) = delete;

  int SuspendSeconds() const { return Seconds->load(std::memory_order_relaxed); }
  void SetSuspendSeconds(int seconds) { Seconds->store(seconds, std::memory_order_relaxed); }

 private:
  std::atomic<int> Own{0};
  std::atomic<int>* const Seconds;
};
