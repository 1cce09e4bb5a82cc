// SPDX-License-Identifier: Apache-2.0
// TAgentStatusSource: IStatusSource over a running agent core. The
// measurements are the status thread's latest (read without a lock, as
// relaxed atomics); the status text takes the agent's session lock.
// Borrows the agent, which must outlive it; OwningStatusSource makes one
// that owns it instead. Main thread.
#pragma once

#include <functional>
#include <memory>

#include "Agent/I_MainThread.h"
#include "Agent/T_Agent.h"
#include "Gui/I_StatusSource.h"

class TAgentStatusSource : public IStatusSource {
 public:
  explicit TAgentStatusSource(const TAgent& agent) : Agent(agent) {}
  TAgentStatusSource(const TAgentStatusSource&) = delete;
  TAgentStatusSource& operator=(const TAgentStatusSource&) = delete;

  std::string StatusText() const override;
  // Both answer 0 while the agent runs without a status thread.
  int IdlePercent() const override;
  int AgentPercent() const override;
  int PoolSize() const override;

 private:
  const TAgent& Agent;  // borrowed
};

// The maker of a status source that owns the agent `makeAgent` makes:
// destroying the source destroys the agent. `makeAgent` is borrowed and must
// outlive the answer's calls.
std::function<std::unique_ptr<IStatusSource>(IMainThread&)> OwningStatusSource(
    const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent);
