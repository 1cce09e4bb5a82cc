// TProgressLine: the one line kelvra-submit redraws on a terminal while tasks
// run (a bar, done, failed, tasks/s, time left) and the summary line that
// ends every run. Texts only; the caller writes them.
#pragma once

#include <cstdint>
#include <string>

struct TProgressLine {
  // "[########----------------] 120/1000  done 117  failed 3  45.2 tasks/s  19 s left"
  static std::string Format(uint64_t done, uint64_t failed, uint64_t total, double elapsedSeconds);
  // "997 done, 3 failed in 22.1 s (45.2 tasks/s)"
  static std::string Summary(uint64_t done, uint64_t failed, double elapsedSeconds);
};
