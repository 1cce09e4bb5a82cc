// TAgentThreadPool: a session's pool of task threads. This unit holds, for
// now, the process-wide suspension countdown the pools share.
#pragma once

#include <atomic>

class TAgentThreadPool {
 public:
  // Seconds for which new work is held back because the machine's owner
  // keeps the processors busy. Written by the status thread once a pass,
  // read by pool threads, the agent interface and the status text; a plain
  // value, so relaxed loads and stores suffice.
  static std::atomic<int> SuspendSeconds;
};
