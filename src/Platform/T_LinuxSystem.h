// SPDX-License-Identifier: Apache-2.0
// TLinuxSystem: ISystem from the environment, /proc, std::thread,
// pthread_setname_np, the scheduler calls (nice values per thread,
// SCHED_IDLE) and the affinity calls. Stateless; one process-wide instance
// serves every thread.
#pragma once

#include "Platform/I_System.h"

class TLinuxSystem : public ISystem {
 public:
  std::string DataHome() override;
  std::string StateHome() override;
  int AvailableProcessors() override;
  std::string ExecutablePath() override;
  TStatus CreateThread(const std::string& name, std::function<void()> body, std::thread& thread) override;
  void SetCurrentThreadName(const std::string& name) override;
  TSystemThreadId CurrentThreadId() override;
  TStatus SetThreadPriority(TSystemThreadId thread, TThreadPriority priority) override;
  uint32_t ProcessAffinityMask() override;
  TStatus SetThreadAffinityMask(TSystemThreadId thread, uint32_t mask) override;
  void ReleaseFreeMemory() override;

  // The nice value of a priority other than idle (normal 0, lowest 10,
  // above normal -5).
  static int NiceValue(TThreadPriority priority);
};
