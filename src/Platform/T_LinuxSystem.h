// TLinuxSystem: ISystem from the environment, sched_getaffinity, /proc and
// pthread_setname_np. Stateless; one process-wide instance serves every thread.
#pragma once

#include "Platform/I_System.h"

class TLinuxSystem : public ISystem {
 public:
  std::string DataHome() override;
  int AvailableProcessors() override;
  std::string ExecutablePath() override;
  void SetCurrentThreadName(const std::string& name) override;
};
