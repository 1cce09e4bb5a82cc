// SPDX-License-Identifier: Apache-2.0
#include "Gui/T_AgentStatusSource.h"

#include "Agent/T_AgentStatusThread.h"

std::string TAgentStatusSource::StatusText() const { return Agent.GetStatusText(); }

int TAgentStatusSource::IdlePercent() const {
  const TAgentStatusThread* status = Agent.StatusThread();
  return status == nullptr ? 0 : static_cast<int>(status->Measurements().IdlePercent());
}

int TAgentStatusSource::AgentPercent() const {
  const TAgentStatusThread* status = Agent.StatusThread();
  return status == nullptr ? 0 : static_cast<int>(status->Measurements().AgentPercent());
}

int TAgentStatusSource::PoolSize() const { return Agent.PoolSize(); }

namespace {

// Holds the agent; a base of its source, so the agent is made before the
// source borrows it and destroyed after.
struct TAgentHolder {
  std::unique_ptr<TAgent> Owned;
};

class TOwningAgentStatusSource : private TAgentHolder, public TAgentStatusSource {
 public:
  explicit TOwningAgentStatusSource(std::unique_ptr<TAgent> agent)
      : TAgentHolder{std::move(agent)}, TAgentStatusSource(*Owned) {}
};

}  // namespace

std::function<std::unique_ptr<IStatusSource>(IMainThread&)> OwningStatusSource(
    const std::function<std::unique_ptr<TAgent>(IMainThread&)>& makeAgent) {
  return [&makeAgent](IMainThread& mainThread) -> std::unique_ptr<IStatusSource> {
    return std::make_unique<TOwningAgentStatusSource>(makeAgent(mainThread));
  };
}
