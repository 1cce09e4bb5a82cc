// SPDX-License-Identifier: Apache-2.0
// TProgressLine: the one line kelvra-submit redraws on a terminal while tasks
// run (a bar, done, failed, tasks/s, time left) and the summary that ends
// every run. Texts only; the caller writes them.
#pragma once

#include <cstdint>
#include <string>

struct TProgressLine {
  // "[########----------------] 120/1000  done 117  failed 3  45.2 tasks/s  19 s left";
  // while the inputs are still being read and their number is not known
  // (`totalKnown` false, `total` those read so far), without bar and time left:
  // "120/1000+  done 117  failed 3  45.2 tasks/s".
  static std::string Format(uint64_t done, uint64_t failed, uint64_t total, bool totalKnown, double elapsedSeconds);
  // "997 done, 3 failed in 22.1 s (45.2 tasks/s)"
  static std::string Summary(uint64_t done, uint64_t failed, double elapsedSeconds);
  // "  127.0.0.1:4102: 498 done, 2 failed", or "  without an agent: 1 failed"
  // for an empty `agent`.
  static std::string AgentLine(const std::string& agent, uint64_t done, uint64_t failed);
};
