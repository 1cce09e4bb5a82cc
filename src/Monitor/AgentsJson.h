// /agents.json: the monitor's view of its agents, for its own page, for
// `kelvra-monitor --status` and for `kelvra-submit --monitor`.
//
// {"now": <unix ms>, "agents_up": N, "reports_received": N, ...,
//  "agents": [{"id": 1, "address": "10.0.0.7", "lobby": "10.0.0.7:4102",
//              "name": "WORKSTATION7", "version": 265, "processor_ghz": 2.4,
//              "processors": 2, "pool_size": 2, "idle_percent": 97,
//              "agent_percent": 0, "free_memory_mb": 1536,
//              "status": "Unassigned", "suspended": false, "up": true,
//              "lost_reason": "", "first_seen": <unix ms>,
//              "last_report": <unix ms>, "reports": 12,
//              "history": [[<unix ms>, busy %, agent %], ...]}, ...]}
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Monitor/T_AgentRegistry.h"
#include "Platform/T_Status.h"

// The JSON text of a snapshot; "lobby" is each agent's address with
// `lobbyPort`.
std::string AgentsJson(const TRegistrySnapshot& snapshot, uint16_t lobbyPort);

// An agent as a reader of /agents.json sees it.
struct TListedAgent {
  std::string Address;
  std::string Lobby;  // HOST:PORT of its lobby
  std::string Name;
  uint32_t Processors = 0;
  uint32_t PoolSize = 0;
  uint32_t IdlePercent = 0;
  uint32_t AgentPercent = 0;
  uint32_t FreeMemoryMB = 0;
  std::string Status;
  bool Suspended = false;
  bool Up = false;
  std::string LostReason;
  int64_t LastReportUnixMs = 0;
};

struct TAgentList {
  int64_t NowUnixMs = 0;
  std::vector<TListedAgent> Agents;
};

// Reads an /agents.json text. A text that is not one says why.
TStatus ParseAgentsJson(const std::string& text, TAgentList& list);

constexpr uint16_t kDefaultMonitorPort = 4106;

// Fetches http://HOST[:PORT]/agents.json (port kDefaultMonitorPort unless given), bounded
// in time. Says why when the monitor cannot be reached or answers wrongly
// ("monitor 10.0.0.1:4106 is unreachable: ...").
TStatus FetchAgentList(const std::string& hostPort, TAgentList& list);
