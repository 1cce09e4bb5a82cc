// SPDX-License-Identifier: Apache-2.0
// TSuspension: the countdown that holds new work back while other programs
// keep the machine busy. Every status-thread pass in which the idle and agent
// shares together stay under 10 % counts (the passes need not be
// consecutive); the tenth starts a suspension of suspend_timeout seconds.
// Status thread only.
#pragma once

#include <cstdint>

class TSuspension {
 public:
  // `timeoutSeconds` is suspend_timeout (0 turns suspension off); `now` the
  // current millisecond tick.
  TSuspension(int32_t timeoutSeconds, uint32_t now) : TimeoutSeconds(timeoutSeconds), Deadline(now) {}

  // Counts this pass and answers the whole seconds of suspension left.
  // Tick differences are wrap-safe.
  int Update(uint32_t idlePercent, uint32_t agentPercent, uint32_t now);

 private:
  const int32_t TimeoutSeconds;
  uint32_t LowLoadPasses = 0;
  uint32_t Deadline;
};
