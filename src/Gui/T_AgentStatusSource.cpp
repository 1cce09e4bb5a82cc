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
