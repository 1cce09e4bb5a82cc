// SPDX-License-Identifier: Apache-2.0
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
//              "history": [[<unix ms>, busy %, agent %], ...],
//              "status_bytes": 10}, ...],
//  "processors_up": N, "pool_threads_up": N, "load_percent_up": N,
//  "agents_matched": N, "offset": N}
// A status text longer than the monitor shows is its start, "…" and its end
// ("status_bytes" is its whole length). With a query (TAgentsQuery) the
// list holds one page of the agents that match, in the order asked for;
// the counts and totals are always of every agent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Monitor/T_AgentRegistry.h"
#include "Platform/T_Status.h"

// Which agents a reader wants, from the query of /agents.json: "filter="
// (a text in the name, address or status, any case), "state=up|lost",
// "sort=address|name|load|status", "order=desc", "offset=", "limit=". An
// unknown or malformed parameter is ignored. Without any: every agent, by
// address.
struct TAgentsQuery {
  enum class EState { All, Up, Lost };
  enum class ESort { Address, Name, Load, Status };
  std::string Filter;
  EState State = EState::All;
  ESort Sort = ESort::Address;
  bool Descending = false;
  size_t Offset = 0;
  size_t Limit = SIZE_MAX;
};
TAgentsQuery ParseAgentsQuery(std::string_view query);

// The JSON text of the registry as `view` shows it; "lobby" is each agent's
// address with `lobbyPort`. Linear in the agents: each one's texts are
// bounded by the registry.
std::string AgentsJson(const TRegistryView& view, uint16_t lobbyPort, const TAgentsQuery& query = {});

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
