#include "Monitor/AgentsJson.h"

std::string AgentsJson(const TRegistrySnapshot&, uint16_t) { return "{}"; }
TStatus ParseAgentsJson(const std::string&, TAgentList&) { return TStatus::Failure("agents.json", "not built yet"); }
TStatus FetchAgentList(const std::string&, TAgentList&) { return TStatus::Failure("agents.json", "not built yet"); }
