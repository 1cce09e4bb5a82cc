#include "Monitor/T_AgentRegistry.h"

size_t TRegistrySnapshot::AgentsUp() const {
  size_t up = 0;
  for (const TAgentView& agent : Agents) up += agent.Up ? 1 : 0;
  return up;
}
TAgentRegistry::TAgentRegistry(std::function<int64_t()> clock, int64_t lostAfterMs)
    : Clock(std::move(clock)), LostAfterMs(lostAfterMs) {}
uint64_t TAgentRegistry::Connected(const std::string&) { return 0; }
void TAgentRegistry::Report(uint64_t, const TAgentReport&) {}
void TAgentRegistry::Rejected(uint64_t) {}
void TAgentRegistry::Closed(uint64_t, const std::string&) {}
void TAgentRegistry::DiscoveryAnswered() {}
TRegistrySnapshot TAgentRegistry::Snapshot() const { return {}; }
